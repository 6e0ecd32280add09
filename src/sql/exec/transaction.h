// BEGIN, COMMIT and ROLLBACK: the only transaction state is the SqlSession's staged writes and the
// upkeep it gathered. COMMIT applies the staged writes one put at a time, oldest first, then each
// posting list and bucket the transaction changed, each to its key's shard with that shard's next
// timestamp; a failing put ends the statement with its error, the writes before it staying applied
// and the rest discarded.
#pragma once

#include "error.h"
#include "sql/exec/session.h"
#include "sql/exec/sql_result.h"

namespace quenlordb::sql::exec {

// {0, no timestamp, "BEGIN"}; "nested BEGIN is not supported" inside a transaction.
Result<SqlResult> execute_begin(SqlSession& session);
// {n, the last put's timestamp (none when n is 0), "COMMIT (n writes)"}, n counting the puts
// applied; "COMMIT requires an active transaction" outside one.
Result<SqlResult> execute_commit(Database& db, SqlSession& session);
// {n, no timestamp, "ROLLBACK (n staged writes discarded)"}, n counting the puts a COMMIT would
// have applied; "ROLLBACK requires an active transaction" outside one.
Result<SqlResult> execute_rollback(SqlSession& session);

}  // namespace quenlordb::sql::exec
