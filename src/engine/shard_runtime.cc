#include "engine/shard_runtime.h"

#include <fcntl.h>

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <mutex>
#include <new>
#include <shared_mutex>
#include <string_view>
#include <unordered_set>

#include "ai/risk/risk.h"
#include "engine/database.h"
#include "ledger/internal_key.h"
#include "ledger/record.h"
#include "storage/sstable_reader.h"
#include "util/file.h"
#include "util/log.h"

namespace quenlordb::engine {

namespace {

constexpr double kInlineRiskThreshold = 0.75;

// Opens the table files a manifest entry names. Per-level lists win over the flat name list.
Result<storage::LevelManager> open_levels(const std::string& shard_dir, const storage::ManifestShardState& entry,
                                          const Config& config) {
  const storage::LevelOptions options = storage::LevelOptions::from_config(config);
  if (entry.level_files) return storage::LevelManager::from_manifest_levels(shard_dir, *entry.level_files, options);
  std::vector<std::shared_ptr<const storage::SsTableReader>> readers;
  for (const std::string& name : entry.l0_files) {
    std::string path = util::join_path(shard_dir, name);
    // A file that no longer exists is skipped; any other failure to look at it fails the open, so
    // a live file is never dropped from the manifest because it could not be inspected.
    if (!TRY(util::file_size_if_exists(path))) continue;
    readers.push_back(std::make_shared<const storage::SsTableReader>(TRY(storage::SsTableReader::open(std::move(path)))));
  }
  return storage::LevelManager::from_sstables(shard_dir, std::move(readers), options);
}

// Removes the table files of the shard directory that its manifest entry does not name: outputs of a
// flush or a compaction killed before a saved manifest named them, and inputs of a compaction
// killed after the manifest stopped naming them but before they were deleted. No open reads them
// and nothing else would delete them. Only names of the table-file form are considered; the log and
// every other file stay. A file that cannot be removed stays too, as unreferenced as before.
Result<void> remove_unnamed_tables(const std::string& shard_dir, const storage::ManifestShardState& entry) {
  std::unordered_set<std::string_view> named(entry.l0_files.begin(), entry.l0_files.end());
  named.insert(entry.wal_file);
  if (entry.level_files) {
    for (const auto& level : *entry.level_files) {
      for (const storage::ManifestLevelFile& file : level) named.insert(file.file_name);
    }
  }
  for (const util::DirEntry& file : TRY(util::list_dir(shard_dir))) {
    if (file.is_dir || !storage::table_file_id(file.name) || named.contains(file.name)) continue;
    (void)util::remove_file(util::join_path(shard_dir, file.name));
  }
  return {};
}

}  // namespace

Result<ShardRuntime::Opened> ShardRuntime::open(const std::string& root, const storage::ManifestShardState& entry,
                                                const Config& config, std::shared_ptr<SharedManifest> manifest,
                                                std::shared_ptr<const Hasher> hasher,
                                                std::shared_ptr<storage::BlockCache> block_cache,
                                                std::shared_ptr<storage::IndexCache> index_cache,
                                                std::uint64_t shard_id,
                                                std::shared_ptr<storage::WalBatchQueue> queue) {
  std::string shard_dir = util::join_path(root, storage::shard_dir_name(shard_id));
  TRY(util::create_dir_all(shard_dir));
  TRY(remove_unnamed_tables(shard_dir, entry));
  std::string wal_path = util::join_path(shard_dir, entry.wal_file);
  if (!TRY(util::file_size_if_exists(wal_path))) {
    util::File created = TRY(util::File::open(wal_path, O_WRONLY | O_APPEND | O_CREAT, 0666));
    TRY(created.close());
  }

  storage::LevelManager levels = TRY(open_levels(shard_dir, entry, config));

  storage::WalReplay replay = TRY(storage::replay_wal(wal_path));
  std::uint64_t highest = entry.commit_ts_high_watermark;
  storage::Memtable memtable;
  for (ledger::FactWrite& record : replay.records) {
    if (auto key = ledger::decode_internal_key_view(record.key); key && key->commit_ts > highest)
      highest = key->commit_ts;
    memtable.insert(std::move(record.key), std::move(record.value));
  }

  storage::Wal wal = TRY(storage::Wal::open(wal_path, config.wal_fsync_every_n_records));
  // Records appended behind a damaged or cut-off frame would be out of every later replay's reach.
  if (replay.stopped_early) TRY(wal.cut_back(replay.intact_end));

  auto shared = std::make_shared<ShardShared>(std::move(levels));
  shared->active = std::move(memtable);
  shared->last_allocated_ts.store(highest, std::memory_order_relaxed);
  shared->committed_ts.store(highest, std::memory_order_release);
  shared->hasher = std::move(hasher);
  shared->block_cache = std::move(block_cache);
  shared->index_cache = std::move(index_cache);
  shared->risk_on_get = config.ai_risk_on_get;
  manifest->register_watermark(shard_id, std::shared_ptr<const std::atomic<std::uint64_t>>(shared, &shared->last_allocated_ts));

  ShardReadHandle handle(shared);
  std::unique_ptr<ShardRuntime> runtime(
      new ShardRuntime(std::move(shard_dir), std::move(wal), config, std::move(manifest), std::move(shared), shard_id,
                       std::move(queue)));
  return Opened{std::move(runtime), std::move(handle)};
}

void ShardRuntime::run(std::unique_ptr<ShardRuntime> rt, util::Receiver<ShardCommand> commands) {
  while (true) {
    auto received = commands.recv();
    if (!received) return;  // every sender is gone: end without saving
    ShardCommand command = std::move(*received);
    // Memory running out fails the command at hand, not the thread: each command's changes are
    // made so that a std::bad_alloc leaves nothing half done (see ShardShared::commit). A reply
    // that cannot be sent for want of memory is dropped with its command, and its requester sees
    // the channel close.
    const bool shutdown = std::holds_alternative<ShardCommand::Shutdown>(command.value);
    try {
      if (rt->execute(command)) return;
    } catch (const std::bad_alloc&) {
    }
    // A shutdown that ran out of memory (saving the manifest) still ends the loop: the facade joins
    // this thread before it lets go of the channel.
    if (shutdown) return;
  }
}

bool ShardRuntime::execute(ShardCommand& command) {
  auto out_of_memory = [] { return fail(QuenlorError::io(ENOMEM)); };
  if (auto* put = std::get_if<ShardCommand::Put>(&command.value)) {
    Result<std::uint64_t> result = out_of_memory();
    try {
      result = execute_put(*put);
    } catch (const std::bad_alloc&) {
    }
    (void)put->reply.send(std::move(result));
  } else if (auto* batch = std::get_if<ShardCommand::PutBatch>(&command.value)) {
    Result<std::vector<std::uint64_t>> result = out_of_memory();
    try {
      result = execute_put_batch(*batch);
    } catch (const std::bad_alloc&) {
    }
    (void)batch->reply.send(std::move(result));
  } else if (std::holds_alternative<ShardCommand::MaybeFlush>(command.value)) {
    if (shared_->memtable_full(config_.memtable_max_bytes)) (void)flush_active_memtable();
  } else if (auto* subscribe = std::get_if<ShardCommand::Subscribe>(&command.value)) {
    subscribers_.push_back(std::move(subscribe->subscriber));
    shared_->has_subscribers.store(true, std::memory_order_release);
  } else if (auto* stats = std::get_if<ShardCommand::Stats>(&command.value)) {
    (void)stats->reply.send(stats_);
  } else {
    shut_down(std::get<ShardCommand::Shutdown>(command.value));
    return true;
  }
  return false;
}

void ShardRuntime::shut_down(const ShardCommand::Shutdown& command) {
  // The active memtable stays in the log and is replayed at the next open. Commands queued behind
  // this one are dropped with the receiver, closing their reply channels.
  (void)wal_.sync();
  if (command.unwritten_writes > 0) {
    // Fast writes whose log frames could not be written are kept in a table file instead.
    Result<void> kept = fail(QuenlorError::io(ENOMEM));
    try {
      kept = write_memtables_to_tables();
    } catch (const std::bad_alloc&) {
    }
    if (!kept) {
      util::log_event(util::LogLevel::Error,
                      "shard " + std::to_string(shard_id_) + ": " + std::to_string(command.unwritten_writes) +
                          " acknowledged writes lost: their log frames could not be written and the memtable "
                          "could not be flushed: " + kept.error().to_string());
    }
  }
  (void)persist_manifest_state();
}

Result<std::uint64_t> ShardRuntime::execute_put(ShardCommand::Put& cmd) {
  ShardShared& s = *shared_;
  ledger::FactWrite record;
  std::string risk_key;
  std::string risk_value;
  Result<std::uint64_t> committed = s.commit(
      [&]() -> Result<std::uint64_t> {
        const std::uint64_t ts = s.allocate_ts();
        record.write_tag = cmd.write_tag;
        ledger::append_internal_key(record.key, cmd.key, ts);
        ledger::append_fact_value(record.value, cmd.valid_from, cmd.valid_to, cmd.doc);

        // A risk record whose key would be longer than a put may write is left out (the key holds the
        // user key in hex, so user keys over about 32 KiB have none).
        if (config_.ai_inline_risk && !std::string_view(cmd.key).starts_with(ai::risk::kReservedKeyPrefix) &&
            ai::risk::risk_key_prefix(cmd.key).size() + std::to_string(ts).size() <= kMaxKeyBytes) {
          const double score = ai::risk::quick_risk_score(cmd.doc);
          if (score >= kInlineRiskThreshold) {  // NaN compares false
            const std::uint64_t rts = s.allocate_ts();
            ledger::append_internal_key(risk_key, ai::risk::risk_key_prefix(cmd.key) + std::to_string(ts), rts);
            char text[96];
            const int n = std::snprintf(text, sizeof text, "{\"risk\":%.4f,\"source_ts\":%llu}", score,
                                        static_cast<unsigned long long>(ts));
            ledger::append_fact_value(risk_value, cmd.valid_from, cmd.valid_to,
                                      std::string_view(text, static_cast<std::size_t>(std::max(n, 0))));
          }
        }
        s.reserve_inserts(risk_key.empty() ? 1 : 2, record.key.size() + risk_key.size(),
                          record.value.size() + risk_value.size());
        TRY(wal_.append(record));
        // The put's own timestamp is published even when a risk record took the next one.
        return ts;
      },
      [&](storage::Memtable& active) {
        active.insert(std::move(record.key), std::move(record.value));
        // The risk record is not logged: it reaches disk only if a flush writes it.
        if (!risk_key.empty()) active.insert(std::move(risk_key), std::move(risk_value));
      });
  const std::uint64_t ts = TRY(committed);
  ++stats_.writes;
  try {
    notify(cmd, ts);
  } catch (const std::bad_alloc&) {
    // The put is committed; subscribers not reached yet miss its event.
  }
  TRY(flush_check_after_commit());
  return ts;
}

Result<std::vector<std::uint64_t>> ShardRuntime::execute_put_batch(ShardCommand::PutBatch& cmd) {
  ShardShared& s = *shared_;
  std::vector<std::uint64_t> timestamps;
  timestamps.reserve(cmd.items.size());
  std::vector<ledger::FactWrite> records(cmd.items.size());
  TRY(s.commit(
      [&]() -> Result<std::uint64_t> {
        for (std::size_t i = 0; i < cmd.items.size(); ++i) {
          const WriteBatchItem& item = cmd.items[i];
          const std::uint64_t ts = s.allocate_ts();
          timestamps.push_back(ts);
          records[i].write_tag = item.write_tag;
          ledger::append_internal_key(records[i].key, item.key, ts);
          ledger::append_fact_value(records[i].value, item.valid_from, item.valid_to, item.doc);
        }
        std::size_t key_bytes = 0;
        std::size_t value_bytes = 0;
        for (const ledger::FactWrite& record : records) {
          key_bytes += record.key.size();
          value_bytes += record.value.size();
        }
        s.reserve_inserts(records.size(), key_bytes, value_bytes);
        TRY(wal_.append_batch(records));
        return s.last_allocated_ts.load(std::memory_order_relaxed);
      },
      [&](storage::Memtable& active) {
        for (ledger::FactWrite& record : records) active.insert(std::move(record.key), std::move(record.value));
      }));
  stats_.writes += cmd.items.size();
  TRY(flush_check_after_commit());
  return timestamps;
}

void ShardRuntime::notify(const ShardCommand::Put& cmd, std::uint64_t ts) {
  for (auto it = subscribers_.begin(); it != subscribers_.end();) {
    if (!std::string_view(cmd.key).starts_with(it->prefix)) {
      ++it;
      continue;
    }
    if (it->tx.send(ChangeEvent{cmd.key, cmd.doc, ts, cmd.valid_from, cmd.valid_to})) {
      ++it;
    } else {
      it = subscribers_.erase(it);  // the receiving end is gone
    }
  }
}

Result<void> ShardRuntime::flush_check_after_commit() {
  // The watermark is not copied into the manifest here: every save reads it from the shard's
  // counter (see SharedManifest).
  if (!shared_->memtable_full(config_.memtable_max_bytes)) return {};
  try {
    return flush_active_memtable();
  } catch (const std::bad_alloc&) {
    // The write is committed and its reply must say so; the flush left everything readable and is
    // tried again at the next write.
    return {};
  }
}

}  // namespace quenlordb::engine
