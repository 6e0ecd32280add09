// The database's one manifest behind one mutex, shared by the facade and every shard runtime. File
// ids are drawn and the manifest is saved while holding the mutex, so ids are never handed out twice
// and saves of different shards never overlap.
//
// Each shard's recovery point (the highest commit timestamp it handed out) is read from the shard's
// own counter when the manifest is saved, instead of being copied into the manifest on every write.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

#include "error.h"
#include "storage/manifest.h"

namespace quenlordb::engine {

class SharedManifest {
 public:
  explicit SharedManifest(storage::Manifest manifest) : manifest_(std::move(manifest)) {}
  SharedManifest(const SharedManifest&) = delete;
  SharedManifest& operator=(const SharedManifest&) = delete;

  std::mutex& mutex() { return mutex_; }
  // Caller holds mutex().
  storage::Manifest& manifest() { return manifest_; }

  // Draws one table-file id (takes the mutex).
  std::uint64_t take_file_id() {
    std::lock_guard lock(mutex_);
    return manifest_.take_file_id();
  }

  // Registers the counter whose value becomes the watermark of the entry with this shard_id.
  void register_watermark(std::uint64_t shard_id, std::shared_ptr<const std::atomic<std::uint64_t>> counter) {
    std::lock_guard lock(mutex_);
    if (watermarks_.size() <= shard_id) watermarks_.resize(shard_id + 1);
    watermarks_[shard_id] = std::move(counter);
  }

  // Copies every registered counter into its entry and saves. Caller holds mutex().
  Result<void> save_locked() {
    for (storage::ManifestShardState& shard : manifest_.state().shards) {
      if (shard.shard_id < watermarks_.size() && watermarks_[shard.shard_id])
        shard.commit_ts_high_watermark = watermarks_[shard.shard_id]->load(std::memory_order_acquire);
    }
    return manifest_.save();
  }

 private:
  std::mutex mutex_;
  storage::Manifest manifest_;
  std::vector<std::shared_ptr<const std::atomic<std::uint64_t>>> watermarks_;
};

}  // namespace quenlordb::engine
