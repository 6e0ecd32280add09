#include "sql/eval/scalar_function.h"

#include <string>

namespace quenlordb::sql::eval {

Result<SqlValue> eval_scalar_function(std::string_view name, std::span<const parser::Expr>, EvalContext&) {
  return fail(QuenlorError::sql_execution("unknown function: " + std::string(name)));
}

}  // namespace quenlordb::sql::eval
