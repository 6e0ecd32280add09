#include "config.h"

namespace quenlordb {

Result<void> Config::validate() const {
  struct Rule {
    bool violated;
    const char* message;
  };
  const Rule rules[] = {
      {wal_fsync_every_n_records == 0, "wal_fsync_every_n_records must be > 0"},
      {memtable_max_bytes < 1024, "memtable_max_bytes must be >= 1024"},
      {sstable_block_bytes < 512, "sstable_block_bytes must be >= 512"},
      {bloom_bits_per_key < 4, "bloom_bits_per_key must be >= 4"},
      {shard_count == 0, "shard_count must be > 0"},
      {shard_count > kMaxShardCount, "shard_count must be at most 4096"},
      {compaction_l0_threshold == 0, "compaction_l0_threshold must be > 0"},
      {compaction_max_levels < 2, "compaction_max_levels must be >= 2"},
      {compaction_max_levels > kMaxCompactionLevels, "compaction_max_levels must be at most 64"},
      {ai_enabled && ai_batch_window_ms == 0, "ai_batch_window_ms must be > 0"},
      {ai_enabled && ai_batch_max_events == 0, "ai_batch_max_events must be > 0"},
  };
  for (const Rule& rule : rules) {
    if (rule.violated) return fail(QuenlorError::config_invalid(rule.message));
  }
  return {};
}

}  // namespace quenlordb
