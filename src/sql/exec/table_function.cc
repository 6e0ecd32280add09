#include "sql/exec/table_function.h"

#include <string>

namespace quenlordb::sql::exec {

Result<std::vector<eval::VisibleRow>> execute_table_function(std::string_view name, const std::vector<parser::Expr>&) {
  return fail(QuenlorError::sql_execution("table function " + std::string(name) + " is not supported yet"));
}

}  // namespace quenlordb::sql::exec
