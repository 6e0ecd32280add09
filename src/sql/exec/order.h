// Ordering of SQL values and rows: compare_sort_values, the value order of ORDER BY, and the
// sort every query path uses (plain, grouped, joined, windowed).
//
// compare_sort_values is not a strict weak order (NaN equals every number, and a number orders
// against a text by its text), so rows are never handed to a library sort with it. Instead each
// row's ORDER BY keys are evaluated once, and sort_permutation runs a merge sort of its own that
// stays within bounds and stable whatever the comparator answers: where the keys are consistent
// the result is the stable sort by them; where they are not, some order of the rows, never a crash.
#pragma once

#include <cstddef>
#include <optional>
#include <utility>
#include <vector>

#include "sql/eval/eval_context.h"
#include "sql/eval/sql_value.h"
#include "sql/parser/ast.h"
#include "util/function_ref.h"

namespace quenlordb::sql::exec {

using OrderBy = std::vector<std::pair<parser::Expr, parser::OrderDirection>>;

// Less than zero, zero, greater than zero. NULL first; two numbers numerically (a NaN equals any
// number); NULL against anything else first; otherwise the to_sort_string texts byte by byte.
int compare_sort_values(const eval::SqlValue& a, const eval::SqlValue& b);

// One row's ORDER BY keys, each evaluated once; an evaluation error counts as NULL.
std::vector<eval::SqlValue> eval_order_keys(eval::EvalContext& ctx, const OrderBy& order_by);

// Compares two rows' keys entry by entry under the directions of order_by (Desc reverses).
int compare_order_keys(const std::vector<eval::SqlValue>& a, const std::vector<eval::SqlValue>& b,
                       const OrderBy& order_by);

// The positions 0..n-1 in stable sorted order under less(i, j); any less is safe.
std::vector<std::size_t> sort_permutation(std::size_t n, util::FunctionRef<bool(std::size_t, std::size_t)> less);

// The permutation that sorts rows whose keys are given, stably, by compare_order_keys.
std::vector<std::size_t> sort_by_keys(const std::vector<std::vector<eval::SqlValue>>& keys, const OrderBy& order_by);

// Watches the ORDER BY keys of rows one row at a time and tells whether the order over all of them
// is a strict weak one: every row has a key per column, no key is a NaN, and no column mixes
// numbers with other values (NULL sorts first against everything). Then the stable sort by the keys
// is the sort by keys and then position.
class OrderKeysConsistency {
 public:
  explicit OrderKeysConsistency(std::size_t columns) : columns_(columns, Column{}) {}
  void add(const std::vector<eval::SqlValue>& keys);
  bool consistent() const { return consistent_; }

 private:
  struct Column {
    bool numbers = false;
    bool others = false;
  };
  std::vector<Column> columns_;
  bool consistent_ = true;
};

// The first `first` positions of sort_by_keys(keys, order_by), the same ones in the same order.
// When every key column is consistent (no NaN, and numbers not mixed with texts or booleans), the
// order is a strict weak one, and the stable sort is the sort by keys and then position: a bounded
// partial sort finds its first positions without sorting the rest. Otherwise the whole stable sort
// runs.
std::vector<std::size_t> first_by_keys(const std::vector<std::vector<eval::SqlValue>>& keys, const OrderBy& order_by,
                                       std::size_t first);

// Sorts rows in place by the ORDER BY list, evaluating each row's keys once.
void sort_rows(std::vector<eval::VisibleRow>& rows, const OrderBy& order_by);

// Reorders items by a permutation of their positions.
template <typename T>
std::vector<T> apply_permutation(std::vector<T>&& items, const std::vector<std::size_t>& order) {
  std::vector<T> out;
  out.reserve(order.size());
  for (std::size_t i : order) out.push_back(std::move(items[i]));
  return out;
}

}  // namespace quenlordb::sql::exec
