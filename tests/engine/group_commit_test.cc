// The fast write path and the group-commit thread, seen through the facade: frames, declines, the
// thread's idle wait and the log events of the engine.
#include <gtest/gtest.h>

#include <chrono>
#include <atomic>
#include <filesystem>
#include <fstream>
#include <future>
#include <iterator>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "engine/database.h"
#include "engine/fast_write.h"
#include "engine/shard_shared.h"
#include "engine_test_util.h"
#include "hasher.h"
#include "ledger/internal_key.h"
#include "ledger/record.h"
#include "storage/group_commit.h"
#include "storage/levels.h"
#include "storage/manifest.h"
#include "storage/wal.h"
#include "support/crash_harness.h"
#include "support/temp_dir.h"
#include "util/file.h"
#include "util/log.h"

namespace quenlordb::engine {
namespace {

using quenlordb::testing::current_thread_name_starts_with;
using quenlordb::testing::FaultRule;
using quenlordb::testing::ScopedFaultHook;
using quenlordb::testing::TempDir;
using testing::must;
using testing::open_db;
using testing::test_config;

constexpr std::uint64_t kForever = ~0ULL;

std::string read_bytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

std::string key_in_shard(std::uint64_t shard, std::uint64_t shards) {
  for (int i = 0;; ++i) {
    std::string key = "key" + std::to_string(i);
    if (FnvMixHasher::hash(key) % shards == shard) return key;
  }
}

// Captures the engine's log events for the life of the object.
class LogCapture {
 public:
  LogCapture() {
    events().clear();
    util::set_log_sink(&LogCapture::sink);
  }
  ~LogCapture() { util::set_log_sink(nullptr); }

  std::vector<std::pair<util::LogLevel, std::string>> take() {
    std::lock_guard lock(mu());
    return std::exchange(events(), {});
  }
  // Waits up to 5 s for the first event.
  std::vector<std::pair<util::LogLevel, std::string>> wait() {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (std::chrono::steady_clock::now() < deadline) {
      {
        std::lock_guard lock(mu());
        if (!events().empty()) break;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return take();
  }

 private:
  static std::mutex& mu() {
    static std::mutex m;
    return m;
  }
  static std::vector<std::pair<util::LogLevel, std::string>>& events() {
    static std::vector<std::pair<util::LogLevel, std::string>> e;
    return e;
  }
  static void sink(util::LogLevel level, std::string_view text) {
    std::lock_guard lock(mu());
    events().emplace_back(level, std::string(text));
  }
};

TEST(GroupCommitTest, FastPathAndShardThreadWriteIdenticalFrames) {
  for (std::optional<std::uint64_t> tag : {std::optional<std::uint64_t>{}, std::optional<std::uint64_t>{1}}) {
    TempDir dir;
    std::string logs[2];
    for (bool group_commit : {false, true}) {
      const std::string root = dir.file(group_commit ? "fast" : "shard");
      {
        auto db = open_db(root, test_config(1, group_commit));
        EXPECT_EQ(must(db->put("key", "document", 5, 50, tag)), 1u);
        EXPECT_EQ(must(db->stats()).writes, group_commit ? 0u : 1u);  // which path took it
      }  // the drop writes the queued frame
      logs[group_commit] = read_bytes(root + "/shard-0/shard-0.wal");
    }
    EXPECT_FALSE(logs[0].empty());
    EXPECT_EQ(logs[1], logs[0]) << "write tag " << tag.has_value();
  }
}

TEST(GroupCommitTest, PutOverTheLogLimitIsDeclinedAndRefusedByTheShardThread) {
  TempDir dir;
  const std::string root = dir.file("db");
  const std::string key = "big";
  // The smallest document whose record is one byte over the limit.
  std::size_t doc_len = storage::kWalMaxBodyBytes - 64;
  auto payload = [&] {
    return ledger::fact_write_payload_size(key.size() + 10, ledger::fact_value_size(doc_len), std::nullopt, std::nullopt);
  };
  while (payload() <= storage::kWalMaxBodyBytes) ++doc_len;
  {
    auto db = open_db(root, test_config(1, true));
    auto r = db->put(key, std::string(doc_len, 'x'), 0, kForever);
    ASSERT_FALSE(r);
    EXPECT_EQ(r.error().to_string(),
              "io error: record too large for the log (" + std::to_string(payload()) + " bytes; at most 67108864)");
    EXPECT_EQ(must(db->get(key)), std::nullopt);
    EXPECT_EQ(must(db->stats()).writes, 0u);
    must(db->put("small", "s", 0, kForever));
  }
  auto db = open_db(root, test_config(1, true));
  EXPECT_EQ(must(db->get("small")), "s");
  EXPECT_EQ(must(db->get(key)), std::nullopt);
}

TEST(GroupCommitTest, TimestampsSaturateAtTheLargestValueOnBothPaths) {
  constexpr std::uint64_t kMax = ~0ULL;
  for (bool group_commit : {true, false}) {
    SCOPED_TRACE(group_commit ? "fast path" : "shard thread");
    TempDir dir;
    const std::string root = dir.file("db");
    {
      storage::Manifest m = must(storage::Manifest::load_or_create(root, 1));
      m.state().shards[0].commit_ts_high_watermark = kMax - 2;
      must(m.save());
    }
    auto db = open_db(root, test_config(1, group_commit));
    EXPECT_EQ(must(db->put("a", "1", 0, kForever)), kMax - 1);
    EXPECT_EQ(must(db->put("b", "2", 0, kForever)), kMax);
    EXPECT_EQ(must(db->put("c", "3", 0, kForever)), kMax);  // no wrap to 0
    EXPECT_EQ(must(db->stats()).writes, group_commit ? 0u : 3u);
    EXPECT_EQ(must(db->get("a")), "1");
    EXPECT_EQ(must(db->get("c")), "3");
  }
}

// Fast puts from several threads, mixed with shard-thread puts whenever the small memtable is full,
// share one allocation: no timestamp is handed out twice and the committed timestamp never goes back.
TEST(GroupCommitTest, BothPathsShareOneTimestampSequence) {
  TempDir dir;
  Config c = test_config(1, true);
  c.memtable_max_bytes = 64 * 1024;
  auto db = open_db(dir.file("db"), c);
  constexpr int kWriters = 3;
  constexpr int kPuts = 2000;
  std::atomic<int> running{kWriters};
  std::vector<std::vector<std::uint64_t>> timestamps(kWriters);
  std::vector<std::thread> writers;
  for (int t = 0; t < kWriters; ++t) {
    writers.emplace_back([&, t] {
      for (int i = 0; i < kPuts; ++i) {
        auto ts = db->put("w" + std::to_string(t) + "/" + std::to_string(i % 100), std::string(60, 'v'), 0, kForever);
        if (!ts) {
          ADD_FAILURE() << ts.error().to_string();
          break;
        }
        timestamps[t].push_back(*ts);
      }
      --running;
    });
  }
  std::uint64_t last = 0;
  while (running.load() > 0) {
    const std::uint64_t snapshot = must(db->explain_get("probe")).commit_ts_used;
    if (snapshot < last) {
      ADD_FAILURE() << "the committed timestamp went back from " << last << " to " << snapshot;
      break;
    }
    last = snapshot;
  }
  for (auto& w : writers) w.join();
  std::set<std::uint64_t> unique;
  for (const auto& list : timestamps) unique.insert(list.begin(), list.end());
  EXPECT_EQ(unique.size(), static_cast<std::size_t>(kWriters * kPuts));
  EXPECT_EQ(*unique.rbegin(), must(db->explain_get("probe")).commit_ts_used);
  EXPECT_GT(must(db->stats()).writes, 0u);  // some puts went through the shard thread
}

// A reader that takes the committed timestamp as its snapshot finds the same version when it reads
// again at that snapshot: a fast put's timestamp is published only once its version is in the
// memtable.
TEST(GroupCommitTest, FastPutJoinsTheDefaultSnapshotOnlyOnceInTheMemtable) {
  TempDir dir;
  const Config config;
  auto shared = std::make_shared<ShardShared>(storage::LevelManager(dir.path(), storage::LevelOptions::from_config(config)));
  shared->hasher = build_hasher();
  shared->block_cache = std::make_shared<storage::BlockCache>(1 << 20);
  shared->index_cache = std::make_shared<storage::IndexCache>(16);
  auto queue = std::make_shared<storage::WalBatchQueue>(1);
  auto lock = std::make_shared<storage::WalLock>();
  auto durability = storage::DurabilityThread::spawn(queue, {dir.file("shard-0.wal")}, {lock}, 1000);
  FastWritePath fast({shared}, {lock}, config.memtable_max_bytes, queue);
  const ShardReadHandle reader(shared);

  std::atomic<bool> stop{false};
  std::atomic<int> taken{0};
  std::vector<std::thread> writers;
  for (int t = 0; t < 3; ++t) {
    writers.emplace_back([&, t] {
      for (int i = 0; !stop.load(); ++i) {
        // A put is declined while the log's reserve waits to be topped up.
        if (fast.try_fast_put(0, "hot", std::to_string(t) + "/" + std::to_string(i), 0, kForever, std::nullopt)) {
          taken.fetch_add(1);
        } else {
          std::this_thread::yield();
        }
      }
    });
  }
  int mismatches = 0;
  for (int i = 0; i < 20000; ++i) {
    const ShardGetResult now = must(reader.get("hot", std::nullopt, std::nullopt));
    const ShardGetResult again = must(reader.get("hot", now.commit_ts_used, std::nullopt));
    if (now.value != again.value) ++mismatches;
  }
  stop = true;
  for (auto& w : writers) w.join();
  EXPECT_EQ(mismatches, 0);
  EXPECT_GT(taken.load(), 0);
}

// write_queued puts every queued frame into its log before it returns, waiting for a paused shard
// to be resumed; the frames it wrote are synced by the thread's next pass.
TEST(GroupCommitTest, WriteQueuedWritesEveryQueuedFrameAndWaitsForAPausedShard) {
  TempDir dir;
  auto queue = std::make_shared<storage::WalBatchQueue>(2);
  std::vector<std::shared_ptr<storage::WalLock>> locks = {std::make_shared<storage::WalLock>(),
                                                          std::make_shared<storage::WalLock>()};
  const std::vector<std::string> paths = {dir.file("shard-0.wal"), dir.file("shard-1.wal")};
  auto durability = storage::DurabilityThread::spawn(queue, paths, locks, 1000);
  const std::string first = must(storage::encode_wal_frame("k0", "v0", std::nullopt));
  const std::string second = must(storage::encode_wal_frame("k1", "v1", std::nullopt));
  // Queued without waking the thread, so that only write_queued writes them.
  queue->pause(1);
  queue->enqueue(first, 0, 0, /*wake_thread=*/false);
  queue->enqueue(second, 1, 0, /*wake_thread=*/false);
  std::future<Result<void>> written = std::async(std::launch::async, [&] { return durability->write_queued(); });
  EXPECT_EQ(written.wait_for(std::chrono::milliseconds(100)), std::future_status::timeout);
  EXPECT_EQ(read_bytes(paths[0]), first);
  EXPECT_EQ(read_bytes(paths[1]), "");
  queue->resume(1);
  must(written.get());
  EXPECT_EQ(read_bytes(paths[1]), second);
  EXPECT_EQ(queue->unwritten_writes(0) + queue->unwritten_writes(1), 0u);
}

// The number of context switches of the thread whose name begins with prefix.
std::optional<std::uint64_t> context_switches(std::string_view prefix) {
  for (const auto& task : std::filesystem::directory_iterator("/proc/self/task")) {
    std::string comm = read_bytes(task.path() / "comm");
    if (!comm.starts_with(prefix)) continue;
    std::ifstream status(task.path() / "status");
    std::uint64_t total = 0;
    for (std::string line; std::getline(status, line);) {
      if (line.starts_with("voluntary_ctxt_switches:") || line.starts_with("nonvoluntary_ctxt_switches:"))
        total += std::stoull(line.substr(line.find(':') + 1));
    }
    return total;
  }
  return std::nullopt;
}

TEST(GroupCommitTest, IdleGroupCommitThreadSleepsUntilAFrameIsQueued) {
  TempDir dir;
  const std::string root = dir.file("db");
  Config c = test_config(1, true);
  c.group_commit_interval_us = 1000;
  auto db = open_db(root, c);
  must(db->put("first", "1", 0, kForever));
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  const auto before = context_switches("quenlordb-group");
  ASSERT_TRUE(before);
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  // A wait with the 1 ms interval as its timeout would wake about 200 times.
  EXPECT_LT(*context_switches("quenlordb-group") - *before, 20u);

  // An enqueue still wakes it: the frame reaches the log without any other activity.
  const std::uint64_t ts = must(db->put("second", "2", 0, kForever));
  const std::string frame =
      storage::encode_wal_frame(ledger::encode_internal_key("second", ts), ledger::FactValue{0, kForever, "2"}.encode(),
                                std::nullopt)
          .value();
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
  while (read_bytes(root + "/shard-0/shard-0.wal").find(frame) == std::string::npos) {
    ASSERT_LT(std::chrono::steady_clock::now(), deadline) << "the queued frame was never written";
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
}

TEST(GroupCommitTest, FailedGroupWriteOrSyncRaisesAnErrorEvent) {
  struct Case {
    util::FileOp op;
    const char* text;
  };
  const Case cases[] = {
      {util::FileOp::Write, "group WAL write failed for shard 1: io error: Input/output error (os error 5)"},
      {util::FileOp::DataSync, "group WAL sync failed for shard 1: io error: Input/output error (os error 5)"},
  };
  for (const Case& tc : cases) {
    SCOPED_TRACE(tc.text);
    TempDir dir;
    const std::string root = dir.file("db");
    const std::string key = key_in_shard(1, 2);
    std::uint64_t first;
    {
      auto db = open_db(root, test_config(2, true));
      LogCapture capture;
      std::vector<std::pair<util::LogLevel, std::string>> events;
      {
        // The first such call on shard 1's log made by the group-commit thread fails.
        ScopedFaultHook hook({{{tc.op, util::FaultPhase::Before, "shard-1.wal", "quenlordb-group"},
                               1,
                               FaultRule::Action::Fail,
                               EIO}});
        first = must(db->put(key, "first", 0, kForever));
        events = capture.wait();
      }
      ASSERT_EQ(events.size(), 1u);
      EXPECT_EQ(events[0].first, util::LogLevel::Error);
      EXPECT_EQ(events[0].second, tc.text);
      must(db->put(key, "second", 0, kForever));
    }
    // A frame whose write failed is written by a later pass; the frames after it are written too.
    auto db = open_db(root, test_config(2, true));
    EXPECT_EQ(must(db->get(key, first)), "first");
    EXPECT_EQ(must(db->get(key)), "second");
  }
}

// While the group-commit thread's writes of a shard's frames fail, fast puts of that shard are
// declined (the shard thread takes them), with and without space reserved ahead in the log; once
// the frames are written, the fast path takes puts again.
TEST(GroupCommitTest, FastPutsAreDeclinedWhileTheirShardsFramesCannotBeWritten) {
  for (bool reserve : {true, false}) {
    SCOPED_TRACE(reserve ? "reserve" : "no reserve");
    TempDir dir;
    const std::string root = dir.file("db");
    std::atomic<bool> blocked{false};
    std::vector<FaultRule> rules{
        {{util::FileOp::Write, util::FaultPhase::Before, ".wal", "quenlordb-group"},
         [&](std::size_t*) { return blocked.load() ? EIO : 0; }}};
    if (!reserve) rules.push_back(FaultRule::fail_every({util::FileOp::Allocate, util::FaultPhase::Before, ".wal"}, EOPNOTSUPP));
    std::uint64_t ts[4];
    {
      ScopedFaultHook hook(std::move(rules));
      auto db = open_db(root, test_config(1, true));
      LogCapture capture;
      blocked = true;
      ts[0] = must(db->put("a", "1", 0, kForever));
      EXPECT_EQ(must(db->stats()).writes, 0u);  // acknowledged by the fast path
      ASSERT_FALSE(capture.wait().empty());     // its write failed
      ts[1] = must(db->put("b", "2", 0, kForever));
      ts[2] = must(db->put("c", "3", 0, kForever));
      EXPECT_EQ(must(db->stats()).writes, 2u);  // the shard thread took both

      blocked = false;
      const std::string frame = storage::encode_wal_frame(ledger::encode_internal_key("a", ts[0]),
                                                          ledger::FactValue{0, kForever, "1"}.encode(), std::nullopt)
                                    .value();
      const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
      while (read_bytes(root + "/shard-0/shard-0.wal").find(frame) == std::string::npos) {
        ASSERT_LT(std::chrono::steady_clock::now(), deadline) << "the failed frame was never written";
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
      ts[3] = must(db->put("d", "4", 0, kForever));
      EXPECT_EQ(must(db->stats()).writes, 2u);  // the fast path again
    }
    auto db = open_db(root, test_config(1, true));
    const char* keys[] = {"a", "b", "c", "d"};
    for (int i = 0; i < 4; ++i) EXPECT_EQ(must(db->get(keys[i], ts[i])), std::to_string(i + 1)) << keys[i];
  }
}

// A flush holds its shard's frames back from the freeze until the log is truncated, and no longer:
// a fast put acknowledged while the compaction after the flush runs (here held in its first step)
// is in the log before that compaction ends.
TEST(GroupCommitTest, FastPutDuringACompactionReachesTheLogBeforeTheCompactionEnds) {
  TempDir dir;
  const std::string root = dir.file("db");
  Config c = test_config(1, true);
  c.memtable_max_bytes = 4096;
  c.compaction_l0_threshold = 1;  // the second flush compacts
  std::promise<void> held;
  std::promise<void> release;
  std::shared_future<void> released = release.get_future().share();
  std::atomic<bool> holding{false};
  ScopedFaultHook hook({FaultRule({util::FileOp::Open, util::FaultPhase::Before, "/l1-"}, [&] {
    holding = true;
    held.set_value();
    (void)released.wait_for(std::chrono::seconds(30));
    holding = false;
  })});
  auto db = open_db(root, c);
  // Fast puts fill the memtable; the put that finds it full goes to the shard thread, whose flush
  // check flushes (and, the second time, compacts before that put returns).
  std::thread writer([&] {
    for (int i = 0; !hook.fired(0); ++i) must(db->put("k" + std::to_string(i), std::string(200, 'x'), 0, kForever));
  });
  ASSERT_EQ(held.get_future().wait_for(std::chrono::seconds(30)), std::future_status::ready);

  const std::uint64_t ts = must(db->put("during", "d", 0, kForever));
  const std::string frame = storage::encode_wal_frame(ledger::encode_internal_key("during", ts),
                                                      ledger::FactValue{0, kForever, "d"}.encode(), std::nullopt)
                                .value();
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  bool logged = false;
  while (!(logged = read_bytes(root + "/shard-0/shard-0.wal").find(frame) != std::string::npos) &&
         std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  EXPECT_TRUE(logged) << "the frame stayed in memory while the compaction ran";
  EXPECT_TRUE(holding.load()) << "the compaction ended before the frame was seen";
  release.set_value();
  writer.join();
  EXPECT_EQ(must(db->stats()).compactions, 1u);
  EXPECT_EQ(must(db->get("during", ts)), "d");
}

TEST(GroupCommitTest, CompactionStepRaisesAnInfoEvent) {
  TempDir dir;
  Config c = test_config(1, false);
  c.memtable_max_bytes = 1024;
  c.compaction_l0_threshold = 1;
  auto db = open_db(dir.file("db"), c);
  LogCapture capture;
  for (int i = 0; must(db->stats()).compactions == 0; ++i) must(db->put("k" + std::to_string(i), std::string(100, 'x'), 0, kForever));
  const auto events = capture.take();
  ASSERT_EQ(events.size(), 1u);
  EXPECT_EQ(events[0].first, util::LogLevel::Info);
  EXPECT_EQ(events[0].second, "shard 0: compacted L0\u2192L1: removed 2 files, created 1");
}

}  // namespace
}  // namespace quenlordb::engine
