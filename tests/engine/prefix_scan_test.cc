#include "engine/prefix_scan.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <new>
#include <random>
#include <thread>

#include "engine/database.h"
#include "engine_test_util.h"
#include "storage/sstable_reader.h"
#include "support/alloc_fault.h"
#include "support/temp_dir.h"

namespace quenlordb::engine {
namespace {

using namespace std::string_literals;
using quenlordb::testing::AllocationFailure;
using quenlordb::testing::TempDir;
using testing::must;
using testing::open_db;
using testing::test_config;

constexpr std::uint64_t kForever = ~0ULL;

// How scans use threads while it lives; the default again afterwards.
class ScanThreadsSetting {
 public:
  explicit ScanThreadsSetting(ScanThreads threads) { set_scan_threads(threads); }
  ~ScanThreadsSetting() { set_scan_threads(std::nullopt); }
  ScanThreadsSetting(const ScanThreadsSetting&) = delete;
  ScanThreadsSetting& operator=(const ScanThreadsSetting&) = delete;
};
// Scans on the calling thread only, and every scan of several shards on threads, however small.
constexpr ScanThreads kNoThreads{0, 0};
constexpr ScanThreads kThreadsAlways{8, 0};

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
    const std::vector<std::string> prefixes = {"", "p", "p/", "p/1", "q", "\xff"s, "p/a", "p/a\0"s, "\0"s};

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
        // On the calling thread, and with the shards read on two threads (one of them reading two
        // shards), whatever the scan's size.
        for (const ScanThreads threads : {kNoThreads, ScanThreads{2, 0}}) {
          SCOPED_TRACE(threads.max_threads == 0 ? "no threads" : "two threads");
          const ScanThreadsSetting setting(threads);
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
    }
    EXPECT_GT(must(db->stats()).compactions, 0u);
  }
}

// An error of the visitor ends the scan with that error, after the rows before it, also when the
// shards are read on threads; rows visited under a snapshot do not see later writes.
TEST(PrefixScanTest, VisitorErrorsEndTheScan) {
  TempDir dir;
  auto db = open_db(dir.file("db"), test_config(4, true));
  for (int i = 0; i < 20; ++i) must(db->put("k/" + std::to_string(10 + i), "v" + std::to_string(i), 0, kForever));
  for (const ScanThreads threads : {kNoThreads, kThreadsAlways}) {
    const ScanThreadsSetting setting(threads);
    int calls = 0;
    Result<void> r = db->visit_prefix("k/", [&](const PrefixScanRow&) -> Result<void> {
      if (++calls == 3) return fail(QuenlorError::sql_execution("stop here"));
      return {};
    });
    ASSERT_FALSE(r);
    EXPECT_EQ(r.error().to_string(), "sql execution error: stop here");
    EXPECT_EQ(calls, 3);
  }

  // as_of 0 sees no version in any shard.
  int calls = 0;
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

// The keys of a database for the larger tests below: 16 bytes of hex, some with 0x00 bytes after
// "n/", and a few long ones.
std::string large_test_key(std::uint64_t i) {
  char hex[17];
  std::snprintf(hex, sizeof hex, "%016llx", static_cast<unsigned long long>(i * 0x9E3779B97F4A7C15ULL));
  if (i % 97 == 0) return "n/" + std::string(hex, 4) + '\0' + std::string(hex + 4, 3) + (i % 2 ? "\0"s : ""s);
  if (i % 1001 == 0) return std::string(hex) + std::string(300, 'k');
  return hex;
}

// A database of 4 shards whose keys lie in memtables and in table files, each key's versions
// spread over both, with documents from a few bytes to 100 KB: enough rows that a scan on threads
// fills many batches and its threads wait for a slow visitor.
std::map<std::string, std::string> fill_large(Database& db, int keys) {
  std::map<std::string, std::string> newest;
  std::mt19937_64 rng(5);
  for (int round = 0; round < 2; ++round) {
    for (int i = 0; i < keys; ++i) {
      if (round == 1 && i % 3 != 0) continue;
      const std::string key = large_test_key(static_cast<std::uint64_t>(i));
      const std::size_t size = i % 4999 == 0 ? 100000 : 20 + rng() % 200;
      std::string doc(size, '\0');
      for (char& ch : doc) ch = static_cast<char>('a' + rng() % 26);  // compressed little, as documents are
      std::memcpy(doc.data(), &i, sizeof i);
      must(db.put(key, doc, 0, kForever));
      newest[key] = std::move(doc);
    }
  }
  return newest;
}

Config large_test_config() {
  Config c = test_config(4, true);
  c.memtable_max_bytes = 256 << 10;
  c.sstable_block_bytes = 4096;
  c.compaction_l0_threshold = 4;
  c.compaction_level_base_bytes = 1 << 20;
  c.compaction_target_file_bytes = 512 << 10;
  return c;
}

// Scans large enough for threads by default answer as scans on the calling thread do: with
// prefixes, limits, and a visitor slow enough that the threads wait for it.
TEST(PrefixScanTest, ScansOnThreadsAnswerAsOnOneThread) {
  TempDir dir;
  auto db = open_db(dir.file("db"), large_test_config());
  const std::map<std::string, std::string> newest = fill_large(*db, 40000);
  for (const std::string& prefix : {""s, "n/"s, "a"s, "ff"s}) {
    for (const std::optional<std::uint64_t> limit : {std::optional<std::uint64_t>(), std::optional<std::uint64_t>(1),
                                                      std::optional<std::uint64_t>(7000)}) {
      SCOPED_TRACE("prefix '" + prefix + "' limit " + (limit ? std::to_string(*limit) : "none"));
      std::vector<std::pair<std::string, std::string>> expected;
      for (auto it = newest.lower_bound(prefix); it != newest.end() && it->first.starts_with(prefix); ++it) {
        if (limit && expected.size() == *limit) break;
        expected.emplace_back(it->first, it->second);
      }
      for (const ScanThreads threads : {kNoThreads, default_scan_threads(), ScanThreads{3, 0}}) {
        SCOPED_TRACE("threads " + std::to_string(threads.max_threads));
        const ScanThreadsSetting setting(threads);
        const PrefixScanRows rows = must(db->scan_prefix(prefix, std::nullopt, std::nullopt, limit));
        ASSERT_EQ(rows.size(), expected.size());
        for (std::size_t i = 0; i < rows.size(); ++i) {
          ASSERT_EQ(rows[i].key, expected[i].first) << "row " << i;
          ASSERT_EQ(rows[i].doc, expected[i].second) << "row " << i;
        }
        std::size_t at = 0;
        must(db->visit_prefix(
            prefix,
            [&](const PrefixScanRow& row) -> Result<void> {
              if (at < expected.size() && (row.key != expected[at].first || row.doc != expected[at].second))
                return fail(QuenlorError::sql_execution("row " + std::to_string(at) + " differs"));
              if (++at % 4000 == 0) std::this_thread::sleep_for(std::chrono::milliseconds(5));
              return {};
            },
            std::nullopt, std::nullopt, limit));
        EXPECT_EQ(at, expected.size());
      }
    }
  }
  // The visitor's error, while the threads wait for it, ends the scan.
  int calls = 0;
  const Result<void> r = db->visit_prefix("", [&](const PrefixScanRow&) -> Result<void> {
    if (++calls == 20000) return fail(QuenlorError::sql_execution("enough"));
    if (calls % 5000 == 0) std::this_thread::sleep_for(std::chrono::milliseconds(20));
    return {};
  });
  ASSERT_FALSE(r);
  EXPECT_EQ(r.error().to_string(), "sql execution error: enough");
  EXPECT_EQ(calls, 20000);
}

// Scans on threads while writers fill the shards, which flush and compact under them: every scan
// answers in key order, and holds every key whose put returned before the scan began.
TEST(PrefixScanTest, ScansOnThreadsWhileShardsFlushAndCompact) {
  TempDir dir;
  Config c = test_config(4, true);
  c.memtable_max_bytes = 16384;
  c.sstable_block_bytes = 1024;
  c.compaction_l0_threshold = 2;
  c.compaction_level_base_bytes = 65536;
  c.compaction_target_file_bytes = 32768;
  auto db = open_db(dir.file("db"), c);
  const ScanThreadsSetting setting(kThreadsAlways);
  constexpr int kWriters = 3;
  constexpr int kKeysEach = 1500;
  std::atomic<int> acknowledged[kWriters] = {};
  auto key_of = [](int writer, int i) {
    char key[32];
    std::snprintf(key, sizeof key, "w%d/%05d", writer, i);
    return std::string(key);
  };
  std::vector<std::thread> writers;
  for (int w = 0; w < kWriters; ++w) {
    writers.emplace_back([&, w] {
      for (int i = 0; i < kKeysEach; ++i) {
        if (!db->put(key_of(w, i), std::string(50 + i % 100, 'v'), 0, kForever)) return;
        acknowledged[w].store(i + 1, std::memory_order_release);
      }
    });
  }
  int scans = 0;
  bool done = false;
  while (!done) {
    done = true;
    int before[kWriters];
    for (int w = 0; w < kWriters; ++w) {
      before[w] = acknowledged[w].load(std::memory_order_acquire);
      done = done && before[w] == kKeysEach;
    }
    std::vector<std::string> keys;
    if (scans % 2 == 0) {
      for (const PrefixScanRow& row : must(db->scan_prefix("w"))) keys.emplace_back(row.key);
    } else {
      must(db->visit_prefix("w", [&](const PrefixScanRow& row) -> Result<void> {
        keys.emplace_back(row.key);
        return {};
      }));
    }
    ++scans;
    ASSERT_TRUE(std::is_sorted(keys.begin(), keys.end()));
    ASSERT_TRUE(std::adjacent_find(keys.begin(), keys.end()) == keys.end());
    for (int w = 0; w < kWriters; ++w) {
      for (int i = 0; i < before[w]; ++i)
        ASSERT_TRUE(std::binary_search(keys.begin(), keys.end(), key_of(w, i))) << key_of(w, i) << " scan " << scans;
    }
  }
  for (std::thread& t : writers) t.join();
  EXPECT_GT(scans, 1);
  EXPECT_GT(must(db->stats()).compactions, 0u);
}

// The threads named for scans that the process runs now.
int scan_threads_running() {
  int n = 0;
  for (const auto& task : std::filesystem::directory_iterator("/proc/self/task")) {
    std::ifstream comm(task.path() / "comm");
    std::string name;
    std::getline(comm, name);
    n += name == "quenlordb-scan";
  }
  return n;
}

// The scan threads still listed once a scan has returned. A joined thread can stay listed in
// /proc/self/task for a moment after its join returns (the kernel clears the id the join waits for
// before it removes the task), so this waits up to a second for the list to empty.
int scan_threads_left_after_return() {
  int n = scan_threads_running();
  for (int tries = 0; n > 0 && tries < 200; ++tries) {
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
    n = scan_threads_running();
  }
  return n;
}

// A small scan starts no thread, a large one does. The threads counted are those running when the
// first row is visited: a large scan's threads are then still reading, as each holds more rows than
// it may hand on before the visitor takes them.
TEST(PrefixScanTest, OnlyLargeScansStartThreads) {
  TempDir dir;
  auto db = open_db(dir.file("db"), large_test_config());
  const std::map<std::string, std::string> newest = fill_large(*db, 60000);
  auto threads_seen = [&](const std::string& prefix) {
    int seen = -1;
    std::size_t rows = 0;
    must(db->visit_prefix(prefix, [&](const PrefixScanRow&) -> Result<void> {
      if (seen < 0) seen = scan_threads_running();
      ++rows;
      return {};
    }));
    return std::pair(seen, rows);
  };
  // Some 230 rows, in memtables and files of every shard.
  const auto [small_threads, small_rows] = threads_seen(large_test_key(1).substr(0, 2));
  EXPECT_EQ(small_threads, 0);
  EXPECT_GT(small_rows, 100u);
  EXPECT_LT(small_rows, 400u);
  const auto [large_threads, large_rows] = threads_seen("");
  EXPECT_EQ(large_threads, std::min<int>(4, static_cast<int>(default_scan_threads().max_threads)));
  EXPECT_EQ(large_rows, newest.size());
  EXPECT_EQ(scan_threads_left_after_return(), 0);
}

// Damage in a table file of one shard ends a scan with the file's error, whether the shards are read
// on threads or not: a visiting scan after rows that are the scan's first ones, a limited scan all
// the same.
TEST(PrefixScanTest, DamageInOneShardEndsTheScan) {
  TempDir dir;
  const std::string root = dir.file("db");
  Config c = large_test_config();
  c.compaction_l0_threshold = 1000;  // no compaction reads the damaged file
  std::map<std::string, std::string> newest;
  {
    auto db = open_db(root, c);
    newest = fill_large(*db, 30000);
  }
  ASSERT_NO_FATAL_FAILURE(testing::damage_middle_block(root + "/shard-2"));
  auto db = open_db(root, c);
  std::vector<std::string> errors;
  for (const ScanThreads threads : {kNoThreads, kThreadsAlways}) {
    SCOPED_TRACE(threads.max_threads == 0 ? "no threads" : "threads");
    const ScanThreadsSetting setting(threads);
    const Result<PrefixScanRows> rows = db->scan_prefix("");
    ASSERT_FALSE(rows);
    errors.push_back(rows.error().to_string());
    EXPECT_TRUE(errors.back().starts_with("sstable format error: LZ4 decompress error")) << errors.back();
    const Result<PrefixScanRows> limited = db->scan_prefix("", std::nullopt, std::nullopt, 1);
    ASSERT_FALSE(limited);
    EXPECT_EQ(limited.error().to_string(), errors.back());
    auto expected = newest.begin();
    std::size_t visited_rows = 0;
    const Result<void> visited_all = db->visit_prefix("", [&](const PrefixScanRow& row) -> Result<void> {
      if (expected == newest.end() || row.key != expected->first || row.doc != expected->second)
        return fail(QuenlorError::sql_execution("row " + std::to_string(visited_rows) + " differs"));
      ++expected;
      ++visited_rows;
      return {};
    });
    ASSERT_FALSE(visited_all);
    EXPECT_EQ(visited_all.error().to_string(), errors.back());
    EXPECT_LT(visited_rows, newest.size());
  }
}

// An exception on a scan's thread (memory running out) reaches the caller once every thread of
// the scan has ended; the database goes on serving scans.
TEST(PrefixScanTest, ExceptionsOfAScanThreadReachTheCaller) {
  TempDir dir;
  auto db = open_db(dir.file("db"), large_test_config());
  const std::map<std::string, std::string> newest = fill_large(*db, 20000);
  // The injected failure takes the first large allocation of any thread: reopen, so that no flush or
  // compaction the writes started is still allocating on a shard thread.
  db.reset();
  db = open_db(dir.file("db"), large_test_config());
  const ScanThreadsSetting setting(kThreadsAlways);
  // The first piece of 60 KB or more: a visiting scan's first batch, a materialised scan's first
  // store chunk of that size; either way on a scan's thread.
  for (const bool materialise : {false, true}) {
    SCOPED_TRACE(materialise ? "materialised" : "visited");
    bool fired = false;
    bool thrown = false;
    try {
      AllocationFailure failure(1, 60 << 10);
      if (materialise) {
        (void)db->scan_prefix("");
      } else {
        (void)db->visit_prefix("", [](const PrefixScanRow&) -> Result<void> { return {}; });
      }
      fired = failure.disarm();
    } catch (const std::bad_alloc&) {
      thrown = true;
      fired = true;
    }
    EXPECT_TRUE(fired);
    EXPECT_TRUE(thrown);
    EXPECT_EQ(scan_threads_left_after_return(), 0);
    EXPECT_EQ(must(db->scan_prefix("")).size(), newest.size());
  }
}

}  // namespace
}  // namespace quenlordb::engine
