#include "sql/exec/grouped_select.h"

namespace quenlordb::sql::exec {

Result<SqlResult> execute_grouped_select(std::vector<eval::VisibleRow>, const parser::Statement::Select&) {
  return fail(QuenlorError::sql_execution("GROUP BY and aggregate functions are not supported yet"));
}

}  // namespace quenlordb::sql::exec
