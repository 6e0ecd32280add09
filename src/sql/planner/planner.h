// The planner: turns a parsed SELECT into a plan tree with fixed cost estimates, and prints the
// EXPLAIN text. It reads the statement tree only; no statistics and no stored data are consulted,
// and nothing here fails. Pure functions, safe to call from any thread.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "sql/parser/ast.h"
#include "sql/planner/plan_node.h"

namespace quenlordb::sql::planner {

// The fixed estimates.
inline constexpr std::uint64_t kScanRows = 1000;
inline constexpr double kScanCost = 1000.0;
inline constexpr double kPointLookupCost = 1.0;
inline constexpr double kHashJoinCost = 2500.0;
inline constexpr double kNestedLoopJoinCost = 500000.0;
inline constexpr double kSortCost = 19931.568569324176;  // 1000 × log2(1000000)
// A Filter line shows at most this many characters (code points) of the predicate's debug text.
inline constexpr std::size_t kPredicateChars = 80;

// The plan of a SELECT whose FROM names a table; none for a subquery or table-function source and
// for every other statement. Built inside out: scan (a PointLookup when the filter is a primary-key
// equality with a string literal, else a FullScan under a Filter when there is a filter), join,
// aggregate, sort, limit, project. WITH, AS OF, VALID AT, FOR and HAVING do not change the plan.
std::optional<PlanNode> generate_plan(const parser::Statement& stmt);

// The estimated fraction of rows for which expr holds, in [0, 1], by the expression's shape alone.
double estimate_selectivity(const parser::Expr& expr);

// "Query Plan:\n", the plan displayed at depth 1 and "\nEstimated cost: {:.1}"; without a plan,
// "No plan available for: " and the statement's debug text.
std::string explain_plan(const parser::Statement& stmt);

// The first max_chars code points of text; never cuts inside a UTF-8 sequence (a byte that starts
// no valid sequence counts as one character).
std::string_view prefix_chars(std::string_view text, std::size_t max_chars);

}  // namespace quenlordb::sql::planner
