// A thread's memo of what reads of committed catalog records gave: the value of a key, and the
// column lists that a listing of a table's full-text index definitions gave. Kept across `sql`
// calls, each in a session of its own, for as long as the answer provably stands, so that a
// statement of one row does not read its table's catalog on every call.
//
// A read is remembered with the stamp (Database::shard_stamp) of each shard it read: the key's
// shard, or every shard for a listing under a prefix. The stamp is taken before the read; a key is
// read at its stamp's snapshot, and a listing, which cannot be, is remembered only when the stamps
// taken after it are the same. The answer is given again while every stamp it holds is still the
// shard's. One case moves a stamp on: a write of another key (outside the prefix) that this thread
// made through the SQL layer (write_put, a script's gathered upkeep and the rows behind it, a
// COMMIT) and that the database committed with the timestamp right after the remembered one
// (note_committed_write). A shard's timestamps are unique and published in order, so the shard then
// holds what it held plus that one version, which the read does not see. Only the first few dozen
// writes after a lookup are noted: a script writing many rows does not pay the routing of each key,
// it pays one read at the next call. Anything else a shard commits (another thread's DDL, a `put`
// under "__meta/", a write of the key or under the prefix, a write not noted) leaves its stamp
// behind, and the next call reads again. Writes a session stages or holds back are not committed:
// a caller whose session holds writes of the key (or under the prefix) reads with them itself and
// does not use the memo.
//
// Thread-local: nothing is shared between threads. A few answers are kept, the oldest replaced first.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
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

// The committed value of key in db (none when it is absent or empty, as read_live_key gives it
// outside a transaction): remembered on this thread, or read now and remembered.
using CommittedValue = std::shared_ptr<const std::optional<std::string>>;
Result<CommittedValue> committed_value(engine::Database& db, std::string_view key);

// Tells the memo that this thread wrote key and db committed the write with timestamp ts. Only the
// first kNotedWrites writes after a lookup count; a caller writing many may stop telling after as
// many.
inline constexpr std::size_t kNotedWrites = 64;
void note_committed_write(const engine::Database& db, std::string_view key, std::uint64_t ts);

}  // namespace quenlordb::sql::exec
