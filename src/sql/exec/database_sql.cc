// Database::sql, which the engine declares and this layer defines, so that the engine library does
// not depend on the SQL execution layer (see src/engine/database.h).
#include "engine/database.h"
#include "sql/exec/executor.h"
#include "sql/exec/sql_result.h"

namespace quenlordb::engine {

Result<sql::exec::SqlResult> Database::sql(std::string_view script) { return sql::exec::execute_sql(*this, script); }

}  // namespace quenlordb::engine
