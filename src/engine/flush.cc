// Flushing, compaction driving and manifest persistence of a shard: ShardRuntime members that move
// the shard's data from memory to disk and keep the manifest in step. Shard thread only.
#include <mutex>
#include <shared_mutex>

#include "engine/shard_runtime.h"
#include "storage/levels.h"
#include "storage/sstable_reader.h"
#include "storage/sstable_writer.h"
#include "util/file.h"
#include "util/log.h"

namespace quenlordb::engine {

// Pauses the shard's group-commit queue for the life of the guard: frames of versions that land in
// the new memtable stay queued until the log has been truncated. Resumes on every path. The pause
// must end as soon as the truncation is done: acknowledged fast writes wait in memory meanwhile.
class ShardRuntime::QueuePause {
 public:
  QueuePause(storage::WalBatchQueue* queue, std::size_t shard) : queue_(queue), shard_(shard) {}
  QueuePause(const QueuePause&) = delete;
  QueuePause& operator=(const QueuePause&) = delete;
  ~QueuePause() {
    if (paused_) queue_->resume(shard_);
  }
  // Caller holds the shard's commit_mu, so no frame of a version in the new memtable is queued before.
  void pause() {
    if (queue_ != nullptr && !paused_) {
      queue_->pause(shard_);
      paused_ = true;
    }
  }

 private:
  storage::WalBatchQueue* queue_;
  std::size_t shard_;
  bool paused_ = false;
};

Result<void> ShardRuntime::flush_active_memtable() {
  {
    QueuePause pause(queue_.get(), static_cast<std::size_t>(shard_id_));
    TRY(freeze_and_write(pause));
    // Every version the log holds for this shard is now in a table file named by the saved manifest:
    // the shard thread is here, and frames of fast writes since the freeze are held in the queue.
    TRY(wal_.truncate());
  }
  // The queue runs again before the compaction: fast writes acknowledged meanwhile reach the log
  // now, not after the compaction steps, which can take seconds.
  return maybe_compact();
}

Result<void> ShardRuntime::write_memtables_to_tables() {
  QueuePause pause(queue_.get(), static_cast<std::size_t>(shard_id_));
  return freeze_and_write(pause);
}

Result<void> ShardRuntime::freeze_and_write(QueuePause& pause) {
  ShardShared& s = *shared_;
  TRY(wal_.sync());
  {
    // Under commit_mu, so that no write is between reserving room in the active memtable and
    // inserting into it, and every frame queued from here on belongs to the new memtable.
    std::lock_guard commit(s.commit_mu);
    std::unique_lock active(s.active_mu);
    if (s.active.empty()) {
      // Nothing new; frozen memtables a failed flush left behind are still written below.
      std::shared_lock immutables(s.immutables_mu);
      if (s.immutables.empty()) return {};
    }
    if (!s.active.empty()) {
      // Everything that can run out of memory comes before the swap.
      auto frozen = std::make_shared<storage::Memtable>();
      std::unique_lock immutables(s.immutables_mu);
      s.immutables.reserve(s.immutables.size() + 1);
      pause.pause();
      frozen->swap(s.active);
      s.immutables.push_back(std::move(frozen));
    } else {
      pause.pause();
    }
  }
  TRY(write_frozen_memtables());
  return persist_manifest_state();
}

// Writes every frozen memtable, oldest first, into a level-0 file of its own. Each file joins the
// levels before its memtable leaves `immutables`, so a concurrent reader finds every version in one
// or the other. Stops at the first failure, leaving that memtable (and newer ones) frozen.
Result<void> ShardRuntime::write_frozen_memtables() {
  ShardShared& s = *shared_;
  while (true) {
    std::shared_ptr<const storage::Memtable> oldest;
    {
      std::shared_lock immutables(s.immutables_mu);
      if (s.immutables.empty()) return {};
      oldest = s.immutables.front();
    }
    const std::uint64_t id = manifest_->take_file_id();
    std::string path = util::join_path(shard_dir_, storage::table_file_name(0, id));
    TRY(storage::build_sstable(path, *oldest, config_.sstable_block_bytes, config_.bloom_bits_per_key,
                               *s.hasher));
    TRY(util::sync_dir(shard_dir_));
    auto reader = std::make_shared<const storage::SsTableReader>(TRY(storage::SsTableReader::open(std::move(path))));
    {
      std::unique_lock levels(s.levels_mu);
      s.levels.add_l0_file(std::move(reader));
    }
    {
      std::unique_lock immutables(s.immutables_mu);
      s.immutables.erase(s.immutables.begin());
    }
    ++stats_.flushes;
  }
}

Result<void> ShardRuntime::maybe_compact() {
  ShardShared& s = *shared_;
  while (true) {
    std::optional<storage::CompactionPlan> plan;
    {
      std::shared_lock levels(s.levels_mu);
      const std::optional<storage::CompactionStep> step = s.levels.needs_compaction(config_.compaction_l0_threshold);
      if (!step) break;
      plan = TRY(s.levels.plan_compaction(*step));
    }
    // The outputs are merged, written and synced without the level-set lock, so that readers go on
    // reading the inputs meanwhile: this thread is the only writer of the level set, and the plan
    // holds its own references to the inputs. Ids are drawn under the manifest mutex alone.
    storage::BuiltCompaction built =
        TRY(storage::build_compaction(*plan, config_.sstable_block_bytes, config_.bloom_bits_per_key, *s.hasher,
                                      [this] { return manifest_->take_file_id(); }));
    pending_deletions_.reserve(pending_deletions_.size() + built.outcome.obsolete_paths.size());
    {
      std::unique_lock levels(s.levels_mu);
      s.levels.install_compaction(*plan, built);
    }
    for (std::string& input : built.outcome.obsolete_paths) pending_deletions_.push_back(std::move(input));
    ++stats_.compactions;
    if (util::log_enabled()) {
      util::log_event(util::LogLevel::Info, "shard " + std::to_string(shard_id_) + ": compacted L" +
                                                std::to_string(plan->step.source) + "\u2192L" +
                                                std::to_string(plan->step.target) + ": removed " +
                                                std::to_string(built.outcome.removed_files) + " files, created " +
                                                std::to_string(built.outcome.created_files));
    }
  }
  return persist_manifest_state();
}

Result<void> ShardRuntime::persist_manifest_state() {
  {
    std::lock_guard lock(manifest_->mutex());
    storage::ManifestState& state = manifest_->manifest().state();
    storage::ManifestShardState* entry = nullptr;
    for (storage::ManifestShardState& shard : state.shards) {
      if (shard.shard_id == shard_id_) {
        entry = &shard;
        break;
      }
    }
    // Saving without this shard's files would let the caller truncate a log whose records are
    // named nowhere else.
    if (entry == nullptr)
      return fail(QuenlorError::manifest_format("no manifest entry for shard " + std::to_string(shard_id_)));
    // Both lists are built before either is stored, so that running out of memory leaves the entry
    // as it was rather than half new (another shard's save would write it).
    std::vector<std::string> names;
    std::optional<std::vector<std::vector<storage::ManifestLevelFile>>> level_files;
    {
      std::shared_lock levels(shared_->levels_mu);
      names = shared_->levels.file_names();
      level_files = shared_->levels.manifest_levels();
    }
    entry->l0_files = std::move(names);
    entry->level_files = std::move(level_files);
    TRY(manifest_->save_locked());
  }
  // The saved manifest names the compaction outputs instead of their inputs.
  for (const std::string& path : pending_deletions_) (void)util::remove_file(path);
  pending_deletions_.clear();
  return {};
}

}  // namespace quenlordb::engine
