// A shard's thread-side state and its command loop. The shard thread alone assigns commit
// timestamps on the ordinary write path, appends to the shard's log through its own Wal, flushes the
// memtable into level-0 table files, compacts and saves the manifest. It shares ShardShared with the
// readers and the fast write path.
//
// Files of a shard, under the database root:
//   shard-{n}/shard-{n}.wal   the write-ahead log (the manifest entry's wal_file)
//   shard-{n}/l0-{id}.sst     level-0 table files written by flushes
//   shard-{n}/l{t}-{id}.sst   compaction outputs (target level t)
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "config.h"
#include "engine/shard_command.h"
#include "engine/shard_shared.h"
#include "engine/shared_manifest.h"
#include "error.h"
#include "hasher.h"
#include "storage/block_cache.h"
#include "storage/group_commit.h"
#include "storage/manifest.h"
#include "storage/wal.h"
#include "util/channel.h"

namespace quenlordb::engine {

class ShardRuntime {
 public:
  struct Opened;

  // Opens shard `shard_id` from its manifest entry: creates its directory and log if missing,
  // removes the table files the entry does not name (what a flush or compaction killed part-way, or
  // a compaction's inputs not yet deleted, left behind), opens its table files into levels, replays
  // the log into a fresh memtable (cutting off a damaged tail), and resumes timestamps above both
  // the manifest's watermark and the log's highest. `queue` is the group-commit queue when the fast
  // write path is on (a flush pauses this shard's queue from its freeze until the log is
  // truncated), else null.
  static Result<Opened> open(const std::string& root, const storage::ManifestShardState& entry, const Config& config,
                             std::shared_ptr<SharedManifest> manifest, std::shared_ptr<const Hasher> hasher,
                             std::shared_ptr<storage::BlockCache> block_cache,
                             std::shared_ptr<storage::IndexCache> index_cache, std::uint64_t shard_id,
                             std::shared_ptr<storage::WalBatchQueue> queue = nullptr);

  ShardRuntime(const ShardRuntime&) = delete;
  ShardRuntime& operator=(const ShardRuntime&) = delete;

  // The body of the shard thread: executes commands in arrival order until Shutdown (after syncing
  // the log and saving the manifest) or until every sender is gone (without either).
  static void run(std::unique_ptr<ShardRuntime> runtime, util::Receiver<ShardCommand> commands);

  const std::string& wal_path() const { return wal_.path(); }
  // The lock every other writer of this shard's log must append under.
  const std::shared_ptr<storage::WalLock>& wal_lock() const { return wal_.shared_lock(); }

  // Writes the active memtable (and any frozen one a failed flush left behind) into level-0 files,
  // saves the manifest, truncates the log and compacts.
  Result<void> flush_active_memtable();
  // Runs compaction steps while the levels call for one, then saves the manifest.
  Result<void> maybe_compact();
  // Writes this shard's file lists (and every shard's watermark) into the manifest and saves it;
  // then deletes the compaction inputs the saved manifest no longer names.
  Result<void> persist_manifest_state();

 private:
  ShardRuntime(std::string shard_dir, storage::Wal wal, Config config, std::shared_ptr<SharedManifest> manifest,
               std::shared_ptr<ShardShared> shared, std::uint64_t shard_id,
               std::shared_ptr<storage::WalBatchQueue> queue)
      : shard_dir_(std::move(shard_dir)),
        wal_(std::move(wal)),
        config_(std::move(config)),
        manifest_(std::move(manifest)),
        shared_(std::move(shared)),
        shard_id_(shard_id),
        queue_(std::move(queue)) {}

  // Executes one command; true when it was Shutdown and the loop must end.
  bool execute(ShardCommand& command);
  Result<std::uint64_t> execute_put(ShardCommand::Put& cmd);
  Result<std::vector<std::uint64_t>> execute_put_batch(ShardCommand::PutBatch& cmd);
  void notify(const ShardCommand::Put& cmd, std::uint64_t ts);
  // After a committed write: flushes when the active memtable has reached its limit; the flush's
  // error, or success (also when the flush ran out of memory).
  Result<void> flush_check_after_commit();
  // Syncs the log and, when fast writes could not be logged, keeps them in a table file.
  void shut_down(const ShardCommand::Shutdown& command);
  // The first steps of a flush: the active memtable and any frozen one are written into level-0
  // files and the manifest naming them is saved (then they are durable without the log).
  Result<void> write_memtables_to_tables();
  class QueuePause;
  Result<void> freeze_and_write(QueuePause& pause);
  Result<void> write_frozen_memtables();

  std::string shard_dir_;
  storage::Wal wal_;
  std::vector<Subscriber> subscribers_;
  Config config_;
  std::shared_ptr<SharedManifest> manifest_;
  std::shared_ptr<ShardShared> shared_;
  std::uint64_t shard_id_;
  std::shared_ptr<storage::WalBatchQueue> queue_;
  ShardStats stats_;
  // Compaction inputs replaced by outputs, deleted once a manifest naming the outputs is saved.
  std::vector<std::string> pending_deletions_;
};

struct ShardRuntime::Opened {
  std::unique_ptr<ShardRuntime> runtime;
  ShardReadHandle handle;
};

}  // namespace quenlordb::engine
