// The entry point of the scalar function library: every Function expression is evaluated here.
// The library resolves the name (upper-cased with the full Unicode mapping), checks the argument
// count, evaluates the arguments it needs through the context, in order and only as far as it needs
// them, and computes the result. An unknown name fails with SqlExecution "unknown function: {}"
// holding the name as written; aggregate and window names reaching it are unknown too.
#pragma once

#include <span>
#include <string_view>

#include "error.h"
#include "sql/eval/eval_context.h"
#include "sql/eval/sql_value.h"
#include "sql/parser/ast.h"

namespace quenlordb::sql::eval {

Result<SqlValue> eval_scalar_function(std::string_view name, std::span<const parser::Expr> args, EvalContext& ctx);

}  // namespace quenlordb::sql::eval
