// The tables that the qualified names (`users.score`, `t.pk`) of a list of rows read, handed from
// the place that knows the query's tables to the paths that evaluate over its rows.
//
// A query over a table or view binds its FROM name to each row itself, the same one binding for
// every row; joined rows bind each table (and the JOIN table's alias) to that row's own left or
// right side, a list per row, and read the members of their joined document from those sides.
// Without tables, as for the rows of a CTE or subquery, every qualified name reads NULL. The spans
// must outlive every context bound through them.
#pragma once

#include <cstddef>
#include <span>
#include <vector>

#include "sql/eval/eval_context.h"
#include "sql/parser/analysis.h"
#include "sql/parser/ast.h"
#include "sql/parser/text.h"

namespace quenlordb::sql::exec {

class RowTables {
 public:
  RowTables() = default;
  explicit RowTables(std::span<const eval::TableBinding> every_row) : every_row_(every_row) {}
  explicit RowTables(std::span<const std::vector<eval::TableBinding>> by_row) : by_row_(by_row), per_row_(true) {}
  // Joined rows: each row's bindings and the two sides its joined document is read from.
  RowTables(std::span<const std::vector<eval::TableBinding>> by_row, std::span<const eval::JoinSides> sides)
      : by_row_(by_row), sides_(sides), per_row_(true) {}

  // The bindings of the row at position i of the list.
  std::span<const eval::TableBinding> of(std::size_t i) const {
    return per_row_ ? std::span<const eval::TableBinding>(by_row_[i]) : every_row_;
  }
  // Binds the row at position i of the list: its tables, and its sides when it is a joined row.
  void bind(eval::EvalContext& ctx, std::size_t i) const {
    ctx.bind_tables(of(i));
    if (!sides_.empty()) ctx.bind_sides(sides_[i]);
  }

 private:
  std::span<const eval::TableBinding> every_row_;
  std::span<const std::vector<eval::TableBinding>> by_row_;
  std::span<const eval::JoinSides> sides_;
  bool per_row_ = false;
};

// True when expr holds a qualified name: a field access on anything but `doc`.
inline bool reads_qualified_name(const parser::Expr& expr) {
  return parser::expr_any_node(expr, [](const parser::Expr& e) {
    const auto* f = e.get_if<parser::Expr::FieldAccess>();
    return f && !parser::eq_ignore_ascii_case(f->column, "doc");
  });
}

}  // namespace quenlordb::sql::exec
