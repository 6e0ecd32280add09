#include "sql/exec/catalog_memo.h"

#include <array>
#include <limits>

namespace quenlordb::sql::exec {

namespace {

// A saturated timestamp (2^64 - 1) can be shared by several writes of a shard, so a stamp holding
// it proves nothing: an answer read at it is not kept.
constexpr std::uint64_t kNoSnapshot = std::numeric_limits<std::uint64_t>::max();

struct Answer {
  std::uint64_t database = 0;  // 0: the slot is free (a database's number is never 0)
  std::string key;             // the key read, or the prefix listed
  bool listing = false;
  std::size_t shard = 0;  // of the key read
  // The snapshot of each shard read: of the key's shard alone, or of every shard, in shard order.
  std::vector<std::uint64_t> snapshots;
  IndexColumnLists columns;  // of a listing
  CommittedValue value;      // of a key
};

struct Memo {
  static constexpr std::size_t kKept = 8;
  std::array<Answer, kKept> answers;
  std::size_t next_slot = 0;
  // Writes still noted before the next lookup: a call of a few statements keeps its answers, while
  // a script writing many rows does not pay the routing of each key, only one read again at the
  // next call (a write not noted leaves its shard's stamp behind).
  std::size_t notes_left = 0;
  std::vector<std::uint64_t> now;  // scratch: the stamps of a listing's lookup

  // db's database number, with every shard's snapshot in now.
  std::uint64_t stamp_every_shard(const engine::Database& db) {
    const std::size_t shards = db.shard_count();
    now.resize(shards);
    std::uint64_t database = 0;
    for (std::size_t i = 0; i < shards; ++i) {
      const engine::Database::ReadStamp stamp = db.shard_stamp(i);
      database = stamp.database;
      now[i] = stamp.snapshot;
    }
    return database;
  }

  Answer* find(std::uint64_t database, std::string_view key, bool listing) {
    for (Answer& answer : answers) {
      if (answer.database == database && answer.listing == listing && answer.key == key) return &answer;
    }
    return nullptr;
  }

  // The slot for a new answer: the known one, or the oldest.
  Answer& slot(Answer* known, std::uint64_t database, std::string_view key, bool listing) {
    if (known != nullptr) return *known;
    Answer& answer = answers[next_slot];
    next_slot = (next_slot + 1) % kKept;
    answer = Answer{};
    answer.database = database;
    answer.key.assign(key);
    answer.listing = listing;
    return answer;
  }
};

thread_local Memo memo;

bool provable(const std::vector<std::uint64_t>& snapshots) {
  for (std::uint64_t snapshot : snapshots) {
    if (snapshot == kNoSnapshot) return false;
  }
  return true;
}

}  // namespace

Result<IndexColumnLists> committed_listing(engine::Database& db, std::string_view prefix,
                                           util::FunctionRef<Result<IndexColumnLists>()> list) {
  memo.notes_left = kNotedWrites;
  const std::uint64_t database = memo.stamp_every_shard(db);
  Answer* known = memo.find(database, prefix, true);
  if (known != nullptr && known->snapshots == memo.now) return known->columns;
  std::vector<std::uint64_t> before = memo.now;
  IndexColumnLists listed = TRY(list());
  memo.stamp_every_shard(db);
  if (before != memo.now || !provable(before)) return listed;
  Answer& answer = memo.slot(known, database, prefix, true);
  answer.snapshots = std::move(before);
  answer.columns = listed;
  return listed;
}

Result<CommittedValue> committed_value(engine::Database& db, std::string_view key) {
  memo.notes_left = kNotedWrites;
  const engine::Database::ReadStamp stamp = db.read_stamp(key);
  Answer* known = memo.find(stamp.database, key, false);
  if (known != nullptr && known->snapshots[0] == stamp.snapshot) return known->value;
  // Read at the stamp's snapshot, so that the answer is the one the stamp stands for.
  std::optional<std::string> value = TRY(db.get(key, stamp.snapshot));
  if (value && value->empty()) value.reset();
  auto read = std::make_shared<const std::optional<std::string>>(std::move(value));
  if (stamp.snapshot == kNoSnapshot) return read;
  Answer& answer = memo.slot(known, stamp.database, key, false);
  answer.shard = db.shard_of_key(key);
  answer.snapshots.assign(1, stamp.snapshot);
  answer.value = read;
  return read;
}

void note_committed_write(const engine::Database& db, std::string_view key, std::uint64_t ts) {
  if (memo.notes_left == 0 || ts == 0 || ts == kNoSnapshot) return;
  --memo.notes_left;
  std::uint64_t database = 0;
  std::size_t shard = 0;
  for (Answer& answer : memo.answers) {
    if (answer.database == 0) continue;
    if (answer.listing ? key.starts_with(answer.key) : key == answer.key) continue;
    if (database == 0) {
      database = db.shard_stamp(0).database;
      shard = db.shard_of_key(key);
    }
    if (answer.database != database) continue;
    std::uint64_t& snapshot = answer.listing ? answer.snapshots[shard] : answer.snapshots[0];
    if ((answer.listing || answer.shard == shard) && snapshot == ts - 1) snapshot = ts;
  }
}

}  // namespace quenlordb::sql::exec
