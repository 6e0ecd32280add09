// The fast write path: a put executed on the caller's thread, without a round trip to the shard
// thread. It takes the shard's next commit timestamp, claims space for the log frame in the log's
// reserve and queues the frame for the group-commit thread, inserts the version into the active
// memtable and publishes the timestamp, returning before the frame is durable (but with its space
// on disk set aside). It declines (the caller then sends the put to the shard thread) while the path
// is disabled, the shard has subscribers, the group-commit thread is not accepting frames, the
// record would exceed the log's frame limit, the active memtable has reached its size limit, the
// log's reserve holds too little for the frame, a write of the shard's frames has failed and they
// are not yet written, or memory runs out. Shared by the facade; callable from any
// number of threads at once.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <optional>
#include <string_view>
#include <vector>

#include "engine/shard_shared.h"
#include "storage/group_commit.h"
#include "storage/wal.h"

namespace quenlordb::engine {

class FastWritePath {
 public:
  // shards and wal_locks (each shard's log lock, with its reserve) in shard order.
  FastWritePath(std::vector<std::shared_ptr<ShardShared>> shards, std::vector<std::shared_ptr<storage::WalLock>> wal_locks,
                std::uint64_t memtable_max_bytes, std::shared_ptr<storage::WalBatchQueue> queue);

  FastWritePath(const FastWritePath&) = delete;
  FastWritePath& operator=(const FastWritePath&) = delete;

  // The commit timestamp, or none when the path declines. shard is the one key routes to.
  std::optional<std::uint64_t> try_fast_put(std::size_t shard, std::string_view key, std::string_view doc, std::uint64_t valid_from,
                                            std::uint64_t valid_to, std::optional<std::uint64_t> write_tag);

  // From now on every put is declined.
  void disable() { enabled_.store(false, std::memory_order_release); }
  bool enabled() const { return enabled_.load(std::memory_order_relaxed); }

 private:
  std::vector<std::shared_ptr<ShardShared>> shards_;
  std::vector<std::shared_ptr<storage::WalLock>> wal_locks_;
  std::uint64_t memtable_max_bytes_;
  std::shared_ptr<storage::WalBatchQueue> queue_;
  std::atomic<bool> enabled_{true};
};

}  // namespace quenlordb::engine
