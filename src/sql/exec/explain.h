// The texts of EXPLAIN and EXPLAIN ANALYZE beyond the plan itself: the storage line that tells
// where a point read of one document found its key, and the one-line account of an executed
// statement. Pure functions over values; the statement arms that gather those values live with
// the executor.
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
#include "sql/exec/sql_result.h"
#include "sql/parser/ast.h"

namespace quenlordb::sql::exec {

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
