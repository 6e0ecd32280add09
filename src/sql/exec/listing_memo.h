// A thread's memo of what listings of committed records under a key prefix gave (the column lists
// of a table's full-text index definitions), kept across `sql` calls, each in a session of its own,
// for as long as the listing provably stands, so that a statement of one row does not scan every
// shard for them on every call.
//
// A listing reads every shard. It is remembered with the stamp of each shard
// (Database::shard_stamp) when the stamps taken before and after it agree: each shard was then read
// at its stamp's snapshot. It is given again while every shard's stamp is still the same. One case
// moves a stamp on: a write this thread made through write_put, outside the prefix, that the
// database committed with the timestamp right after the remembered one (note_committed_write). A
// shard's timestamps are unique and published in order, so the shard then holds what it held plus
// that one version, which the listing does not read. Anything else a shard commits (another thread's
// DDL, a `put` under "__meta/", a write under the prefix, a COMMIT's writes) leaves its stamp behind,
// and the next call lists again. Writes staged in a transaction are not committed: a caller whose
// session has staged writes under the prefix lists with them itself and does not use the memo.
//
// Thread-local: nothing is shared between threads. A few listings are kept, the oldest replaced first.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "engine/database.h"
#include "error.h"
#include "util/function_ref.h"

namespace quenlordb::sql::exec {

// The column lists of full-text index definitions, shared: a listing stays alive while held.
using IndexColumnLists = std::shared_ptr<const std::vector<std::vector<std::string>>>;

// What list() gives for the committed records under prefix of db: remembered on this thread (see
// above), or listed now and remembered. An error of list() is returned and nothing is remembered.
Result<IndexColumnLists> committed_listing(engine::Database& db, std::string_view prefix,
                                           util::FunctionRef<Result<IndexColumnLists>()> list);

// Tells the memo that this thread wrote key and db committed the write with timestamp ts.
void note_committed_write(const engine::Database& db, std::string_view key, std::uint64_t ts);

}  // namespace quenlordb::sql::exec
