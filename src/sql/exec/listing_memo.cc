#include "sql/exec/listing_memo.h"

#include <array>
#include <limits>

namespace quenlordb::sql::exec {

namespace {

constexpr std::uint64_t kNoSnapshot = std::numeric_limits<std::uint64_t>::max();

struct Listing {
  std::uint64_t database = 0;  // 0: the slot is free (a database's number is never 0)
  std::string prefix;
  // Each shard's snapshot, in shard order. A saturated timestamp (2^64 - 1) can be shared by
  // several writes of a shard, so a stamp holding it proves nothing: such a listing is not kept.
  std::vector<std::uint64_t> snapshots;
  IndexColumnLists columns;
};

struct Memo {
  static constexpr std::size_t kKept = 8;
  std::array<Listing, kKept> listings;
  std::size_t next_slot = 0;
  std::vector<std::uint64_t> now;  // scratch: the stamps of a lookup

  // db's database number, with every shard's snapshot in now.
  std::uint64_t stamp(const engine::Database& db) {
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

  Listing* find(std::uint64_t database, std::string_view prefix) {
    for (Listing& listing : listings) {
      if (listing.database == database && listing.prefix == prefix) return &listing;
    }
    return nullptr;
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
  const std::uint64_t database = memo.stamp(db);
  Listing* known = memo.find(database, prefix);
  if (known != nullptr && known->snapshots == memo.now) return known->columns;
  std::vector<std::uint64_t> before = memo.now;
  IndexColumnLists listed = TRY(list());
  memo.stamp(db);
  if (before != memo.now || !provable(before)) return listed;
  if (known == nullptr) {
    known = &memo.listings[memo.next_slot];
    memo.next_slot = (memo.next_slot + 1) % Memo::kKept;
    known->database = database;
    known->prefix.assign(prefix);
  }
  known->snapshots = std::move(before);
  known->columns = listed;
  return listed;
}

void note_committed_write(const engine::Database& db, std::string_view key, std::uint64_t ts) {
  if (ts == 0 || ts == kNoSnapshot) return;
  std::uint64_t database = 0;
  std::size_t shard = 0;
  for (Listing& listing : memo.listings) {
    if (listing.database == 0 || key.starts_with(listing.prefix)) continue;
    if (database == 0) {
      database = db.shard_stamp(0).database;
      shard = db.shard_of_key(key);
    }
    if (listing.database == database && listing.snapshots[shard] == ts - 1) listing.snapshots[shard] = ts;
  }
}

}  // namespace quenlordb::sql::exec
