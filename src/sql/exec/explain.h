// EXPLAIN and EXPLAIN ANALYZE. EXPLAIN returns the planner's text and never runs the statement;
// for a point read of one document it adds where in storage the key was found. EXPLAIN ANALYZE
// runs the statement for real, with all its effects (writes applied, or staged inside a
// transaction), and returns an account of the run instead of the statement's own result.
//
//   EXPLAIN, for SELECT doc FROM t WHERE pk = '...' only, after the plan text:
//     "\nStorage: shard_id={} bloom_hit={} sstable_block={} commit_ts_used={}"
//     with bloom_hit as Some(true), Some(false) or None and sstable_block as Some(n) or None.
//   EXPLAIN ANALYZE:
//     "execution_time_us={} rows_returned={}{suffix}"
//       rows_returned: an Affected result's rows, a Rows result's row count, 0 for an Explain;
//       suffix: " message={}" for Affected, " explain={}" for Explain, nothing for Rows;
//     then "\noperations: reads={} writes={} bloom_negatives={}" (the counters' growth, never
//       below 0) when both statistics reads succeeded,
//     then "\nplan_cost={:.1}" when the statement has a plan.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "engine/database.h"
#include "error.h"
#include "sql/exec/session.h"
#include "sql/exec/sql_result.h"
#include "sql/parser/ast.h"

namespace quenlordb::sql::exec {

// The plan text of stmt, with the storage line when stmt has the shape of storage_probe_pk: the
// FROM name is resolved (resolve_select_target with the statement's AS OF and VALID AT; its FOR
// clauses do not count) and the row key probed with Database::explain_get at the target's as_of
// and valid_at. The probe goes to storage directly, so writes staged by the open transaction are
// not seen. Fails only when the resolution or the probe fails.
Result<SqlResult> execute_explain(Database& db, SqlSession& session, const parser::Statement& stmt);

// Runs stmt through execute_stmt in the same session and returns explain_analyze_text of the run:
// the elapsed monotonic time in whole microseconds, the database counters read before and after
// (their failures only drop the operations line) and the plan's cost when stmt has a plan. The
// statement's failure is the result; its writes made before the failure stay.
Result<SqlResult> execute_explain_analyze(Database& db, SqlSession& session, parser::Statement stmt);

// The primary key of the one shape whose EXPLAIN probes storage: a SELECT from a plain name whose
// select list is the column doc alone (any ASCII case, no alias), without a join, whose whole
// WHERE is pk = 'literal' or 'literal' = pk. None for anything else.
std::optional<std::string> storage_probe_pk(const parser::Statement& stmt);

// Appends the storage line, with its leading newline.
void append_storage_line(std::string& out, const engine::GetExplain& probe);

// The EXPLAIN ANALYZE text of a statement that ran for elapsed_us microseconds and gave result.
// before and after are the database counters read around the run, when those reads succeeded.
std::string explain_analyze_text(std::uint64_t elapsed_us, const SqlResult& result,
                                 const std::optional<engine::DbStats>& before,
                                 const std::optional<engine::DbStats>& after, std::optional<double> plan_cost);

}  // namespace quenlordb::sql::exec
