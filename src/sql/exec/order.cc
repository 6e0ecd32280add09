#include "sql/exec/order.h"

#include <algorithm>
#include <cmath>
#include <string>

namespace quenlordb::sql::exec {

using eval::SqlValue;

namespace {

int sign_of(int c) { return c < 0 ? -1 : (c > 0 ? 1 : 0); }

}  // namespace

int compare_sort_values(const SqlValue& a, const SqlValue& b) {
  if (a.is_null()) return b.is_null() ? 0 : -1;
  if (a.is_number() && b.is_number()) {
    double x = a.number_value();
    double y = b.number_value();
    if (x < y) return -1;
    if (x > y) return 1;
    return 0;  // equal, or a NaN on either side
  }
  if (b.is_null()) return 1;
  // Texts and booleans are their own sort texts ("false" before "true").
  if (a.is_text() && b.is_text()) return sign_of(a.text_value().compare(b.text_value()));
  if (a.is_bool() && b.is_bool()) return static_cast<int>(a.bool_value()) - static_cast<int>(b.bool_value());
  std::string sa = eval::to_sort_string(a);
  std::string sb = eval::to_sort_string(b);
  return sign_of(sa.compare(sb));
}

std::vector<SqlValue> eval_order_keys(eval::EvalContext& ctx, const OrderBy& order_by) {
  std::vector<SqlValue> keys;
  keys.reserve(order_by.size());
  for (const auto& [expr, direction] : order_by) {
    Result<SqlValue> v = ctx.eval(expr);
    keys.push_back(v ? std::move(*v) : SqlValue::null());
  }
  return keys;
}

int compare_order_keys(const std::vector<SqlValue>& a, const std::vector<SqlValue>& b, const OrderBy& order_by) {
  for (std::size_t i = 0; i < order_by.size() && i < a.size() && i < b.size(); ++i) {
    int c = compare_sort_values(a[i], b[i]);
    if (order_by[i].second == parser::OrderDirection::Desc) c = -c;
    if (c != 0) return c;
  }
  return 0;
}

std::vector<std::size_t> sort_permutation(std::size_t n, util::FunctionRef<bool(std::size_t, std::size_t)> less) {
  std::vector<std::size_t> order(n);
  for (std::size_t i = 0; i < n; ++i) order[i] = i;
  std::vector<std::size_t> buffer(n);
  // Bottom-up merge sort: every index stays within its run, whatever less answers, and on a tie
  // the left run's element goes first, which keeps equal rows in their order.
  for (std::size_t width = 1; width < n; width *= 2) {
    for (std::size_t lo = 0; lo < n; lo += 2 * width) {
      std::size_t mid = std::min(lo + width, n);
      std::size_t hi = std::min(lo + 2 * width, n);
      std::size_t i = lo, j = mid, k = lo;
      while (i < mid && j < hi) buffer[k++] = less(order[j], order[i]) ? order[j++] : order[i++];
      while (i < mid) buffer[k++] = order[i++];
      while (j < hi) buffer[k++] = order[j++];
    }
    order.swap(buffer);
  }
  return order;
}

std::vector<std::size_t> sort_by_keys(const std::vector<std::vector<SqlValue>>& keys, const OrderBy& order_by) {
  return sort_permutation(keys.size(), [&](std::size_t a, std::size_t b) {
    return compare_order_keys(keys[a], keys[b], order_by) < 0;
  });
}

namespace {

std::vector<std::size_t> sort_permutation_first(const std::vector<std::vector<SqlValue>>& keys, const OrderBy& order_by,
                                                std::size_t first) {
  std::vector<std::size_t> order = sort_by_keys(keys, order_by);
  order.resize(first);
  return order;
}

}  // namespace

void OrderKeysConsistency::add(const std::vector<SqlValue>& keys) {
  if (!consistent_) return;
  if (keys.size() < columns_.size()) {
    consistent_ = false;
    return;
  }
  for (std::size_t i = 0; i < columns_.size(); ++i) {
    const SqlValue& v = keys[i];
    if (v.is_null()) continue;
    Column& column = columns_[i];
    if (v.is_number()) {
      if (std::isnan(v.number_value())) consistent_ = false;
      column.numbers = true;
    } else {
      column.others = true;
    }
    if (column.numbers && column.others) consistent_ = false;
  }
}

std::vector<std::size_t> first_by_keys(const std::vector<std::vector<SqlValue>>& keys, const OrderBy& order_by,
                                       std::size_t first) {
  const std::size_t n = keys.size();
  if (first >= n) return sort_by_keys(keys, order_by);
  OrderKeysConsistency consistency(order_by.size());
  for (const std::vector<SqlValue>& k : keys) {
    consistency.add(k);
    if (!consistency.consistent()) return sort_permutation_first(keys, order_by, first);
  }
  std::vector<std::size_t> order(n);
  for (std::size_t i = 0; i < n; ++i) order[i] = i;
  const auto end = order.begin() + static_cast<std::ptrdiff_t>(first);
  std::partial_sort(order.begin(), end, order.end(), [&](std::size_t a, std::size_t b) {
    const int c = compare_order_keys(keys[a], keys[b], order_by);
    return c != 0 ? c < 0 : a < b;
  });
  order.erase(end, order.end());
  return order;
}

void sort_rows(std::vector<eval::VisibleRow>& rows, const OrderBy& order_by) {
  std::vector<std::vector<SqlValue>> keys;
  keys.reserve(rows.size());
  util::JsonMembers scratch;
  for (const eval::VisibleRow& row : rows) {
    eval::EvalContext ctx(row, scratch);
    keys.push_back(eval_order_keys(ctx, order_by));
  }
  rows = apply_permutation(std::move(rows), sort_by_keys(keys, order_by));
}

}  // namespace quenlordb::sql::exec
