// The insight virtual tables `ai_top_risks` and `ai_cluster_summary`, which a SELECT names in FROM.
//
// ai_top_risks: the stored insights with the highest risk scores (10 by default, LIMIT n), highest
// first, ties in key order. ai_cluster_summary: for WHERE cluster_id = '<id>', a summary row of the
// cluster and then one row per member, highest score first (LIMIT n keeps the first n rows). Rows
// are compact JSON objects with keys in byte order, projected by the SELECT list (`SELECT *` gives
// them whole). Clauses these tables cannot honour (WHERE beyond the cluster id equality, GROUP BY,
// HAVING, ORDER BY, JOIN, AS OF, VALID AT, FOR, aggregates or window calls in the list) are refused
// rather than ignored. Both read the latest committed state; records that do not read are dropped.
#pragma once

#include <optional>
#include <string>

#include "engine/database.h"
#include "error.h"
#include "sql/exec/session.h"
#include "sql/exec/sql_result.h"
#include "sql/parser/ast.h"

namespace quenlordb::sql::exec {

Result<SqlResult> execute_ai_top_risks(Database& db, const parser::Statement::Select& select);
Result<SqlResult> execute_ai_cluster_summary(Database& db, const parser::Statement::Select& select);

// The text compared with the column cluster_id (any letter case) by `=` in expr, on either side,
// searching both operands of AND (left first); none for any other expression.
std::optional<std::string> extract_string_eq(const parser::Expr& expr);

}  // namespace quenlordb::sql::exec
