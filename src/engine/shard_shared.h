// The state a shard thread shares with its readers and with the fast write path, and the reader's
// handle on it. Reads run on the caller's thread and never wait for the shard thread, only for the
// short sections in which a writer holds one of the locks below.
//
// Lock order (a thread only ever takes these in the order listed, and never the reverse):
//   commit_mu  ->  active  ->  immutables            (writes: allocate, insert, publish; flush freeze)
//   commit_mu  ->  active  ->  immutables  ->  group-commit queue mutex   (flush freeze: pause)
//   commit_mu  ->  group-commit queue mutex           (the fast path queues its frame)
//   manifest mutex  ->  levels (read)                 (saving the manifest)
//   commit_mu  ->  the log's WalLock                  (the shard thread's append)
//   levels (read)  ->  block cache mutex              (the cache's mutex is innermost)
// Nothing else is taken while levels is held exclusively: the shard thread, its only writer, holds
// it so only to add a flushed file or to put a compaction step's outputs, built and synced before,
// in place of its inputs. File ids are drawn under the manifest mutex alone. Readers hold one of
// active, immutables and levels at a time.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <memory>
#include <mutex>
#include <optional>
#include <shared_mutex>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "engine/batch_doc.h"
#include "engine/prefix_scan.h"
#include "engine/prefix_scan_row.h"
#include "error.h"
#include "hasher.h"
#include "ledger/visible.h"
#include "storage/block_cache.h"
#include "storage/levels.h"
#include "storage/memtable.h"
#include "util/function_ref.h"
#include "util/spinning_shared_mutex.h"

namespace quenlordb::engine {

struct ShardShared {
  explicit ShardShared(storage::LevelManager level_set) : levels(std::move(level_set)) {}
  ShardShared(const ShardShared&) = delete;
  ShardShared& operator=(const ShardShared&) = delete;

  // Commit timestamps of the shard come from one allocation, shared by the shard thread and the
  // fast write path, which both write through commit() below.
  std::mutex commit_mu;
  // The highest timestamp handed out; written under commit_mu, readable anywhere.
  std::atomic<std::uint64_t> last_allocated_ts{0};
  // The default snapshot of readers; written under commit_mu (release), never decreases.
  std::atomic<std::uint64_t> committed_ts{0};

  // Held exclusively only for one write's inserts (or a flush's swap): short enough that a reader
  // waiting for it is better off retrying than sleeping.
  util::SpinningSharedMutex active_mu;
  storage::Memtable active;  // guarded by active_mu

  std::shared_mutex immutables_mu;
  // Frozen memtables whose flush has begun and not finished, oldest first. Never changed once here.
  std::vector<std::shared_ptr<const storage::Memtable>> immutables;  // guarded by immutables_mu

  std::shared_mutex levels_mu;
  storage::LevelManager levels;  // guarded by levels_mu

  std::shared_ptr<const Hasher> hasher;
  std::shared_ptr<storage::BlockCache> block_cache;
  std::shared_ptr<storage::IndexCache> index_cache;

  std::atomic<std::uint64_t> reads{0};
  std::atomic<std::uint64_t> bloom_negatives{0};
  std::atomic<std::uint64_t> block_reads{0};
  // Set once a subscription exists; never cleared. The fast write path declines while it is set.
  std::atomic<bool> has_subscribers{false};
  bool risk_on_get = false;

  // The commit rule, on which read consistency rests; every write of the shard goes through it.
  // Under commit_mu, stage() takes the write's timestamps with allocate_ts(), reserves room for its
  // versions with reserve_inserts() and then logs or queues the write; it returns the timestamp to
  // publish, or a failure (an error, or none, or an exception such as std::bad_alloc), after which
  // nothing is inserted or published and the timestamps it took stay consumed. Then insert(active)
  // adds the versions under the active memtable's lock, which cannot fail for want of memory once
  // they are reserved, and the timestamp is published. So timestamps are unique and published in
  // order, a published timestamp's versions are in the memtable, and a logged write is inserted.
  // The flush freezes the active memtable under commit_mu too, so a write's room and its versions
  // are in the same memtable, and frames queued before the freeze belong to the frozen one.
  // Returns what stage() returned.
  template <typename Stage, typename Insert>
  auto commit(Stage&& stage, Insert&& insert) {
    std::lock_guard hold(commit_mu);
    auto ts = stage();
    if (!ts) return ts;
    {
      std::unique_lock lock(active_mu);
      insert(active);
    }
    committed_ts.store(*ts, std::memory_order_release);
    return ts;
  }

  // Room in the active memtable for count versions whose keys and values add up to these sizes.
  // Only within commit()'s stage, before the write is logged. Throws std::bad_alloc.
  void reserve_inserts(std::size_t count, std::size_t key_bytes, std::size_t value_bytes) {
    std::unique_lock lock(active_mu);
    active.reserve_inserts(count, key_bytes, value_bytes);
  }

  // The next timestamp, saturating at 2^64 - 1. Only within commit()'s stage.
  std::uint64_t allocate_ts() {
    std::uint64_t ts = last_allocated_ts.load(std::memory_order_relaxed);
    if (ts != std::numeric_limits<std::uint64_t>::max()) ++ts;
    last_allocated_ts.store(ts, std::memory_order_relaxed);
    return ts;
  }

  // Whether the active memtable has reached max_bytes: a full one is flushed before more is taken,
  // and the fast write path declines it.
  bool memtable_full(std::uint64_t max_bytes) {
    std::shared_lock lock(active_mu);
    return active.approx_bytes() >= max_bytes;
  }
};

// The shard a key belongs to, from its hash64 (which also seeds its bloom probe): the hash modulo
// the shard count.
inline std::size_t shard_of(std::uint64_t key_hash, std::size_t shard_count) {
  return static_cast<std::size_t>(key_hash % shard_count);
}

// The version a point read found, its document in place: a copy when it came from a memtable (which
// the read cannot keep locked), else a view into the block it was read from, which it holds.
struct FoundVersion {
  std::uint64_t commit_ts = 0;
  std::string copied;
  std::string_view in_block;
  storage::CachedBlock block;

  std::string_view doc() const { return block != nullptr ? in_block : std::string_view(copied); }
};

// What a point read found, with the document in place, and how.
struct ShardRead {
  std::optional<FoundVersion> found;
  std::optional<std::uint64_t> sstable_block;
  std::optional<bool> bloom_hit;
  std::uint64_t commit_ts_used = 0;
  std::optional<double> risk;
};

// What a point read found, and how.
struct ShardGetResult {
  std::optional<std::string> value;
  // Of the first table file probed: the index position of the first block examined.
  std::optional<std::uint64_t> sstable_block;
  // Of the first table file probed: whether its bloom filter let the key through.
  std::optional<bool> bloom_hit;
  std::uint64_t commit_ts_used = 0;
  // The key's newest inline risk score (only when risk_on_get is set and one is in the memtable).
  std::optional<double> risk;
};

using PrefixScanResultRow = PrefixScanRow;

// A reader's shared reference to one shard's state. Cheap to copy; usable from any thread.
class ShardReadHandle {
 public:
  explicit ShardReadHandle(std::shared_ptr<ShardShared> shared) : shared_(std::move(shared)) {}

  // The newest version of key at or below the snapshot (as_of, or the committed timestamp) that is
  // valid at valid_at; every table file is probed. key_hash is the hasher's hash64 of key, which
  // routed it here.
  Result<ShardGetResult> get(std::string_view key, std::uint64_t key_hash, std::optional<std::uint64_t> as_of,
                             std::optional<std::uint64_t> valid_at) const;
  // The same, hashing the key.
  Result<ShardGetResult> get(std::string_view key, std::optional<std::uint64_t> as_of,
                             std::optional<std::uint64_t> valid_at) const {
    return get(key, shared_->hasher->hash64(key), as_of, valid_at);
  }
  // The same read with the document left in place.
  Result<ShardRead> read(std::string_view key, std::uint64_t key_hash, std::optional<std::uint64_t> as_of,
                         std::optional<std::uint64_t> valid_at) const;

  // read of each key keys[i] for i in order (hashes[i] its hash64), all at one snapshot taken
  // first, handing visit(i, document) the document of each key that has a version (see BatchDoc),
  // unless skip (when given) answers true for it, in the order of order, which must list the keys in
  // ascending order (each table file's lookups start from the previous key's). The locks are taken
  // once for a group of keys rather than for each (kReadGroupKeys keys, the last group fewer): an
  // error of a group's reads comes before any of that group's visits. An error visit returns ends
  // the reads with it. The risk score is not read.
  static constexpr std::size_t kReadGroupKeys = 64;
  Result<void> read_many(std::span<const std::string_view> keys, std::span<const std::uint64_t> hashes,
                         std::span<const std::uint32_t> order, std::optional<std::uint64_t> as_of,
                         std::optional<std::uint64_t> valid_at,
                         util::FunctionRef<Result<void>(std::size_t, const BatchDoc&)> visit,
                         const BatchReadSkip* skip = nullptr) const;

  // The newest visible version of every key that begins with prefix, in key order; at most limit
  // rows (the smallest keys).
  Result<PrefixScanRows> scan_prefix(std::string_view prefix, std::optional<std::uint64_t> as_of,
                                     std::optional<std::uint64_t> valid_at, std::optional<std::uint64_t> limit) const;

  // scan_prefix in steps, for a scan of several shards at once (the facade's). A scan counts as a
  // read of the shard and takes its snapshot once (scan_snapshot); it then merges the memtables'
  // answers under their locks and takes the table files (gather_scan, on the calling thread or on
  // one of the scan's), whose merge follows (engine/prefix_scan.h).
  std::uint64_t scan_snapshot(std::optional<std::uint64_t> as_of) const;
  // The stored bytes that a scan of prefix would read in the shard's table files now
  // (table_scan_bytes); no memtable is looked at.
  std::uint64_t scan_table_bytes(std::string_view prefix) const;
  Result<ShardScanInput> gather_scan(std::string_view prefix, std::uint64_t snapshot,
                                     std::optional<std::uint64_t> valid_at, std::optional<std::uint64_t> limit) const;

  // The snapshot a read without as_of takes now (the committed timestamp); counts no read.
  std::uint64_t default_snapshot() const { return shared_->committed_ts.load(std::memory_order_acquire); }
  const std::shared_ptr<ShardShared>& shared() const { return shared_; }

 private:
  std::shared_ptr<ShardShared> shared_;
};

}  // namespace quenlordb::engine
