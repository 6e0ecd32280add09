#include "sql/exec/join_select.h"

namespace quenlordb::sql::exec {

Result<SqlResult> execute_join_select(Database&, SqlSession&, std::string_view, const parser::Statement::Select&,
                                      std::optional<std::uint64_t>, std::optional<std::uint64_t>) {
  return fail(QuenlorError::sql_execution("JOIN is not supported yet"));
}

}  // namespace quenlordb::sql::exec
