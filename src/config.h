// The settings record of one database. Built by the caller, validated by Database::open before
// anything touches the disk, then copied by value into every component; nobody changes a copy.
#pragma once

#include <cstddef>
#include <cstdint>

#include "error.h"

namespace quenlordb {

// The longest key a write may carry, in bytes. Table files and the manifest carry keys whole (the
// manifest writes each file's first and last key as JSON numbers, one per byte), so keys stay short.
// Keys the system derives from stored data (a full-text term's posting list, an insight or risk
// record of a user key) that would be longer are left out rather than fail the write deriving them.
inline constexpr std::size_t kMaxKeyBytes = 65536;

struct Config {
  // Upper bounds of validate: every shard costs a thread, a directory and a log, and every level a
  // list of files, so values far beyond these are mistakes rather than configurations.
  static constexpr std::uint64_t kMaxShardCount = 4096;
  static constexpr std::uint64_t kMaxCompactionLevels = 64;

  std::uint64_t wal_fsync_every_n_records = 128;
  std::uint64_t memtable_max_bytes = 4194304;
  std::uint64_t sstable_block_bytes = 16384;
  std::uint64_t bloom_bits_per_key = 10;
  std::uint64_t shard_count = 4;
  std::uint64_t ai_batch_window_ms = 20;
  std::uint64_t ai_batch_max_events = 16;
  std::uint64_t compaction_l0_threshold = 8;
  std::uint64_t compaction_level_base_bytes = 10485760;
  std::uint64_t compaction_level_ratio = 10;
  std::uint64_t compaction_max_levels = 7;
  std::uint64_t compaction_target_file_bytes = 67108864;
  std::uint64_t block_cache_bytes = 33554432;
  std::uint64_t index_cache_entries = 1024;
  std::uint64_t group_commit_interval_us = 1000;
  bool ai_enabled = false;
  bool ai_inline_risk = false;
  bool ai_risk_on_get = false;
  bool group_commit_enabled = true;

  // Checks the rules in their fixed order; the first violated one is a ConfigInvalid error.
  Result<void> validate() const;
};

}  // namespace quenlordb
