// The entry of SQL execution: execute_sql runs a script, statement after statement, in one
// SqlSession that lives for the call; execute_stmt runs one parsed statement in a given session
// (also for statements that run an inner statement, such as a subquery or EXPLAIN ANALYZE).
//
// The first failure ends the script, and the statements after it are neither parsed nor run;
// writes applied before it stay applied (COMMIT is not atomic either: each staged write is its own
// put). A script that ends inside a transaction fails with "transaction left open; issue COMMIT or
// ROLLBACK", and its staged writes are discarded. Runs on the caller's thread.
#pragma once

#include <string_view>

#include "error.h"
#include "sql/exec/session.h"
#include "sql/exec/sql_result.h"
#include "sql/parser/ast.h"

namespace quenlordb::sql::exec {

// The result of the script's last statement.
Result<SqlResult> execute_sql(Database& db, std::string_view script);
// The same in a given session, fresh for the script (one whose upkeep mode was chosen, say).
Result<SqlResult> execute_sql(Database& db, std::string_view script, SqlSession& session);

// Runs the statement with the code of its kind.
Result<SqlResult> execute_stmt(Database& db, SqlSession& session, parser::Statement stmt);

}  // namespace quenlordb::sql::exec
