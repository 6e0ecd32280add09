// The grouped path of a SELECT: GROUP BY, aggregates, HAVING, gap-filling, and ORDER BY and LIMIT
// over the groups' output rows. The pipeline calls it with the rows that survived WHERE (the join
// path with joined rows) whenever the SELECT list holds an aggregate or the query has GROUP BY,
// except for the bare `count(*)` answer.
//
// Groups are keyed by the to_sort_string texts of the GROUP BY values joined with NUL bytes (so
// NULL and '' fall together, as do 1 and '1'); without GROUP BY every row is in one group, which
// exists even over no rows. Groups come out in ascending byte order of their keys. A group holds
// pointers into the row list, which is moved in once and never copied; over a table, GroupFold
// keeps only each group's first row when the aggregates can be folded as the rows come.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "error.h"
#include "sql/eval/eval_context.h"
#include "sql/eval/sql_value.h"
#include "sql/exec/row_tables.h"
#include "sql/exec/sql_result.h"
#include "sql/parser/ast.h"

namespace quenlordb::sql::exec {

// One row of a group: its context (with the tables its qualified names read), made once for the
// whole query, so that the row's document is read at most once however many of the query's
// expressions read it, and its position among the query's rows.
struct GroupRow {
  eval::EvalContext* ctx;
  std::size_t index;

  eval::EvalContext& context() const { return *ctx; }
};

// Values of aggregate arguments read in the pass that groups the rows, while each row's document is
// at hand: one value per row of the query (by GroupRow::index) for each argument read ahead. Only
// arguments that cannot fail and read nothing but their row (no function call, no CAST) are, so
// reading them early changes nothing but when they are read.
struct ArgumentsReadAhead {
  std::vector<const parser::Expr*> args;
  std::vector<std::vector<eval::SqlValue>> values;  // values[k]: the rows' values of args[k]

  const std::vector<eval::SqlValue>* of(const parser::Expr& arg) const {
    for (std::size_t k = 0; k < args.size(); ++k) {
      if (args[k] == &arg) return &values[k];
    }
    return nullptr;
  }
};

// The values of a group's aggregate calls, folded in as its rows came: one per call of calls.
struct FoldedAggregates {
  const std::vector<const parser::Expr::Function*>* calls = nullptr;
  std::vector<eval::SqlValue> values;
  std::size_t rows = 0;  // the group's row count

  const eval::SqlValue* of(const parser::Expr::Function& call) const {
    for (std::size_t k = 0; k < calls->size(); ++k) {
      if ((*calls)[k] == &call) return &values[k];
    }
    return nullptr;
  }
};

// One group's rows, in input order, with the arguments read ahead for them (when any). A folded
// group keeps only its first row (none when it has none), and its aggregate calls' values. The
// group of a gap-filling row has no rows, and its aggregates are the fill value, NULL.
struct GroupRows {
  std::vector<GroupRow> rows;
  const ArgumentsReadAhead* ahead = nullptr;
  const FoldedAggregates* folded = nullptr;
  bool fill = false;

  std::size_t size() const { return folded ? folded->rows : rows.size(); }
  bool empty() const { return size() == 0; }
  const GroupRow& operator[](std::size_t i) const { return rows[i]; }
  std::vector<GroupRow>::const_iterator begin() const { return rows.begin(); }
  std::vector<GroupRow>::const_iterator end() const { return rows.end(); }
};

// Output values of a group by alias, read by HAVING in place of the first row's member.
using AliasValues = std::map<std::string, eval::SqlValue, std::less<>>;

// Reads items, group_by, having, order_by and limit of select. tables are what the rows' qualified
// names read; an ORDER BY key holding one is the group's value of it, as a SELECT item would be.
Result<SqlResult> execute_grouped_select(std::vector<eval::VisibleRow> rows, const parser::Statement::Select& select,
                                         const RowTables& tables = {});
// The same over rows read where they lie, WHERE (filter, when given) not yet applied: the rows it
// keeps are grouped, each read through one context.
Result<SqlResult> execute_grouped_select(std::span<const eval::RowView> rows, const parser::Expr* filter,
                                         const parser::Statement::Select& select, const RowTables& tables);

// A grouped query over a table folded as the scan hands its rows over, one row at a time: for each
// group only its first row is copied, and each aggregate call is folded into the group's value as
// the rows come, in the same order and with the same arithmetic as over the kept rows, so the
// answer is execute_grouped_select's, errors included. Only queries whose aggregate calls are
// COUNT, SUM, AVG, MIN and MAX of an argument that reads nothing but its row (no function call, no
// CAST) and that hold no window function fold; for the others plan gives none.
class GroupFold {
 public:
  static std::optional<GroupFold> plan(const parser::Statement::Select& select, const parser::Expr* filter,
                                       std::span<const eval::TableBinding> tables);

  GroupFold(GroupFold&&) noexcept;
  GroupFold& operator=(GroupFold&&) = delete;
  ~GroupFold();

  // One row: WHERE (whose error is returned), then its group's key and the aggregate arguments. A
  // key's error is kept, and only WHERE runs over the later rows.
  Result<void> add(eval::RowView row);
  // The output rows, or the first key error.
  Result<SqlResult> finish() &&;

 private:
  struct Slot;
  struct Folding;
  GroupFold(const parser::Statement::Select& select, const parser::Expr* filter,
            std::span<const eval::TableBinding> tables);

  const parser::Statement::Select* select_;
  const parser::Expr* filter_;
  std::span<const eval::TableBinding> tables_;
  std::vector<const parser::Expr::Function*> calls_;
  std::vector<Slot> slots_;
  std::unique_ptr<Folding> folding_;
};

// The value of expr over a group: aggregate calls over the group's rows; functions, operators,
// CASE and CAST applied to the values of their parts; anything else against the group's first row
// (Null for a group without rows). A column named in aliases reads that value instead.
Result<eval::SqlValue> eval_aggregate_expr(const parser::Expr& expr, const GroupRows& group,
                                           const AliasValues* aliases = nullptr);

// The output name of an unaliased item in a grouped query: `sum_amount` for SUM(amount), `count`
// for count(*) or an aggregate of several arguments; expr_display_name for anything else.
std::string aggregate_display_name(const parser::Expr& expr);

// The literal expression that evaluates to value.
parser::Expr to_literal(const eval::SqlValue& value);

// The grouped path's output rows with a row added for every bucket missing between the smallest
// and largest present bucket of the first time_bucket_gapfill item, all rows sorted by bucket and
// locf columns carried forward. A step of 0 or one that overflows fails with "invalid gapfill
// interval"; more than 1000000 added rows fail with "gapfill would produce more than 1000000 rows".
// When sources is given it receives, for each returned row, its position among rows, or kFillRow
// for a row the fill added.
inline constexpr std::size_t kFillRow = static_cast<std::size_t>(-1);
Result<std::vector<eval::VisibleRow>> apply_gapfill(std::vector<eval::VisibleRow> rows, std::uint64_t step,
                                                    const std::vector<parser::SelectItem>& items,
                                                    std::vector<std::size_t>* sources = nullptr);

}  // namespace quenlordb::sql::exec
