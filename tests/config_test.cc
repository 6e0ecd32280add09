#include "config.h"

#include <gtest/gtest.h>

#include <functional>

namespace quenlordb {
namespace {

std::string validation_message(const Config& c) {
  auto r = c.validate();
  if (r) return "ok";
  EXPECT_EQ(r.error().kind(), ErrorKind::ConfigInvalid);
  return r.error().to_string();
}

TEST(ConfigTest, DefaultsMatchTheDocumentedValuesAndPass) {
  Config c;
  EXPECT_EQ(c.wal_fsync_every_n_records, 128u);
  EXPECT_EQ(c.memtable_max_bytes, 4194304u);
  EXPECT_EQ(c.sstable_block_bytes, 16384u);
  EXPECT_EQ(c.bloom_bits_per_key, 10u);
  EXPECT_EQ(c.shard_count, 4u);
  EXPECT_EQ(c.compaction_l0_threshold, 8u);
  EXPECT_EQ(c.compaction_target_file_bytes, 67108864u);
  EXPECT_EQ(c.block_cache_bytes, 33554432u);
  EXPECT_EQ(c.group_commit_interval_us, 1000u);
  EXPECT_FALSE(c.ai_enabled);
  EXPECT_TRUE(c.group_commit_enabled);
  EXPECT_EQ(validation_message(c), "ok");
}

TEST(ConfigTest, BoundariesOfEachRule) {
  struct Case {
    const char* name;
    std::function<void(Config&)> edit;
    const char* expected;
  };
  const Case cases[] = {
      {"fsync 0", [](Config& c) { c.wal_fsync_every_n_records = 0; }, "config error: wal_fsync_every_n_records must be > 0"},
      {"fsync 1", [](Config& c) { c.wal_fsync_every_n_records = 1; }, "ok"},
      {"memtable 1023", [](Config& c) { c.memtable_max_bytes = 1023; }, "config error: memtable_max_bytes must be >= 1024"},
      {"memtable 1024", [](Config& c) { c.memtable_max_bytes = 1024; }, "ok"},
      {"block 511", [](Config& c) { c.sstable_block_bytes = 511; }, "config error: sstable_block_bytes must be >= 512"},
      {"block 512", [](Config& c) { c.sstable_block_bytes = 512; }, "ok"},
      {"bloom 3", [](Config& c) { c.bloom_bits_per_key = 3; }, "config error: bloom_bits_per_key must be >= 4"},
      {"bloom 4", [](Config& c) { c.bloom_bits_per_key = 4; }, "ok"},
      {"shards 0", [](Config& c) { c.shard_count = 0; }, "config error: shard_count must be > 0"},
      {"shards 4096", [](Config& c) { c.shard_count = 4096; }, "ok"},
      {"shards 4097", [](Config& c) { c.shard_count = 4097; }, "config error: shard_count must be at most 4096"},
      {"shards 2^64-1", [](Config& c) { c.shard_count = UINT64_MAX; }, "config error: shard_count must be at most 4096"},
      {"l0 0", [](Config& c) { c.compaction_l0_threshold = 0; }, "config error: compaction_l0_threshold must be > 0"},
      {"levels 1", [](Config& c) { c.compaction_max_levels = 1; }, "config error: compaction_max_levels must be >= 2"},
      {"levels 2", [](Config& c) { c.compaction_max_levels = 2; }, "ok"},
      {"levels 64", [](Config& c) { c.compaction_max_levels = 64; }, "ok"},
      {"levels 65", [](Config& c) { c.compaction_max_levels = 65; }, "config error: compaction_max_levels must be at most 64"},
      {"levels 2^64-1", [](Config& c) { c.compaction_max_levels = UINT64_MAX; },
       "config error: compaction_max_levels must be at most 64"},
      {"too many shards is reported before too many levels",
       [](Config& c) {
         c.shard_count = 5000;
         c.compaction_max_levels = 100;
       },
       "config error: shard_count must be at most 4096"},
      {"unchecked fields accept 0",
       [](Config& c) {
         c.compaction_level_base_bytes = 0;
         c.compaction_level_ratio = 0;
         c.compaction_target_file_bytes = 0;
         c.block_cache_bytes = 0;
         c.index_cache_entries = 0;
         c.group_commit_interval_us = 0;
       },
       "ok"},
      {"first failure wins: shards before levels",
       [](Config& c) {
         c.shard_count = 0;
         c.compaction_max_levels = 1;
       },
       "config error: shard_count must be > 0"},
      {"everything broken reports rule 1", [](Config& c) { c = Config{0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, true}; },
       "config error: wal_fsync_every_n_records must be > 0"},
      {"ai off ignores its settings",
       [](Config& c) {
         c.ai_batch_window_ms = 0;
         c.ai_batch_max_events = 0;
       },
       "ok"},
      {"ai on, window 0",
       [](Config& c) {
         c.ai_enabled = true;
         c.ai_batch_window_ms = 0;
         c.ai_batch_max_events = 0;
       },
       "config error: ai_batch_window_ms must be > 0"},
      {"ai on, events 0",
       [](Config& c) {
         c.ai_enabled = true;
         c.ai_batch_max_events = 0;
       },
       "config error: ai_batch_max_events must be > 0"},
  };
  for (const Case& tc : cases) {
    Config c;
    tc.edit(c);
    EXPECT_EQ(validation_message(c), tc.expected) << tc.name;
  }
}

}  // namespace
}  // namespace quenlordb
