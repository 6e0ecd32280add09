#include "sql/exec/transaction.h"

#include <string>

namespace quenlordb::sql::exec {

Result<SqlResult> execute_begin(SqlSession& session) {
  if (session.in_transaction()) return fail(QuenlorError::sql_execution("nested BEGIN is not supported"));
  session.begin();
  return SqlResult{SqlResult::Affected{0, std::nullopt, "BEGIN"}};
}

Result<SqlResult> execute_commit(Database& db, SqlSession& session) {
  if (!session.in_transaction()) return fail(QuenlorError::sql_execution("COMMIT requires an active transaction"));
  std::deque<PendingPut> staged = session.end_transaction();
  const std::uint64_t n = staged.size();
  std::optional<std::uint64_t> last_ts;
  for (PendingPut& put : staged) {
    last_ts = TRY(db.put(put.key, std::move(put.value), put.valid_from, put.valid_to, put.write_tag));
  }
  return SqlResult{SqlResult::Affected{n, last_ts, "COMMIT (" + std::to_string(n) + " writes)"}};
}

Result<SqlResult> execute_rollback(SqlSession& session) {
  if (!session.in_transaction()) return fail(QuenlorError::sql_execution("ROLLBACK requires an active transaction"));
  const std::uint64_t n = session.end_transaction().size();
  return SqlResult{SqlResult::Affected{n, std::nullopt, "ROLLBACK (" + std::to_string(n) + " staged writes discarded)"}};
}

}  // namespace quenlordb::sql::exec
