#include "sql/exec/transaction.h"

#include <memory>
#include <string>

#include "sql/exec/facet_upkeep.h"

namespace quenlordb::sql::exec {

Result<SqlResult> execute_begin(SqlSession& session) {
  if (session.in_transaction()) return fail(QuenlorError::sql_execution("nested BEGIN is not supported"));
  session.begin();
  return SqlResult{SqlResult::Affected{0, std::nullopt, "BEGIN"}};
}

Result<SqlResult> execute_commit(Database& db, SqlSession& session) {
  if (!session.in_transaction()) return fail(QuenlorError::sql_execution("COMMIT requires an active transaction"));
  const std::unique_ptr<UpkeepStage> upkeep = session.take_upkeep();
  std::deque<PendingPut> staged = session.end_transaction();
  const std::uint64_t n = staged.size() + (upkeep ? upkeep->write_count() : 0);
  // The posting lists and buckets the transaction added to, each written once, then the staged
  // writes.
  const std::optional<std::uint64_t> last_ts = TRY(write_upkeep_then_rows(db, upkeep.get(), staged));
  return SqlResult{SqlResult::Affected{n, last_ts, "COMMIT (" + std::to_string(n) + " writes)"}};
}

Result<SqlResult> execute_rollback(SqlSession& session) {
  if (!session.in_transaction()) return fail(QuenlorError::sql_execution("ROLLBACK requires an active transaction"));
  const std::unique_ptr<UpkeepStage> upkeep = session.take_upkeep();
  const std::uint64_t n = session.end_transaction().size() + (upkeep ? upkeep->write_count() : 0);
  return SqlResult{SqlResult::Affected{n, std::nullopt, "ROLLBACK (" + std::to_string(n) + " staged writes discarded)"}};
}

}  // namespace quenlordb::sql::exec
