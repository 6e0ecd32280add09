// Table functions in FROM (READ_CSV, READ_JSON, READ_NDJSON, ...): a file read as rows.
#pragma once

#include <string_view>
#include <vector>

#include "error.h"
#include "sql/eval/eval_context.h"
#include "sql/parser/ast.h"

namespace quenlordb::sql::exec {

Result<std::vector<eval::VisibleRow>> execute_table_function(std::string_view name,
                                                             const std::vector<parser::Expr>& args);

}  // namespace quenlordb::sql::exec
