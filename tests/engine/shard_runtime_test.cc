#include "engine/shard_runtime.h"

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <future>
#include <set>
#include <thread>

#include "ai/risk/risk.h"
#include "engine_test_util.h"
#include "shard_harness.h"
#include "ledger/internal_key.h"
#include "ledger/record.h"
#include "storage/manifest.h"
#include "storage/wal.h"
#include "support/fault_hook.h"
#include "support/temp_dir.h"
#include "util/file.h"

namespace quenlordb::engine {
namespace {

using namespace std::string_literals;
using quenlordb::testing::FaultRule;
using quenlordb::testing::ScopedFaultHook;
using quenlordb::testing::TempDir;
using testing::edit_manifest;
using testing::file_length;
using testing::kForever;
using testing::must;
using testing::Shard;

void write_file(const std::string& path, std::string_view bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

TEST(ShardRuntimeTest, RestartResumesAboveWatermarkAndLog) {
  struct Case {
    const char* name;
    std::uint64_t watermark;  // written into the manifest after three puts (ts 1..3) are logged
    bool empty_log;
    std::uint64_t expected_next;
  };
  const Case cases[] = {
      {"watermark above the log", 10, false, 11},
      {"log above the watermark", 1, false, 4},
      {"empty log", 7, true, 8},
  };
  for (const Case& tc : cases) {
    TempDir dir;
    {
      Shard shard(dir.path(), Config{});
      for (int i = 0; i < 3; ++i) must(shard.put("k" + std::to_string(i), "v"));
    }
    if (tc.empty_log) std::filesystem::resize_file(dir.file("shard-0/shard-0.wal"), 0);
    edit_manifest(dir.path(), [&](storage::ManifestState& s) { s.shards[0].commit_ts_high_watermark = tc.watermark; });
    Shard shard(dir.path(), Config{});
    EXPECT_EQ(must(shard.put("x", "y")), tc.expected_next) << tc.name;
  }
}

TEST(ShardRuntimeTest, UndecodableLogKeyIsInsertedButDoesNotRaiseTimestamps) {
  TempDir dir;
  { Shard shard(dir.path(), Config{}); }
  {
    storage::Wal wal = must(storage::Wal::open(dir.file("shard-0/shard-0.wal"), 128));
    must(wal.append({std::nullopt, std::nullopt, ledger::encode_internal_key("good", 5), ledger::FactValue{0, kForever, "g"}.encode()}));
    must(wal.append({std::nullopt, std::nullopt, "short", ledger::FactValue{0, kForever, "s"}.encode()}));
    must(wal.append({std::nullopt, std::nullopt, std::string(20, '\x7f'), ledger::FactValue{0, kForever, "x"}.encode()}));
  }
  Shard shard(dir.path(), Config{});
  EXPECT_EQ(shard.get("good"), "g");
  EXPECT_EQ(must(shard.put("next", "n")), 6u);
  // The raw entries are in the memtable: a scan over everything meets them.
  EXPECT_EQ(shard.handle().scan_prefix("", std::nullopt, std::nullopt, std::nullopt).error().to_string(),
            "sstable format error: internal key too short");
}

TEST(ShardRuntimeTest, MissingTableFileIsSkipped) {
  for (bool level_lists : {true, false}) {
    TempDir dir;
    Config c;
    c.memtable_max_bytes = 1024;
    {
      Shard shard(dir.path(), c);
      for (int i = 0; !std::filesystem::exists(dir.file("shard-0/l0-1.sst")); ++i)
        must(shard.put("k" + std::to_string(i), std::string(100, 'x')));
      must(shard.put("after", "a"));
    }
    std::filesystem::remove(dir.file("shard-0/l0-1.sst"));
    if (!level_lists) edit_manifest(dir.path(), [](storage::ManifestState& s) { s.shards[0].level_files.reset(); });
    Shard shard(dir.path(), c);
    ASSERT_TRUE(shard.ok()) << shard.open_error().to_string();
    EXPECT_EQ(shard.get("k0"), std::nullopt);
    EXPECT_EQ(shard.get("after"), "a");
  }
}

// Table files no manifest names (what a killed flush or compaction leaves) are removed when the shard
// opens; every other file stays, and so does every file the manifest names, whether in its per-level
// lists or, for an older manifest, in its name list alone.
TEST(ShardRuntimeTest, OpenRemovesTableFilesTheManifestDoesNotName) {
  const std::vector<std::string> leftovers = {"l0-7.sst", "l1-42.sst", "l12-3.sst"};
  const std::vector<std::string> others = {"MANIFEST.json", "MANIFEST.json.tmp", "l1-42.sst.tmp", "x1-2.sst",
                                           "l1-.sst", "l-4.sst", "L1-5.sst", "l1-5.SST", "notes.txt"};
  for (bool level_lists : {true, false}) {
    SCOPED_TRACE(level_lists ? "per-level lists" : "name list only");
    TempDir dir;
    Config c;
    c.memtable_max_bytes = 1024;
    c.compaction_l0_threshold = 1;
    std::vector<std::string> keys;
    {
      Shard shard(dir.path(), c);
      while (shard.stats().compactions == 0 || shard.stats().flushes < 3) {
        keys.push_back("k" + std::to_string(keys.size()));
        must(shard.put(keys.back(), std::string(100, 'x')));
      }
    }
    if (!level_lists) edit_manifest(dir.path(), [](storage::ManifestState& s) { s.shards[0].level_files.reset(); });
    const std::string shard_dir = dir.file("shard-0");
    std::set<std::string> named;
    for (const auto& entry : std::filesystem::directory_iterator(shard_dir)) named.insert(entry.path().filename());
    ASSERT_GE(named.size(), 3u);  // the log, a level-0 file and a level-1 file
    for (const std::string& name : leftovers) write_file(shard_dir + "/" + name, "not a table file");
    for (const std::string& name : others) write_file(shard_dir + "/" + name, "kept");
    std::filesystem::create_directory(shard_dir + "/l2-8.sst");

    Shard shard(dir.path(), c);
    ASSERT_TRUE(shard.ok()) << shard.open_error().to_string();
    std::set<std::string> expected = named;
    expected.insert(others.begin(), others.end());
    expected.insert("l2-8.sst");
    std::set<std::string> present;
    for (const auto& entry : std::filesystem::directory_iterator(shard_dir)) present.insert(entry.path().filename());
    EXPECT_EQ(present, expected);
    for (const std::string& key : keys) EXPECT_EQ(shard.get(key), std::string(100, 'x')) << key;
  }
}

TEST(ShardRuntimeTest, StatFailureOfATableFileFailsTheOpen) {
  TempDir dir;
  Config c;
  c.memtable_max_bytes = 1024;
  {
    Shard shard(dir.path(), c);
    for (int i = 0; !std::filesystem::exists(dir.file("shard-0/l0-1.sst")); ++i)
      must(shard.put("k" + std::to_string(i), std::string(100, 'x')));
  }
  edit_manifest(dir.path(), [](storage::ManifestState& s) { s.shards[0].level_files.reset(); });
  ScopedFaultHook hook({FaultRule::fail_every({util::FileOp::Stat, util::FaultPhase::Before, ".sst"}, EACCES)});
  Shard shard(dir.path(), c);
  ASSERT_FALSE(shard.ok());
  EXPECT_EQ(shard.open_error().os_error(), EACCES);
}

TEST(ShardRuntimeTest, BatchPuts) {
  TempDir dir;
  Shard shard(dir.path(), Config{});
  const std::uint64_t log_before = file_length(shard.wal_path());
  EXPECT_TRUE(must(shard.put_batch({})).empty());
  EXPECT_EQ(file_length(shard.wal_path()), log_before);

  auto ts = must(shard.put_batch({{1, "a", "1", 0, kForever}, {std::nullopt, "b", "2", 0, kForever}}));
  EXPECT_EQ(ts, (std::vector<std::uint64_t>{1, 2}));
  EXPECT_EQ(shard.get("a"), "1");
  EXPECT_EQ(shard.get("b"), "2");
  EXPECT_EQ(shard.stats().writes, 2u);
  EXPECT_EQ(must(shard.put("c", "3")), 3u);
}

TEST(ShardRuntimeTest, SubscribersGetEventsForTheirPrefix) {
  TempDir dir;
  Shard shard(dir.path(), Config{});
  auto [tx, rx] = util::make_channel<ChangeEvent>();
  shard.send(ShardCommand::Subscribe{Subscriber{std::move(tx), "a"}});
  {
    auto [gone_tx, gone_rx] = util::make_channel<ChangeEvent>();
    shard.send(ShardCommand::Subscribe{Subscriber{std::move(gone_tx), ""}});
  }  // the second subscriber's receiver is gone: it is dropped at the next matching put
  const std::uint64_t t1 = must(shard.put("a", "doc-a", 3, 9));
  must(shard.put("b", "doc-b"));
  const std::uint64_t t3 = must(shard.put("ab", "doc-ab"));
  must(shard.put_batch({{std::nullopt, "abc", "batch", 0, kForever}}));  // batches raise no event

  ChangeEvent e1 = must(rx.recv_or_closed());
  EXPECT_EQ(e1.key, "a");
  EXPECT_EQ(e1.doc, "doc-a");
  EXPECT_EQ(e1.commit_ts, t1);
  EXPECT_EQ(e1.valid_from, 3u);
  EXPECT_EQ(e1.valid_to, 9u);
  ChangeEvent e2 = must(rx.recv_or_closed());
  EXPECT_EQ(e2.key, "ab");
  EXPECT_EQ(e2.commit_ts, t3);
  EXPECT_FALSE(rx.try_recv());
}

TEST(ShardRuntimeTest, CommandsQueuedBehindShutdownSeeAClosedChannel) {
  TempDir dir;
  Shard shard(dir.path(), Config{});
  auto [reply, rx] = util::make_bounded_channel<Result<std::uint64_t>>(1);
  shard.send(ShardCommand::Shutdown{});
  shard.send(ShardCommand::Put{std::nullopt, std::move(reply), "k", "v", 0, kForever});
  auto r = rx.recv_or_closed();
  ASSERT_FALSE(r);
  EXPECT_EQ(r.error().to_string(), "channel closed");
  shard.shutdown();
  EXPECT_FALSE(shard.put("k", "v").has_value());
}

TEST(ShardRuntimeTest, InlineRiskRecord) {
  TempDir dir;
  Config c;
  c.ai_inline_risk = true;
  c.ai_risk_on_get = true;
  Shard shard(dir.path(), c);
  const std::uint64_t ts = must(shard.put("k1", "critical unauthorized access", 5, 50));
  EXPECT_EQ(must(shard.put("other", "fine")), ts + 2);  // the risk record took ts + 1

  auto rows = must(shard.handle().scan_prefix("__ai/risk/", kForever, std::nullopt, std::nullopt));
  ASSERT_EQ(rows.size(), 1u);
  EXPECT_EQ(rows[0].key, "__ai/risk/6b31/" + std::to_string(ts));
  EXPECT_EQ(rows[0].doc, "{\"risk\":0.7500,\"source_ts\":" + std::to_string(ts) + "}");
  EXPECT_EQ(rows[0].commit_ts, ts + 1);
  EXPECT_EQ(must(shard.handle().get("k1", std::nullopt, std::nullopt)).risk, 0.75);
  EXPECT_EQ(must(shard.handle().get("other", std::nullopt, std::nullopt)).risk, std::nullopt);

  must(shard.put("__ai/x", "critical unauthorized"));  // reserved keys are never scored
  EXPECT_EQ(must(shard.handle().scan_prefix("__ai/risk/", kForever, std::nullopt, std::nullopt)).size(), 1u);
  // A key whose risk record key would pass the key limit (it holds the key in hex) is stored without one.
  const std::string long_key(40000, 'k');
  must(shard.put(long_key, "critical unauthorized access"));
  EXPECT_EQ(shard.get(long_key), "critical unauthorized access");
  EXPECT_EQ(must(shard.handle().scan_prefix("__ai/risk/", kForever, std::nullopt, std::nullopt)).size(), 1u);
  EXPECT_EQ(shard.stats().writes, 4u);

  // Not logged: gone after a restart.
  shard.shutdown();
  Shard again(dir.path(), c);
  EXPECT_TRUE(must(again.handle().scan_prefix("__ai/risk/", kForever, std::nullopt, std::nullopt)).empty());
  EXPECT_EQ(again.get("k1"), "critical unauthorized access");
}

TEST(ShardRuntimeTest, RiskOnGetTakesTheRecordOfTheGreatestTimestampNotTheGreatestKey) {
  TempDir dir;
  Config config;
  config.ai_risk_on_get = true;
  Shard shard(dir.path(), config);
  // "…/9" sorts after "…/10", and "…/99" after "…/100"; the batch gives the newer record the
  // smaller commit timestamp, so neither key order nor commit order picks it.
  const struct {
    const char* key;
    std::uint64_t older;
    std::uint64_t newer;
  } cases[] = {{"k1", 9, 10}, {"k2", 99, 100}};
  for (const auto& c : cases) {
    const std::string prefix = ai::risk::risk_key_prefix(c.key);
    must(shard.put_batch({{std::nullopt, prefix + std::to_string(c.newer), "{\"risk\":0.9000}", 0, kForever},
                          {std::nullopt, prefix + std::to_string(c.older), "{\"risk\":0.8000}", 0, kForever}}));
    EXPECT_EQ(must(shard.handle().get(c.key, std::nullopt, std::nullopt)).risk, 0.9) << c.key;
  }
}

TEST(ShardRuntimeTest, DamagedLogTailIsCutBeforeNewAppends) {
  TempDir dir;
  {
    Shard shard(dir.path(), Config{});
    must(shard.put("a", "1"));
    must(shard.put("b", "2"));
  }
  const std::string wal = dir.file("shard-0/shard-0.wal");
  const std::uint64_t intact = file_length(wal);
  {
    std::ofstream out(wal, std::ios::app | std::ios::binary);
    out << "QWA";  // a header cut short
  }
  {
    Shard shard(dir.path(), Config{});
    EXPECT_EQ(file_length(wal), intact);
    must(shard.put("c", "3"));
  }
  Shard shard(dir.path(), Config{});
  EXPECT_EQ(shard.get("a"), "1");
  EXPECT_EQ(shard.get("c"), "3");
}

TEST(ShardRuntimeTest, FailedFlushThenSuccessfulFlushKeepsTheFirstMemtable) {
  TempDir dir;
  Config c;
  c.memtable_max_bytes = 2048;
  std::vector<std::pair<std::string, std::uint64_t>> written;
  {
    Shard shard(dir.path(), c);
    {
      // The first level-0 table file cannot be created.
      ScopedFaultHook hook({{{util::FileOp::Open, util::FaultPhase::Before, "/l0-"}, 1, FaultRule::Action::Fail, ENOSPC}});
      bool failed = false;
      for (int i = 0; !failed; ++i) {
        std::string key = "first" + std::to_string(i);
        auto r = shard.put(key, std::string(200, 'a'));
        if (!r) {
          EXPECT_EQ(r.error().os_error(), ENOSPC);
          failed = true;  // the write itself is committed
          written.emplace_back(key, 0);
        } else {
          written.emplace_back(key, *r);
        }
      }
    }
    EXPECT_GT(file_length(shard.wal_path()), 0u);  // nothing truncated
    for (int i = 0; shard.stats().flushes < 2; ++i) must(shard.put("second" + std::to_string(i), std::string(200, 'b')));
    EXPECT_EQ(shard.stats().flushes, 2u);  // the frozen memtable and the new one, one file each
  }
  Shard shard(dir.path(), c);
  for (const auto& [key, ts] : written) EXPECT_EQ(shard.get(key), std::string(200, 'a')) << key;
}

TEST(ShardRuntimeTest, UnmatchedShardIdFailsTheFlushAndKeepsTheLog) {
  TempDir dir;
  Config c;
  c.memtable_max_bytes = 1024;
  { Shard shard(dir.path(), c); }
  edit_manifest(dir.path(), [](storage::ManifestState& s) { s.shards[0].shard_id = 7; });
  std::vector<std::string> keys;
  {
    Shard shard(dir.path(), c);
    for (int i = 0;; ++i) {
      keys.push_back("k" + std::to_string(i));
      auto r = shard.put(keys.back(), std::string(100, 'x'));
      if (!r) {
        EXPECT_EQ(r.error().to_string(), "manifest format error: no manifest entry for shard 0");
        break;
      }
    }
    EXPECT_GT(file_length(shard.wal_path()), 0u);
  }
  edit_manifest(dir.path(), [](storage::ManifestState& s) { s.shards[0].shard_id = 0; });
  Shard shard(dir.path(), c);
  for (const std::string& key : keys) EXPECT_EQ(shard.get(key), std::string(100, 'x')) << key;
}

TEST(ShardRuntimeTest, CompactionInputsAreDeletedOnlyAfterASavedManifest) {
  TempDir dir;
  Config c;
  c.memtable_max_bytes = 1024;
  c.compaction_l0_threshold = 1;
  Shard shard(dir.path(), c);
  auto exists = [&](const char* name) { return std::filesystem::exists(dir.file("shard-0/"s + name)); };
  int n = 0;
  auto fill_until_flush = [&](std::uint64_t flushes) {
    Result<std::uint64_t> last = 0;
    while (shard.stats().flushes < flushes) last = shard.put("k" + std::to_string(n++), std::string(100, 'x'));
    return last;
  };
  must(fill_until_flush(1));
  EXPECT_TRUE(exists("l0-1.sst"));

  // Flush 2 saves its manifest (naming l0-1 and l0-2), truncates, then compacts both into l1-3;
  // the save after the compaction fails, so the inputs must stay on disk.
  Result<std::uint64_t> r = fail(QuenlorError::not_found());
  {
    ScopedFaultHook hook({{{util::FileOp::Rename, util::FaultPhase::Before, "MANIFEST.json"}, 2, FaultRule::Action::Fail, EIO}});
    r = fill_until_flush(2);
  }
  ASSERT_FALSE(r);
  EXPECT_EQ(r.error().os_error(), EIO);
  EXPECT_EQ(shard.stats().compactions, 1u);
  EXPECT_TRUE(exists("l0-1.sst"));
  EXPECT_TRUE(exists("l0-2.sst"));
  EXPECT_TRUE(exists("l1-3.sst"));

  // Flush 3's save succeeds and names l1-3 instead: now the inputs go.
  must(fill_until_flush(3));
  EXPECT_FALSE(exists("l0-1.sst"));
  EXPECT_FALSE(exists("l0-2.sst"));
  EXPECT_TRUE(exists("l1-3.sst"));
  EXPECT_TRUE(exists("l0-4.sst"));
  shard.shutdown();
  Shard again(dir.path(), c);
  for (int i = 0; i < n; ++i) EXPECT_EQ(again.get("k" + std::to_string(i)), std::string(100, 'x')) << i;
}

// The shard thread is held inside a compaction step, before its first output is created, until the
// test thread has read the shard: a get of a key in the step's inputs, of one in the level-0 file
// the flush just added, and a prefix scan. (A read that waits for the step never lets it go, and
// the hold gives up after a minute.)
TEST(ShardRuntimeTest, ReadsCompleteWhileACompactionStepMerges) {
  TempDir dir;
  Config c;
  c.memtable_max_bytes = 1024;
  c.compaction_l0_threshold = 1;
  Shard shard(dir.path(), c);
  const std::string doc(2000, 'x');  // each put fills the memtable: its flush check flushes
  must(shard.put("a", doc));
  ASSERT_EQ(shard.stats().compactions, 0u);

  std::promise<void> held;
  std::promise<void> release;
  std::shared_future<void> released = release.get_future().share();
  bool released_before_giving_up = false;
  ScopedFaultHook hook({FaultRule({util::FileOp::Open, util::FaultPhase::Before, "/l1-"}, [&] {
    held.set_value();
    released_before_giving_up = released.wait_for(std::chrono::minutes(1)) == std::future_status::ready;
  })});
  std::thread writer([&] { must(shard.put("b", doc)); });  // flushes into a second level-0 file: compacts
  ASSERT_EQ(held.get_future().wait_for(std::chrono::minutes(1)), std::future_status::ready);
  EXPECT_EQ(shard.get("a"), doc);
  EXPECT_EQ(shard.get("b"), doc);
  EXPECT_EQ(must(shard.handle().scan_prefix("", std::nullopt, std::nullopt, std::nullopt)).size(), 2u);
  release.set_value();
  writer.join();
  EXPECT_TRUE(released_before_giving_up) << "a read waited for the compaction step";
  EXPECT_TRUE(hook.fired(0));
  EXPECT_EQ(shard.stats().compactions, 1u);
  EXPECT_EQ(shard.get("a"), doc);
}

}  // namespace
}  // namespace quenlordb::engine
