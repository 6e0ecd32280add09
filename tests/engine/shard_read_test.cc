#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <map>
#include <random>
#include <thread>

#include "engine/shard_shared.h"
#include "shard_harness.h"
#include "support/fault_hook.h"
#include "support/temp_dir.h"
#include "util/file.h"

namespace quenlordb::engine {
namespace {

using namespace std::string_literals;
using quenlordb::testing::FaultRule;
using quenlordb::testing::ScopedFaultHook;
using quenlordb::testing::TempDir;
using testing::kForever;
using testing::must;
using testing::Shard;

// Puts filler into the shard until its memtable flushes (the put that flushes is the last one).
Result<std::uint64_t> fill_until_flush(Shard& shard, std::uint64_t flushes_before, int& n) {
  Result<std::uint64_t> last = 0;
  while (shard.stats().flushes == flushes_before) {
    last = shard.put("zz-filler" + std::to_string(n++), std::string(300, 'f'));
    if (!last) return last;
  }
  return last;
}

// One key whose versions live in level 1, level 0, a frozen memtable and the active memtable; reads
// at every snapshot and valid time see the newest version that qualifies, wherever it lives.
TEST(ShardReadTest, VersionsAcrossEveryPlace) {
  TempDir dir;
  Config c;
  c.memtable_max_bytes = 2048;
  c.compaction_l0_threshold = 1;
  Shard shard(dir.path(), c);
  int n = 0;
  struct Version {
    std::uint64_t ts;
    std::uint64_t from, to;
    std::string doc;
  };
  std::vector<Version> versions;
  auto put = [&](std::uint64_t from, std::uint64_t to, std::string doc) {
    versions.push_back({must(shard.put("key", doc, from, to)), from, to, doc});
  };
  put(0, 100, "L1-a");  // compacted into level 1 by the second flush
  must(fill_until_flush(shard, 0, n));
  put(50, 200, "L1-b");
  must(fill_until_flush(shard, 1, n));
  ASSERT_EQ(shard.stats().compactions, 1u);
  put(0, 60, "L0");  // stays in level 0 (one file is not more than the threshold)
  must(fill_until_flush(shard, 2, n));
  put(100, kForever, "frozen");  // the flush of this memtable fails: it stays frozen
  {
    ScopedFaultHook hook(
        {FaultRule::fail_every({util::FileOp::Open, util::FaultPhase::Before, "/l0-"}, ENOSPC)});
    EXPECT_FALSE(fill_until_flush(shard, 3, n));
  }
  put(150, 160, "active");
  {
    auto& s = *shard.handle().shared();
    std::shared_lock a(s.levels_mu);
    ASSERT_EQ(s.levels.levels()[0].size(), 1u);
    ASSERT_EQ(s.levels.levels()[1].size(), 1u);
    std::shared_lock b(s.immutables_mu);
    ASSERT_EQ(s.immutables.size(), 1u);
  }

  const std::uint64_t last = versions.back().ts;
  for (std::uint64_t snapshot = versions.front().ts - 1; snapshot <= last + 1; ++snapshot) {
    for (std::optional<std::uint64_t> t : {std::optional<std::uint64_t>{}, std::optional<std::uint64_t>{0},
                                           std::optional<std::uint64_t>{55}, std::optional<std::uint64_t>{99},
                                           std::optional<std::uint64_t>{155}, std::optional<std::uint64_t>{170}}) {
      std::optional<std::string> expected;
      for (const Version& v : versions) {
        if (v.ts <= snapshot && (!t || (v.from <= *t && *t < v.to))) expected = v.doc;
      }
      EXPECT_EQ(must(shard.handle().get("key", snapshot, t)).value, expected)
          << "snapshot " << snapshot << " valid_at " << (t ? std::to_string(*t) : "none");
      auto rows = must(shard.handle().scan_prefix("key", snapshot, t, std::nullopt));
      EXPECT_EQ(rows.empty() ? std::nullopt : std::optional<std::string>(rows[0].doc), expected);
    }
  }
}

TEST(ShardReadTest, ExplainFieldsAndCounters) {
  TempDir dir;
  Config c;
  c.memtable_max_bytes = 1024;
  Shard shard(dir.path(), c);
  ShardGetResult none = must(shard.handle().get("a", std::nullopt, std::nullopt));
  EXPECT_EQ(none.bloom_hit, std::nullopt);
  EXPECT_EQ(none.sstable_block, std::nullopt);

  must(shard.put("a", "doc-a"));
  int n = 0;
  must(fill_until_flush(shard, 0, n));  // l0-1 holds "a"
  must(fill_until_flush(shard, 1, n));  // l0-2 does not
  auto& s = *shard.handle().shared();
  const std::uint64_t reads = s.reads.load();

  // The first file probed is the last one of level 0 (l0-2): it does not hold "a".
  ShardGetResult r = must(shard.handle().get("a", std::nullopt, std::nullopt));
  EXPECT_EQ(r.value, "doc-a");
  EXPECT_EQ(r.commit_ts_used, s.committed_ts.load());
  ASSERT_TRUE(r.bloom_hit.has_value());
  EXPECT_EQ(s.reads.load(), reads + 1);
  // Over both files: one probe examined a block for "a" (l0-1), the other was stopped by its bloom
  // filter or examined one as well.
  EXPECT_EQ(s.bloom_negatives.load() + s.block_reads.load(), 2u);
  if (*r.bloom_hit) {
    EXPECT_TRUE(r.sstable_block.has_value());
  } else {
    EXPECT_EQ(r.sstable_block, std::nullopt);
  }

  // A filler key held by l0-2: its first probe reads a block.
  ShardGetResult f = must(shard.handle().get("zz-filler" + std::to_string(n - 1), std::nullopt, std::nullopt));
  ASSERT_TRUE(f.value.has_value());
  EXPECT_EQ(f.bloom_hit, true);
  EXPECT_TRUE(f.sstable_block.has_value());

  EXPECT_TRUE(must(shard.handle().scan_prefix("", std::nullopt, std::nullopt, 0)).empty());
  EXPECT_EQ(s.reads.load(), reads + 2);  // a scan with limit 0 counts nothing
}

TEST(ShardReadTest, PrefixScans) {
  TempDir dir;
  Config c;
  c.memtable_max_bytes = 1024;
  Shard shard(dir.path(), c);
  const std::vector<std::string> keys = {"a",      "a\0"s,  "a\0b"s, "ab",    "abc", "b",
                                         "\xff"s, "\xff\xff"s, "\xff\xff\x01"s, "__ai/x", "__meta/t", ""};
  for (const std::string& k : keys) must(shard.put(k, "v:" + k));
  must(shard.put("ab", ""));  // a deleted row: present with an empty document
  int n = 0;
  must(fill_until_flush(shard, 0, n));   // half of it in a table file now
  must(shard.put("abc", "newer"));       // and a newer version in the memtable

  auto scan = [&](const std::string& prefix, std::optional<std::uint64_t> limit = std::nullopt) {
    std::vector<std::pair<std::string, std::string>> out;
    for (const auto& row : must(shard.handle().scan_prefix(prefix, std::nullopt, std::nullopt, limit)))
      if (!row.key.starts_with("zz-filler")) out.emplace_back(row.key, row.doc);
    return out;
  };
  using Rows = std::vector<std::pair<std::string, std::string>>;
  EXPECT_EQ(scan("a"), (Rows{{"a", "v:a"}, {"a\0"s, "v:a\0"s}, {"a\0b"s, "v:a\0b"s}, {"ab", ""}, {"abc", "newer"}}));
  EXPECT_EQ(scan("a\0"s), (Rows{{"a\0"s, "v:a\0"s}, {"a\0b"s, "v:a\0b"s}}));
  EXPECT_EQ(scan("\xff\xff"s), (Rows{{"\xff\xff"s, "v:\xff\xff"s}, {"\xff\xff\x01"s, "v:\xff\xff\x01"s}}));
  EXPECT_EQ(scan("a", 2), (Rows{{"a", "v:a"}, {"a\0"s, "v:a\0"s}}));
  EXPECT_EQ(scan("", 1), (Rows{{"", "v:"}}));
  Rows all = scan("");
  EXPECT_EQ(all.size(), keys.size());
  EXPECT_EQ(all[1].first, "__ai/x");
}

// Readers run while writes flush and compact all the time: a key once seen never vanishes or goes
// back to an older value, and after a clean restart every acknowledged write is readable at its own
// commit timestamp.
TEST(ShardReadTest, StressReadersDuringFlushesAndCompactions) {
  TempDir dir;
  Config c;
  c.memtable_max_bytes = 1024;
  c.compaction_l0_threshold = 1;
  c.compaction_level_base_bytes = 4096;
  c.compaction_target_file_bytes = 2048;
  constexpr int kKeys = 40;
  constexpr int kWrites = 1500;
  std::vector<std::pair<int, std::uint64_t>> acked;  // (key, ts) of write i, value = i
  {
    Shard shard(dir.path(), c);
    std::atomic<bool> done{false};
    std::atomic<int> failures{0};
    std::vector<std::thread> readers;
    for (int r = 0; r < 3; ++r) {
      readers.emplace_back([&, r] {
        std::vector<int> seen(kKeys, -1);
        while (!done.load()) {
          for (int k = r; k < kKeys; k += 3) {
            auto got = shard.handle().get("key" + std::to_string(k), std::nullopt, std::nullopt);
            if (!got) {
              ++failures;
              continue;
            }
            if (!got->value) {
              if (seen[k] >= 0) ++failures;  // vanished
              continue;
            }
            const int value = std::stoi(*got->value);
            if (value < seen[k]) ++failures;  // went back
            seen[k] = value;
          }
        }
      });
    }
    for (int i = 0; i < kWrites; ++i) {
      const int key = (i * 7) % kKeys;
      auto ts = shard.put("key" + std::to_string(key), std::to_string(i) + std::string(40, ' '));
      ASSERT_TRUE(ts) << ts.error().to_string();
      acked.emplace_back(key, *ts);
    }
    done = true;
    for (auto& t : readers) t.join();
    EXPECT_EQ(failures.load(), 0);
    EXPECT_GT(shard.stats().compactions, 3u);
  }
  Shard shard(dir.path(), c);
  for (int i = 0; i < kWrites; ++i) {
    auto got = shard.get("key" + std::to_string(acked[i].first), acked[i].second);
    ASSERT_TRUE(got) << i;
    EXPECT_EQ(std::stoi(*got), i);
  }
}

}  // namespace
}  // namespace quenlordb::engine
