#include "engine/database.h"

#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <regex>
#include <set>
#include <thread>

#include "engine_test_util.h"
#include "hasher.h"
#include "storage/sstable_reader.h"
#include "support/alloc_fault.h"
#include "support/fault_hook.h"
#include "support/temp_dir.h"
#include "util/file.h"

namespace quenlordb::engine {
namespace {

using namespace std::string_literals;
using quenlordb::testing::AllocationFailure;
using quenlordb::testing::FaultRule;
using quenlordb::testing::ScopedFaultHook;
using quenlordb::testing::TempDir;
using testing::must;
using testing::open_db;
using testing::test_config;

constexpr std::uint64_t kForever = ~0ULL;

TEST(DatabaseTest, InvalidConfigLeavesNoDirectory) {
  TempDir dir;
  Config c = test_config();
  c.shard_count = 0;
  auto r = Database::open(dir.file("db"), c);
  ASSERT_FALSE(r);
  EXPECT_EQ(r.error().to_string(), "config error: shard_count must be > 0");
  EXPECT_FALSE(std::filesystem::exists(dir.file("db")));
}

TEST(DatabaseTest, ReopenWithAnotherShardCountFails) {
  TempDir dir;
  open_db(dir.file("db"), test_config(4)).reset();
  auto r = Database::open(dir.file("db"), test_config(2));
  ASSERT_FALSE(r);
  EXPECT_EQ(r.error().to_string(), "manifest format error: manifest shard count 4 != config shard count 2");
  // The failed open left nothing running; the right count still opens.
  open_db(dir.file("db"), test_config(4));
}

TEST(DatabaseTest, SecondOpenOfOneDirectoryIsRefused) {
  TempDir dir;
  auto db = open_db(dir.file("db"), test_config());
  auto r = Database::open(dir.file("db"), test_config());
  ASSERT_FALSE(r);
  EXPECT_EQ(r.error().kind(), ErrorKind::Io);
  EXPECT_NE(r.error().to_string().find("in use by another open database"), std::string::npos);
  db.reset();
  open_db(dir.file("db"), test_config());
}

// Names of this process's threads that belong to the engine.
std::vector<std::string> engine_threads() {
  std::vector<std::string> names;
  for (const auto& task : std::filesystem::directory_iterator("/proc/self/task")) {
    std::ifstream in(task.path() / "comm");
    std::string name;
    std::getline(in, name);
    if (name.starts_with("quenlordb")) names.push_back(name);
  }
  return names;
}

TEST(DatabaseTest, FailedOpenStopsEveryThreadItStartedAndReleasesTheDirectory) {
  for (bool group_commit : {false, true}) {
    SCOPED_TRACE(group_commit ? "group commit" : "shard threads only");
    TempDir dir;
    Result<std::unique_ptr<Database>> r = fail(QuenlorError::not_found());
    {
      // Shards 0 to 2 are running by the time shard 3's log is looked at.
      ScopedFaultHook hook(
          {FaultRule::fail_every({util::FileOp::Stat, util::FaultPhase::Before, "shard-3.wal"}, EACCES)});
      r = Database::open(dir.file("db"), test_config(4, group_commit));
    }
    ASSERT_FALSE(r);
    EXPECT_EQ(r.error().os_error(), EACCES);
    EXPECT_TRUE(engine_threads().empty());
    auto db = open_db(dir.file("db"), test_config(4, group_commit));
    must(db->put("k", "v", 0, kForever));
    EXPECT_EQ(must(db->get("k")), "v");
  }
}

TEST(DatabaseTest, PutGetTimeTravel) {
  for (bool group_commit : {false, true}) {
    TempDir dir;
    auto db = open_db(dir.file("db"), test_config(2, group_commit));
    const std::uint64_t t1 = must(db->put("k", "v1", 0, 100));
    const std::uint64_t t2 = must(db->put("k", "v2", 50, kForever));
    EXPECT_LT(t1, t2);
    EXPECT_EQ(must(db->get("k")), "v2");
    EXPECT_EQ(must(db->get("k", t1)), "v1");
    EXPECT_EQ(must(db->get("k", t1 - 1)), std::nullopt);
    EXPECT_EQ(must(db->get("k", std::nullopt, 10)), "v1");    // v2 not valid yet at 10
    EXPECT_EQ(must(db->get("k", std::nullopt, 100)), "v2");
    EXPECT_EQ(must(db->get("k", t1, 100)), std::nullopt);     // v1 ended at 100
    EXPECT_EQ(must(db->get("missing")), std::nullopt);
    must(db->put("empty", "", 0, kForever));
    EXPECT_EQ(must(db->get("empty")), "");
  }
}

TEST(DatabaseTest, ExplainGetReportsTheRoutedShard) {
  TempDir dir;
  auto db = open_db(dir.file("db"), test_config(4));
  for (const std::string key : {"a", "b", "user:17", ""}) {
    GetExplain e = must(db->explain_get(key));
    EXPECT_EQ(e.shard_id, FnvMixHasher::hash(key) % 4) << key;
    EXPECT_EQ(e.sstable_block, std::nullopt);
    EXPECT_EQ(e.bloom_hit, std::nullopt);
  }
}

TEST(DatabaseTest, ScanPrefixAcrossShardsHonoursTheLimit) {
  TempDir dir;
  auto db = open_db(dir.file("db"), test_config(4, true));
  std::set<std::string> keys;
  for (int i = 0; i < 40; ++i) {
    std::string k = "row/" + std::to_string(1000 + i * 7 % 40);
    keys.insert(k);
    must(db->put(k, "d" + k, 0, kForever));
  }
  must(db->put("other", "x", 0, kForever));
  auto rows = must(db->scan_prefix("row/", std::nullopt, std::nullopt, 3));
  ASSERT_EQ(rows.size(), 3u);
  auto it = keys.begin();
  for (const PrefixScanRow& row : rows) {
    EXPECT_EQ(row.key, *it++);
    EXPECT_EQ(row.doc, "d" + std::string(row.key));
  }
  EXPECT_EQ(must(db->scan_prefix("row/")).size(), 40u);
  EXPECT_EQ(must(db->scan_prefix("")).size(), 41u);
  EXPECT_TRUE(must(db->scan_prefix("row/", std::nullopt, std::nullopt, 0)).empty());
}

TEST(DatabaseTest, StatsCountShardThreadWritesOnly) {
  TempDir dir;
  {
    auto db = open_db(dir.file("db"), test_config(2, true));
    EXPECT_EQ(must(db->stats()), (DbStats{2, 0, 0, 0, 0, 0, 0}));
    for (int i = 0; i < 5; ++i) must(db->put("k" + std::to_string(i), "v", 0, kForever));
    EXPECT_EQ(must(db->stats()).writes, 0u);
    must(db->get("k1"));
    EXPECT_EQ(must(db->stats()).reads, 1u);
  }
  auto db = open_db(dir.file("db"), test_config(2, false));
  for (int i = 0; i < 5; ++i) must(db->put("k" + std::to_string(i), "v", 0, kForever));
  EXPECT_EQ(must(db->stats()).writes, 5u);
}

// The directory is named by its canonical absolute path from the open on: a later change of the
// working directory changes nothing.
TEST(DatabaseTest, RelativePathIsResolvedOnceAtOpen) {
  TempDir dir;
  std::filesystem::create_directory(dir.file("real"));
  std::filesystem::create_directory_symlink(dir.file("real"), dir.file("link"));
  const std::filesystem::path before = std::filesystem::current_path();
  std::filesystem::current_path(dir.path());
  Config c = test_config(1);
  c.memtable_max_bytes = 4096;
  auto db = open_db("link/./db", c);
  std::filesystem::current_path(dir.file("real"));  // "link/./db" would now name nothing
  EXPECT_EQ(db->path(), must(util::canonical_path(dir.file("real/db"))));
  for (int i = 0; i < 200; ++i) must(db->put("k" + std::to_string(i), std::string(100, 'v'), 0, kForever));
  EXPECT_GT(must(db->stats()).flushes, 0u);
  db.reset();
  std::filesystem::current_path(before);
  db = open_db(dir.file("real/db"), c);
  for (int i = 0; i < 200; ++i) EXPECT_EQ(must(db->get("k" + std::to_string(i))), std::string(100, 'v'));
}

// A put's key is at most 65,536 bytes; a longer one fails before anything is written.
TEST(DatabaseTest, KeyLongerThanTheLimitIsRefused) {
  for (const bool group_commit : {false, true}) {
    TempDir dir;
    auto db = open_db(dir.file("db"), test_config(2, group_commit));
    const std::string longest(kMaxKeyBytes, 'k'), over(kMaxKeyBytes + 1, 'k');
    must(db->put(longest, "v", 0, kForever));
    auto r = db->put(over, "v", 0, kForever);
    ASSERT_FALSE(r);
    EXPECT_EQ(r.error().to_string(), "io error: key is too long (65537 bytes; at most 65536)");
    EXPECT_EQ(must(db->get(over)), std::nullopt);
    EXPECT_EQ(must(db->get(longest)), "v");
    EXPECT_EQ(must(db->scan_prefix("k")).size(), 1u);
  }
}

TEST(DatabaseTest, DropAndReopenKeepsEveryAcknowledgedWrite) {
  struct Case {
    bool group_commit;
    std::uint64_t interval_us;
    std::uint64_t memtable_bytes;
  };
  const Case cases[] = {{false, 1000, 4194304}, {true, 1000, 4194304}, {true, 10'000'000, 4194304}, {true, 1000, 4096},
                        {false, 1000, 4096}};
  for (const Case& tc : cases) {
    TempDir dir;
    Config c = test_config(3, tc.group_commit);
    c.group_commit_interval_us = tc.interval_us;
    c.memtable_max_bytes = tc.memtable_bytes;
    c.compaction_l0_threshold = 2;
    std::vector<std::pair<std::string, std::uint64_t>> written;
    {
      auto db = open_db(dir.file("db"), c);
      for (int i = 0; i < 500; ++i) {
        std::string key = "key" + std::to_string(i % 180);
        written.emplace_back(key, must(db->put(key, "doc" + std::to_string(i), 0, kForever)));
      }
    }
    auto db = open_db(dir.file("db"), c);
    for (std::size_t i = 0; i < written.size(); ++i) {
      EXPECT_EQ(must(db->get(written[i].first, written[i].second)), "doc" + std::to_string(i))
          << "group commit " << tc.group_commit << " memtable " << tc.memtable_bytes;
    }
    // New writes resume above every stored timestamp.
    const std::uint64_t next = must(db->put("key0", "after", 0, kForever));
    for (const auto& [key, ts] : written) {
      if (FnvMixHasher::hash(key) % 3 == FnvMixHasher::hash("key0") % 3) {
        EXPECT_GT(next, ts);
      }
    }
  }
}

// ---- damaged manifests ----

std::string read_text(const std::string& path) { return util::read_file(path).value(); }

void write_text(const std::string& path, const std::string& text) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << text;
}

// Replaces the first match of `pattern` in the manifest of the database at root.
void damage_manifest(const std::string& root, const std::string& pattern, const std::string& replacement) {
  const std::string path = root + "/MANIFEST.json";
  const std::string text = read_text(path);
  const std::string damaged = std::regex_replace(text, std::regex(pattern), replacement,
                                                 std::regex_constants::format_first_only);
  ASSERT_NE(damaged, text) << pattern;
  write_text(path, damaged);
}

// Puts until the shard thread has flushed `flushes` times; the written keys and documents.
std::vector<std::pair<std::string, std::string>> write_until_flushed(Database& db, std::uint64_t flushes,
                                                                     const std::string& tag) {
  std::vector<std::pair<std::string, std::string>> written;
  while (must(db.stats()).flushes < flushes) {
    std::string key = tag + std::to_string(written.size());
    must(db.put(key, std::string(200, 'v') + key, 0, kForever));
    written.emplace_back(key, std::string(200, 'v') + key);
  }
  return written;
}

TEST(DatabaseTest, FileCounterSetBackNeverRewritesALiveTable) {
  TempDir dir;
  Config c = test_config(1);
  c.memtable_max_bytes = 4096;
  std::vector<std::pair<std::string, std::string>> written;
  {
    auto db = open_db(dir.file("db"), c);
    written = write_until_flushed(*db, 2, "first");
  }
  damage_manifest(dir.file("db"), R"("next_file_id": \d+)", R"("next_file_id": 1)");
  const std::string live = read_text(dir.file("db/shard-0/l0-1.sst"));

  auto db = open_db(dir.file("db"), c);
  for (auto& kv : write_until_flushed(*db, 2, "second")) written.push_back(std::move(kv));
  EXPECT_EQ(read_text(dir.file("db/shard-0/l0-1.sst")), live);
  for (const auto& [key, doc] : written) EXPECT_EQ(must(db->get(key)), doc) << key;
}

// How batches of point reads use threads while it lives; the default again afterwards.
class BatchReadThreadsSetting {
 public:
  explicit BatchReadThreadsSetting(BatchReadThreads threads) { set_batch_read_threads(threads); }
  ~BatchReadThreadsSetting() { set_batch_read_threads(std::nullopt); }
  BatchReadThreadsSetting(const BatchReadThreadsSetting&) = delete;
  BatchReadThreadsSetting& operator=(const BatchReadThreadsSetting&) = delete;
};
// On the calling thread only; on eight threads from runs of one key; on three threads from runs of
// sixteen keys, in more than one round.
constexpr BatchReadThreads kBatchReadSettings[] = {{0, 0}, {8, 1}, {3, 16}};

// visit_get_many gives each key what get gives it: versions in table files and in the memtable,
// replaced across flushes, ended or not yet valid, empty documents, absent keys, keys repeated and
// out of order, more keys than the reads take at once, at several snapshots and valid times; on
// the calling thread and on threads. A document kept by its pin stays as it was read while the
// batch goes on to other blocks, also without a block cache, where every block read is one the
// reading thread reuses once it is let go.
TEST(DatabaseTest, VisitGetManyGivesEachKeyWhatGetGives) {
  for (const std::uint64_t cache_bytes : {Config().block_cache_bytes, std::uint64_t{0}}) {
    SCOPED_TRACE("block cache " + std::to_string(cache_bytes));
    TempDir dir;
    Config c = test_config(4);
    c.memtable_max_bytes = 4096;
    c.sstable_block_bytes = 512;
    c.block_cache_bytes = cache_bytes;
    auto db = open_db(dir.file("db"), c);
    for (std::uint64_t round = 0; round < 3; ++round) {
      for (int i = 0; i < 150; ++i) {
        if ((i + round) % 3 == 0) continue;
        const std::string key = "k" + std::to_string(i);
        const std::string doc =
            round == 2 && i % 10 == 1 ? "" : key + "@" + std::to_string(round) + std::string(40, 'x');
        must(db->put(key, doc, round * 10, i % 7 == 0 ? round * 10 + 5 : kForever));
      }
    }
    ASSERT_GT(must(db->stats()).flushes, 0u);
    std::vector<std::string> names;
    for (int i = 159; i >= 0; --i) names.push_back("k" + std::to_string(i));
    for (const char* extra : {"k3", "k150", "", "k3", "missing"}) names.push_back(extra);
    const std::vector<std::string_view> keys(names.begin(), names.end());
    for (const BatchReadThreads threads : kBatchReadSettings) {
      SCOPED_TRACE("threads " + std::to_string(threads.max_threads));
      const BatchReadThreadsSetting setting(threads);
      std::size_t pinned = 0;
      std::size_t copied = 0;
      for (const std::optional<std::uint64_t> as_of :
           {std::optional<std::uint64_t>(), std::optional<std::uint64_t>(40)}) {
        for (const std::optional<std::uint64_t> valid_at :
             {std::optional<std::uint64_t>(), std::optional<std::uint64_t>(3), std::optional<std::uint64_t>(17),
              std::optional<std::uint64_t>(25)}) {
          // A pinned document is kept as its view, any other copied.
          std::vector<std::optional<std::string_view>> got(keys.size());
          std::vector<std::shared_ptr<const void>> pins;
          std::vector<std::unique_ptr<std::string>> copies;
          must(db->visit_get_many(
              keys,
              [&](std::size_t i, const BatchDoc& doc) -> Result<void> {
                EXPECT_FALSE(got[i].has_value()) << keys[i];
                if (std::shared_ptr<const void> pin = doc.pin()) {
                  EXPECT_GT(doc.pinned_bytes(), doc.doc().size());
                  pins.push_back(std::move(pin));
                  got[i] = doc.doc();
                  ++pinned;
                } else {
                  copies.push_back(std::make_unique<std::string>(doc.doc()));
                  got[i] = *copies.back();
                  ++copied;
                }
                return {};
              },
              as_of, valid_at));
          for (std::size_t i = 0; i < keys.size(); ++i) {
            const std::optional<std::string> want = must(db->get(keys[i], as_of, valid_at));
            EXPECT_EQ(got[i].has_value(), want.has_value()) << keys[i];
            if (got[i] && want) {
              EXPECT_EQ(*got[i], *want) << keys[i];
            }
          }
        }
      }
      EXPECT_GT(pinned, 0u);
      EXPECT_GT(copied, 0u);
      // The skip hint is asked once about each key that has a version, and the keys it answers
      // true for are not visited.
      std::vector<std::atomic<int>> asked(keys.size());
      auto odd = [&](std::size_t i, std::string_view) {
        asked[i].fetch_add(1);
        return i % 2 == 1;
      };
      const BatchReadSkip skip = odd;
      std::vector<int> visited(keys.size(), 0);
      must(db->visit_get_many(
          keys,
          [&](std::size_t i, const BatchDoc&) -> Result<void> {
            ++visited[i];
            return {};
          },
          std::nullopt, std::nullopt, &skip));
      for (std::size_t i = 0; i < keys.size(); ++i) {
        const int has = must(db->get(keys[i])).has_value() ? 1 : 0;
        EXPECT_EQ(asked[i].load(), has) << keys[i];
        EXPECT_EQ(visited[i], i % 2 == 1 ? 0 : has) << keys[i];
      }
      // An error of visit ends the reads and is their result.
      int visits = 0;
      const Result<void> stopped = db->visit_get_many(keys, [&](std::size_t, const BatchDoc&) -> Result<void> {
        if (++visits == 3) return fail(QuenlorError::not_found());
        return {};
      });
      ASSERT_FALSE(stopped.has_value());
      EXPECT_EQ(stopped.error().to_string(), QuenlorError::not_found().to_string());
      EXPECT_EQ(visits, 3);
    }
  }
}

// A batch read on threads ends as one on the calling thread does: damage in a table file of one
// shard is its error after the same visits, and an allocation that fails on a thread reaches the
// caller, every thread joined.
TEST(DatabaseTest, VisitGetManyOnThreadsFailsAsOnOneThread) {
  TempDir dir;
  const std::string root = dir.file("db");
  Config c = test_config(4);
  c.memtable_max_bytes = 64 << 10;
  c.sstable_block_bytes = 1024;
  c.compaction_l0_threshold = 1000;  // no compaction reads the damaged file
  std::vector<std::string> names;
  {
    auto db = open_db(root, c);
    for (int i = 0; i < 3000; ++i) {
      names.push_back("k" + std::to_string(100000 + i));
      must(db->put(names.back(), std::string(100 + i % 50, static_cast<char>('a' + i % 26)), 0, kForever));
    }
  }
  ASSERT_NO_FATAL_FAILURE(testing::damage_middle_block(root + "/shard-2"));
  auto db = open_db(root, c);
  const std::vector<std::string_view> keys(names.begin(), names.end());
  std::vector<std::pair<std::vector<std::size_t>, std::string>> outcomes;
  for (const BatchReadThreads threads : kBatchReadSettings) {
    const BatchReadThreadsSetting setting(threads);
    std::vector<std::size_t> visited;
    const Result<void> read = db->visit_get_many(keys, [&](std::size_t i, const BatchDoc&) -> Result<void> {
      visited.push_back(i);
      return {};
    });
    ASSERT_FALSE(read);
    outcomes.emplace_back(std::move(visited), read.error().to_string());
  }
  EXPECT_TRUE(outcomes[0].second.starts_with("sstable format error: LZ4 decompress error")) << outcomes[0].second;
  EXPECT_GT(outcomes[0].first.size(), 0u);
  EXPECT_LT(outcomes[0].first.size(), keys.size());
  for (const auto& outcome : outcomes) {
    EXPECT_EQ(outcome.second, outcomes[0].second);
    EXPECT_EQ(outcome.first, outcomes[0].first);
  }

  // Documents large enough that only the copies the threads make for the caller reach the size.
  must(db->put("big0", std::string(100 << 10, 'x'), 0, kForever));
  must(db->put("big1", std::string(100 << 10, 'y'), 0, kForever));
  std::vector<std::string_view> big(400, "big0");
  big[200] = "big1";
  const BatchReadThreadsSetting setting({8, 1});
  bool thrown = false;
  try {
    AllocationFailure failure(1, 90 << 10);
    (void)db->visit_get_many(big, [](std::size_t, const BatchDoc&) -> Result<void> { return {}; });
  } catch (const std::bad_alloc&) {
    thrown = true;
  }
  EXPECT_TRUE(thrown);
  std::size_t visits = 0;
  must(db->visit_get_many(big, [&](std::size_t, const BatchDoc& doc) -> Result<void> {
    visits += doc.doc().size() == (100 << 10);
    return {};
  }));
  EXPECT_EQ(visits, big.size());
}

TEST(DatabaseTest, ManifestNamingAFileOutsideTheDirectoryIsRefused) {
  TempDir dir;
  std::vector<std::uint64_t> other_writes;
  {
    auto other = open_db(dir.file("other"), test_config(1));
    for (int i = 0; i < 100; ++i) other_writes.push_back(must(other->put("k" + std::to_string(i), "v", 0, kForever)));
  }
  const std::string other_log = read_text(dir.file("other/shard-0/shard-0.wal"));
  open_db(dir.file("db"), test_config(1)).reset();
  damage_manifest(dir.file("db"), R"("wal_file": "shard-0.wal")",
                  R"("wal_file": "../../other/shard-0/shard-0.wal")");

  auto r = Database::open(dir.file("db"), test_config(1));
  ASSERT_FALSE(r);
  EXPECT_EQ(r.error().to_string(),
            R"(manifest format error: shards[0].wal_file "../../other/shard-0/shard-0.wal" is not a plain file name)");
  EXPECT_EQ(read_text(dir.file("other/shard-0/shard-0.wal")), other_log);
  auto other = open_db(dir.file("other"), test_config(1));
  for (int i = 0; i < 100; ++i) EXPECT_EQ(must(other->get("k" + std::to_string(i), other_writes[i])), "v");
}

TEST(DatabaseTest, MissingManifestBesideDataIsRefused) {
  TempDir dir;
  Config c = test_config(2);
  c.memtable_max_bytes = 4096;
  {
    auto db = open_db(dir.file("db"), c);
    write_until_flushed(*db, 1, "k");
  }
  std::filesystem::remove(dir.file("db/MANIFEST.json"));
  auto r = Database::open(dir.file("db"), c);
  ASSERT_FALSE(r);
  EXPECT_EQ(r.error().kind(), ErrorKind::ManifestFormat);
  EXPECT_TRUE(r.error().to_string().starts_with("manifest format error: manifest is missing while database files exist: shard-"))
      << r.error().to_string();
  EXPECT_FALSE(std::filesystem::exists(dir.file("db/MANIFEST.json")));
}

TEST(DatabaseTest, ConcurrentWritersAndReaders) {
  TempDir dir;
  Config c = test_config(4, true);
  c.memtable_max_bytes = 8192;
  c.compaction_l0_threshold = 2;
  auto db = open_db(dir.file("db"), c);
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&db, t] {
      for (int i = 0; i < 400; ++i) {
        std::string key = "t" + std::to_string(t) + "/" + std::to_string(i);
        auto ts = db->put(key, "v" + std::to_string(i), 0, kForever);
        ASSERT_TRUE(ts) << ts.error().to_string();
        auto got = db->get(key, *ts);
        ASSERT_TRUE(got);
        ASSERT_EQ(*got, "v" + std::to_string(i));
      }
    });
  }
  for (auto& th : threads) th.join();
  EXPECT_EQ(must(db->scan_prefix("t")).size(), 1600u);
  EXPECT_GT(must(db->stats()).flushes, 0u);
}

}  // namespace
}  // namespace quenlordb::engine
