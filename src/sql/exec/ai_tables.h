// The insight virtual tables `ai_top_risks` and `ai_cluster_summary`, which a SELECT names in FROM.
#pragma once

#include "engine/database.h"
#include "sql/exec/session.h"
#include "error.h"
#include "sql/exec/sql_result.h"
#include "sql/parser/ast.h"

namespace quenlordb::sql::exec {

Result<SqlResult> execute_ai_top_risks(Database& db, const parser::Statement::Select& select);
Result<SqlResult> execute_ai_cluster_summary(Database& db, const parser::Statement::Select& select);

}  // namespace quenlordb::sql::exec
