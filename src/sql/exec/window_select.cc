#include "sql/exec/window_select.h"

namespace quenlordb::sql::exec {

Result<SqlResult> execute_window_select(std::vector<eval::VisibleRow>, const parser::Statement::Select&) {
  return fail(QuenlorError::sql_execution("window functions are not supported yet"));
}

}  // namespace quenlordb::sql::exec
