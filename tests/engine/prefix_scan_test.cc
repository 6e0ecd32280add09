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

// Scans across shards against the rule, while versions of the same keys spread over memtables,
// level-0 files and deeper levels with blocks of a few entries, at every kind of snapshot, valid
// time, prefix and limit. With keys that hold 0x00 bytes the walks' order breaks and the scan takes
// its sorting path; both must give the same answers.
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
    if (nul_keys) keys.insert(keys.end(), {"p/a"s, "p/a\0"s, "p/a\0\0"s, "p/a\0b"s, "\0"s});
    const std::vector<std::string> prefixes = {"", "p/", "p/1", "\xff"s, "p/a"};

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
        EXPECT_EQ(must(db->scan_prefix(prefix, as_of, valid_at, limit)),
                  expected_scan(model, prefix, as_of, valid_at, limit));
      }
    }
    EXPECT_GT(must(db->stats()).compactions, 0u);
  }
}

}  // namespace
}  // namespace quenlordb::engine
