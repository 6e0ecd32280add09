// The entry of SQL execution: execute_sql runs a script, statement after statement, in one
// SqlSession that lives for the call; execute_stmt runs one parsed statement in a given session
// (also for statements that run an inner statement, such as a subquery or EXPLAIN ANALYZE).
//
// The first failure ends the script, and the statements after it are neither parsed nor run;
// writes applied before it stay applied (COMMIT is not atomic either: each staged write is its own
// put). A script that ends inside a transaction fails with "transaction left open; issue COMMIT or
// ROLLBACK", and its staged writes are discarded. Runs on the caller's thread.
#pragma once

#include <cstdint>
#include <optional>
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

// Ends the statements run in session with result, the last one's: writes what they gathered and
// deferred outside a transaction (write_gathered_upkeep), also after a failure, which stays the
// result. When the last statement deferred writes (mark, from deferred_mark, is below the session's
// deferred_total()), its commit timestamp becomes that of the last of them, written here.
Result<SqlResult> finish_script(Database& db, SqlSession& session, Result<SqlResult> result,
                                std::optional<std::uint64_t> mark);
// The mark of a statement about to run: the session's deferred_total(), or none for a statement
// that reports no commit timestamp however it writes (CREATE TABLE AS).
std::optional<std::uint64_t> deferred_mark(const SqlSession& session, const parser::Statement& stmt);

}  // namespace quenlordb::sql::exec
