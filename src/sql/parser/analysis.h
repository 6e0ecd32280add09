// Questions the planner, CREATE VIEW and the executor ask about parsed expressions. They never fail
// and look only where stated: an aggregate or window call in a place they do not look is not seen.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "sql/parser/ast.h"
#include "util/function_ref.h"

namespace quenlordb::sql::parser {

// True when name, upper-cased with full Unicode case mapping, is one of COUNT SUM AVG MIN MAX FIRST
// LAST STDDEV STDDEV_POP STDDEV_SAMP VARIANCE VAR_POP VAR_SAMP STRING_AGG GROUP_CONCAT
// APPROX_COUNT_DISTINCT.
bool is_aggregate_function(std::string_view name);

// An aggregate call in expr, looking into function arguments, both sides of a BinOp, the operand
// of Not and Cast, and every part of a Case. IsNull, Between, InList and WindowFunction are not
// looked into.
bool expr_contains_aggregate(const Expr& expr);

// A window function in expr, looking into both sides of a BinOp, the operand of Not and Cast, and
// every part of a Case; function arguments are not looked into.
bool expr_contains_window(const Expr& expr);

// True when pred holds for expr or for any expression inside it, of every kind (window arguments,
// partitions and orders included).
bool expr_any_node(const Expr& expr, util::FunctionRef<bool(const Expr&)> pred);

// The literal of a filter that is, as a whole, pk = 'literal' or 'literal' = pk (pk in any ASCII
// case); none for anything else.
std::optional<std::string> extract_pk_eq_literal(const std::optional<Expr>& filter);
// The same test of one expression: its literal, viewed in the expression, or null.
const std::string* pk_eq_literal(const Expr& expr);

}  // namespace quenlordb::sql::parser
