#include "engine/prefix_scan.h"

#include <gtest/gtest.h>

#include <map>
#include <random>

#include "engine/database.h"
#include "engine_test_util.h"
#include "support/temp_dir.h"

namespace quenlordb::engine {
namespace {

using namespace std::string_literals;
using quenlordb::testing::TempDir;
using testing::must;
using testing::open_db;
using testing::test_config;

constexpr std::uint64_t kForever = ~0ULL;

struct Version {
  std::uint64_t ts;
  std::uint64_t from;
  std::uint64_t to;
  std::string doc;
};

// What a scan must answer, straight from the rule: per key under the prefix, of the versions at or
// below as_of that are valid at valid_at, the newest; in key order; at most limit.
std::vector<PrefixScanRow> expected_scan(const std::map<std::string, std::vector<Version>>& model,
                                         const std::string& prefix, std::optional<std::uint64_t> as_of,
                                         std::optional<std::uint64_t> valid_at, std::optional<std::uint64_t> limit) {
  std::vector<PrefixScanRow> rows;
  for (const auto& [key, versions] : model) {
    if (!key.starts_with(prefix) || (limit && rows.size() == *limit)) continue;
    const Version* best = nullptr;
    for (const Version& v : versions) {
      if (as_of && v.ts > *as_of) continue;
      if (valid_at && !(v.from <= *valid_at && *valid_at < v.to)) continue;
      if (best == nullptr || v.ts > best->ts) best = &v;
    }
    if (best != nullptr) rows.push_back({key, best->doc, best->ts});
  }
  return rows;
}

// The rows a visiting scan hands over, copied during each call (the views live no longer).
std::vector<std::pair<std::string, PrefixScanRow>> visited(Database& db, const std::string& prefix,
                                                            std::optional<std::uint64_t> as_of,
                                                            std::optional<std::uint64_t> valid_at,
                                                            std::optional<std::uint64_t> limit) {
  std::vector<std::pair<std::string, PrefixScanRow>> out;
  must(db.visit_prefix(
      prefix,
      [&](const PrefixScanRow& row) -> Result<void> {
        out.emplace_back(std::string(row.key) + '|' + std::string(row.doc), row);
        return {};
      },
      as_of, valid_at, limit));
  return out;
}

// Scans across shards against the rule, while versions of the same keys spread over memtables,
// level-0 files and deeper levels with blocks of a few entries (so that a key's versions straddle
// blocks), at every kind of snapshot, valid time, prefix and limit; both the materialised scan and
// the visiting one. With keys that hold 0x00 bytes the walks' internal-key order differs from the
// user-key order of the answer.
TEST(PrefixScanTest, MatchesTheRuleWhereverVersionsLive) {
  for (const bool nul_keys : {false, true}) {
    SCOPED_TRACE(nul_keys ? "keys with 0x00 bytes" : "plain keys");
    TempDir dir;
    Config c = test_config(3, true);
    c.memtable_max_bytes = 4096;
    c.sstable_block_bytes = 512;
    c.compaction_l0_threshold = 2;
    c.compaction_level_base_bytes = 16384;
    c.compaction_target_file_bytes = 8192;
    auto db = open_db(dir.file("db"), c);

    std::mt19937_64 rng(nul_keys ? 11 : 7);
    std::vector<std::string> keys;
    for (int i = 0; i < 40; ++i) keys.push_back("p/" + std::to_string(rng() % 100000));
    keys.insert(keys.end(), {"", "p", "p/", "q", "\xff"s, "\xff\xff\x01"s});
    if (nul_keys) {
      keys.insert(keys.end(), {"p/a"s, "p/a\0"s, "p/a\0\0"s, "p/a\0\0\0"s, "p/a\0\x01"s, "p/a\0b"s, "p/a\0b\0"s,
                               "p/\0"s, "p/\0a"s, "p\0"s, "\0"s, "\0\0"s});
      for (int i = 0; i < 10; ++i) keys.push_back("p/" + std::to_string(rng() % 100) + '\0' + std::to_string(i));
    }
    const std::vector<std::string> prefixes = {"", "p/", "p/1", "\xff"s, "p/a", "p/a\0"s, "\0"s};

    std::map<std::string, std::vector<Version>> model;
    std::uint64_t max_ts = 0;
    for (int step = 0; step < 1500; ++step) {
      const std::string& key = keys[rng() % keys.size()];
      const std::uint64_t from = rng() % 3 == 0 ? rng() % 50 : 0;
      const std::uint64_t to = rng() % 3 == 0 ? from + 1 + rng() % 50 : kForever;
      // Documents long enough to need a two-byte length now and then.
      const std::string doc = std::to_string(step) + std::string(rng() % 4 == 0 ? 150 : rng() % 40, 'd');
      const std::uint64_t ts = must(db->put(key, doc, from, to));
      model[key].push_back({ts, from, to, doc});
      max_ts = std::max(max_ts, ts);

      if (step % 50 != 49) continue;
      for (int q = 0; q < 6; ++q) {
        const std::string& prefix = prefixes[rng() % prefixes.size()];
        const std::optional<std::uint64_t> as_of =
            rng() % 2 ? std::nullopt : std::optional<std::uint64_t>(rng() % (max_ts + 2));
        const std::optional<std::uint64_t> valid_at =
            rng() % 2 ? std::nullopt : std::optional<std::uint64_t>(rng() % 110);
        const std::optional<std::uint64_t> limit =
            rng() % 3 ? std::nullopt : std::optional<std::uint64_t>(rng() % 6);
        SCOPED_TRACE("step " + std::to_string(step) + " prefix '" + prefix + "'");
        const std::vector<PrefixScanRow> expected = expected_scan(model, prefix, as_of, valid_at, limit);
        const PrefixScanRows rows = must(db->scan_prefix(prefix, as_of, valid_at, limit));
        EXPECT_EQ(std::vector<PrefixScanRow>(rows.begin(), rows.end()), expected);
        const auto seen = visited(*db, prefix, as_of, valid_at, limit);
        ASSERT_EQ(seen.size(), expected.size());
        for (std::size_t i = 0; i < seen.size(); ++i) {
          EXPECT_EQ(seen[i].first, std::string(expected[i].key) + '|' + std::string(expected[i].doc)) << "row " << i;
          EXPECT_EQ(seen[i].second.commit_ts, expected[i].commit_ts) << "row " << i;
        }
      }
    }
    EXPECT_GT(must(db->stats()).compactions, 0u);
  }
}

// An error of the visitor ends the scan with that error, after the rows before it; rows visited
// under a snapshot do not see later writes.
TEST(PrefixScanTest, VisitorErrorsEndTheScan) {
  TempDir dir;
  auto db = open_db(dir.file("db"), test_config(4, true));
  for (int i = 0; i < 20; ++i) must(db->put("k/" + std::to_string(10 + i), "v" + std::to_string(i), 0, kForever));
  int calls = 0;
  Result<void> r = db->visit_prefix("k/", [&](const PrefixScanRow&) -> Result<void> {
    if (++calls == 3) return fail(QuenlorError::sql_execution("stop here"));
    return {};
  });
  ASSERT_FALSE(r);
  EXPECT_EQ(r.error().to_string(), "sql execution error: stop here");
  EXPECT_EQ(calls, 3);

  // as_of 0 sees no version in any shard.
  calls = 0;
  must(db->visit_prefix("k/", [&](const PrefixScanRow&) -> Result<void> {
    ++calls;
    return {};
  }, 0));
  EXPECT_EQ(calls, 0);
}

// The rows of a materialised scan own their bytes: they outlive the database and survive moves.
TEST(PrefixScanTest, RowsOwnTheirBytes) {
  TempDir dir;
  PrefixScanRows kept;
  std::vector<std::pair<std::string, std::string>> expected;
  {
    Config c = test_config(2, true);
    c.memtable_max_bytes = 1 << 20;
    auto db = open_db(dir.file("db"), c);
    // Enough rows that the result's bytes and rows outgrow the heap pieces, in memtables and files.
    for (int i = 0; i < 30000; ++i) {
      const std::string key = "r/" + std::to_string(100000 + i);
      const std::string doc = std::string(90 + i % 50, static_cast<char>('a' + i % 26));
      must(db->put(key, doc, 0, kForever));
      expected.emplace_back(key, doc);
    }
    PrefixScanRows rows = must(db->scan_prefix("r/"));
    kept = std::move(rows);
  }
  ASSERT_EQ(kept.size(), expected.size());
  for (std::size_t i = 0; i < kept.size(); ++i) {
    ASSERT_EQ(kept[i].key, expected[i].first);
    ASSERT_EQ(kept[i].doc, expected[i].second);
  }
}

}  // namespace
}  // namespace quenlordb::engine
