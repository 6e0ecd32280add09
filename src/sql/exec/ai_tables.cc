#include "sql/exec/ai_tables.h"

namespace quenlordb::sql::exec {

Result<SqlResult> execute_ai_top_risks(Database&, const parser::Statement::Select&) {
  return fail(QuenlorError::sql_execution("ai_top_risks is not supported yet"));
}

Result<SqlResult> execute_ai_cluster_summary(Database&, const parser::Statement::Select&) {
  return fail(QuenlorError::sql_execution("ai_cluster_summary is not supported yet"));
}

}  // namespace quenlordb::sql::exec
