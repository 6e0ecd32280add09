// Crash safety: a child process writes, is killed with SIGKILL (at a random moment or at a named
// point inside the file layer), and the parent checks on the directory left behind that every write
// acknowledged as durable is there (see support/crash_harness.h for the model).
#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "engine/database.h"
#include "engine_test_util.h"
#include "storage/wal.h"
#include "support/crash_harness.h"
#include "support/temp_dir.h"
#include "util/coding.h"

namespace quenlordb::engine {
namespace {

using quenlordb::testing::AckedWrite;
using quenlordb::testing::arm_faults;
using quenlordb::testing::ChildDb;
using quenlordb::testing::ChildReporter;
using quenlordb::testing::ChildRun;
using quenlordb::testing::CrashModel;
using quenlordb::testing::fault_fired;
using quenlordb::testing::FaultRule;
using quenlordb::testing::FileMatch;
using quenlordb::testing::install_child_hooks;
using quenlordb::testing::KillPlan;
using quenlordb::testing::kForeverTs;
using quenlordb::testing::run_child;
using quenlordb::testing::TempDir;
using quenlordb::testing::WritePath;
using testing::must;
using util::FaultPhase;
using util::FileOp;
using Action = FaultRule::Action;

#if defined(__SANITIZE_ADDRESS__)
constexpr int kScale = 2;  // the sanitizer build runs fewer iterations
#else
constexpr int kScale = 1;
#endif

// Small memtables and an eager compaction threshold, so that a few hundred puts flush and compact
// many times.
Config crash_config(std::uint64_t shards, bool group_commit) {
  Config c;
  c.shard_count = shards;
  c.group_commit_enabled = group_commit;
  c.memtable_max_bytes = 2048;
  c.compaction_l0_threshold = 2;
  c.wal_fsync_every_n_records = 16;
  return c;
}

std::string make_doc(int round, int i, std::size_t len) {
  std::string doc = "r" + std::to_string(round) + "/" + std::to_string(i) + ":";
  doc.resize(std::max(doc.size(), len), static_cast<char>('a' + i % 26));
  return doc;
}

struct Workload {
  std::uint64_t seed = 1;
  int round = 0;
  int puts = 4000;         // then the child reports done
  int keys = 40;
  std::size_t max_doc = 300;
  int barrier_every = 0;   // with group commit: a barrier after 1..barrier_every puts; 0: never
};

// One writer: puts over a small key space (some with a bounded validity, some empty, some with a
// write tag), each sometimes read back at its own timestamp, with barriers at random intervals.
void run_puts(ChildReporter& r, ChildDb& db, const Workload& w) {
  std::mt19937_64 rng(w.seed);
  int until_barrier = w.barrier_every > 0 ? 1 + static_cast<int>(rng() % w.barrier_every) : -1;
  for (int i = 0; i < w.puts; ++i) {
    const std::string key = "k" + std::to_string(rng() % w.keys);
    const std::size_t len = rng() % 10 == 0 ? 0 : rng() % w.max_doc;
    std::string doc = len == 0 ? std::string() : make_doc(w.round, i, len);
    std::uint64_t from = 0, to = kForeverTs;
    if (rng() % 8 == 0) {
      from = rng() % 1000;
      to = from + 1 + rng() % 100;
    }
    const std::optional<std::uint64_t> tag = rng() % 4 == 0 ? std::optional<std::uint64_t>(1) : std::nullopt;
    const std::string expected = doc;
    auto ts = db.put(key, std::move(doc), from, to, tag);
    if (!ts) r.fail("put: " + ts.error().to_string());
    if (rng() % 8 == 0) {
      auto got = db.db().get(key, *ts);
      if (!got || *got != expected) r.fail("read-back of " + key + " at its own timestamp differs");
    }
    if (until_barrier > 0 && --until_barrier == 0) {
      db.barrier();
      until_barrier = 1 + static_cast<int>(rng() % w.barrier_every);
    }
  }
}

// ---- random kills ----

struct RandomKillCase {
  const char* name;
  std::uint64_t shards;
  bool group_commit;
};

void PrintTo(const RandomKillCase& c, std::ostream* os) { *os << c.name; }

class RandomKillTest : public ::testing::TestWithParam<RandomKillCase> {};

TEST_P(RandomKillTest, AcknowledgedWritesSurviveKillsAtRandomMoments) {
  const RandomKillCase& tc = GetParam();
  TempDir dir;
  const std::string root = dir.file("db");
  const Config config = crash_config(tc.shards, tc.group_commit);
  CrashModel model(root, config);
  std::mt19937_64 rng(tc.shards * 2 + tc.group_commit);
  const int iterations = 40 / kScale;
  for (int it = 0; it < iterations && !HasFailure(); ++it) {
    SCOPED_TRACE("iteration " + std::to_string(it));
    KillPlan plan;
    plan.after_acks = rng() % 400;  // 0: during the open
    plan.delay = std::chrono::microseconds(rng() % 3000);
    Workload w;
    w.seed = rng();
    w.round = it;
    w.barrier_every = tc.group_commit ? 40 : 0;
    const ChildRun run = run_child(
        [&](ChildReporter& r) {
          install_child_hooks(r);
          ChildDb db(r, root, config);
          run_puts(r, db, w);
        },
        plan);
    ASSERT_TRUE(run.killed && !run.finished) << run.ending;
    model.absorb(run);
    model.verify();
  }
  EXPECT_GT(model.durable_count(), 1000u / kScale);
}

INSTANTIATE_TEST_SUITE_P(Crash, RandomKillTest,
                         ::testing::Values(RandomKillCase{"OneShardShardThreads", 1, false},
                                           RandomKillCase{"OneShardGroupCommit", 1, true},
                                           RandomKillCase{"FourShardsShardThreads", 4, false},
                                           RandomKillCase{"FourShardsGroupCommit", 4, true}),
                         [](const auto& info) { return std::string(info.param.name); });

// ---- named crash points ----

struct CrashPoint {
  const char* name;
  FaultRule rule;
};

const CrashPoint kCrashPoints[] = {
    {"flush: table file created, nothing written", {{FileOp::Open, FaultPhase::After, "/l0-"}}},
    {"flush: table file half written", {{FileOp::Write, FaultPhase::Before, "/l0-"}, 1, Action::ShortThenKill}},
    {"flush: table synced, directory not", {{FileOp::DataSync, FaultPhase::After, "/l0-"}}},
    {"flush: table in place, manifest not saved", {{FileOp::Open, FaultPhase::Before, "MANIFEST.json.tmp"}}},
    {"manifest save: temporary file half written",
     {{FileOp::Write, FaultPhase::Before, "MANIFEST.json.tmp"}, 1, Action::ShortThenKill}},
    {"manifest save: temporary file synced, not renamed", {{FileOp::DataSync, FaultPhase::After, "MANIFEST.json.tmp"}}},
    {"manifest save: renamed, directory not synced", {{FileOp::Rename, FaultPhase::After, "MANIFEST.json"}}},
    {"flush: manifest saved, log not truncated", {{FileOp::Truncate, FaultPhase::Before, ".wal"}}},
    {"flush: log truncated, compaction not started", {{FileOp::Truncate, FaultPhase::After, ".wal"}, 2}},
    {"compaction: output half written", {{FileOp::Write, FaultPhase::Before, "/l1-"}, 1, Action::ShortThenKill}},
    {"compaction: outputs synced, directory not", {{FileOp::DataSync, FaultPhase::After, "/l1-"}}},
    {"compaction: outputs in place, manifest not saved",
     {{FileOp::Open, FaultPhase::Before, "MANIFEST.json.tmp"}, 1, Action::Kill, EIO,
      FileMatch{FileOp::DataSync, FaultPhase::After, "/l1-"}}},
    {"compaction: manifest saved, inputs not deleted", {{FileOp::Unlink, FaultPhase::Before, ".sst"}}},
    {"compaction: one input deleted", {{FileOp::Unlink, FaultPhase::After, ".sst"}}},
};

class CrashPointTest : public ::testing::TestWithParam<bool> {};

TEST_P(CrashPointTest, KillAtEveryNamedPointOfFlushCompactionAndManifestSave) {
  const bool group_commit = GetParam();
  Config config = crash_config(2, group_commit);
  config.compaction_l0_threshold = 1;  // every second flush of a shard compacts
  std::uint64_t seed = 7;
  for (const CrashPoint& point : kCrashPoints) {
    SCOPED_TRACE(point.name);
    TempDir dir;
    const std::string root = dir.file("db");
    CrashModel model(root, config);
    // Twice on one directory: the second crash hits a database that recovered from the first.
    for (int cycle = 0; cycle < 2 && !HasFailure(); ++cycle) {
      Workload w;
      w.seed = seed++;
      w.round = cycle;
      w.barrier_every = group_commit ? 10 : 0;
      const ChildRun run = run_child(
          [&](ChildReporter& r) {
            install_child_hooks(r);
            ChildDb db(r, root, config);
            arm_faults({point.rule});
            run_puts(r, db, w);
          },
          KillPlan{});
      ASSERT_TRUE(run.killed) << run.ending;
      ASSERT_FALSE(run.finished) << "the workload never reached the crash point";
      model.absorb(run);
      model.verify();
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Crash, CrashPointTest, ::testing::Values(false, true),
                         [](const auto& info) { return info.param ? "GroupCommit" : "ShardThreads"; });

// ---- a damaged log tail ----

// Frame boundaries of a log: the offset of each frame's first byte.
std::vector<std::size_t> frame_starts(const std::string& log) {
  std::vector<std::size_t> starts;
  for (std::size_t pos = 0; pos + storage::kWalHeaderBytes <= log.size();) {
    starts.push_back(pos);
    pos += storage::kWalHeaderBytes + util::load_u32_le(log.data() + pos + 4);
  }
  return starts;
}

std::string read_bytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

void write_bytes(const std::string& path, std::string_view bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

TEST(CrashTest, TornOrDamagedLastFrameIsCutAndLaterWritesStayReachable) {
  TempDir dir;
  const std::string pristine = dir.file("pristine");
  const Config config = testing::test_config(1, false);
  std::vector<std::string> keys;
  {
    auto db = testing::open_db(pristine, config);
    for (int i = 0; i < 4; ++i) {
      keys.push_back("key" + std::to_string(i));
      must(db->put(keys.back(), "document " + std::to_string(i), 0, kForeverTs));
    }
  }
  const std::string log_name = "shard-0/shard-0.wal";
  const std::string log = read_bytes(pristine + "/" + log_name);
  const std::vector<std::size_t> starts = frame_starts(log);
  ASSERT_EQ(starts.size(), keys.size());
  const std::size_t last = starts.back();

  struct Damage {
    const char* name;
    std::size_t offset;
    bool cut;  // cut the log at offset; otherwise flip the byte at offset
  };
  std::vector<Damage> damages;
  for (std::size_t o = last; o < log.size(); ++o) damages.push_back({"cut", o, true});
  for (std::size_t o = last + 4; o < log.size(); ++o) damages.push_back({"flipped byte", o, false});

  for (const Damage& d : damages) {
    SCOPED_TRACE(std::string(d.name) + " at offset " + std::to_string(d.offset - last) + " of the last frame");
    const std::string root = dir.file("case");
    std::filesystem::remove_all(root);
    std::filesystem::copy(pristine, root, std::filesystem::copy_options::recursive);
    std::string damaged = log;
    if (d.cut) {
      damaged.resize(d.offset);
    } else {
      damaged[d.offset] = static_cast<char>(damaged[d.offset] ^ 0x10);
    }
    write_bytes(root + "/" + log_name, damaged);
    std::uint64_t after_ts;
    {
      auto db = testing::open_db(root, config);
      EXPECT_EQ(must(db->get(keys.back())), std::nullopt);
      after_ts = must(db->put("after", "written behind the damage", 0, kForeverTs));
    }
    auto db = testing::open_db(root, config);
    for (std::size_t i = 0; i + 1 < keys.size(); ++i) EXPECT_EQ(must(db->get(keys[i])), "document " + std::to_string(i));
    EXPECT_EQ(must(db->get("after", after_ts)), "written behind the damage");
    ASSERT_FALSE(HasFailure());
  }

  // A damaged magic is not a torn write: the open refuses the log instead of guessing.
  const std::string root = dir.file("magic");
  std::filesystem::copy(pristine, root, std::filesystem::copy_options::recursive);
  std::string damaged = log;
  damaged[last] = 'X';
  write_bytes(root + "/" + log_name, damaged);
  auto r = Database::open(root, config);
  ASSERT_FALSE(r);
  EXPECT_EQ(r.error().kind(), ErrorKind::WalMagicMismatch);
}

// ---- failed appends ----

struct FailedAppendCase {
  const char* name;
  bool group_commit;
  std::vector<FaultRule> rules;  // rules[0] is the failing write
  const char* expected_note;
};

TEST(CrashTest, FailedLogAppendIsCutBackAndLaterWritesSurviveAKill) {
  const FileMatch shard_log_write{FileOp::Write, FaultPhase::Before, ".wal", "quenlordb-shard"};
  const FileMatch group_log_write{FileOp::Write, FaultPhase::Before, ".wal", "quenlordb-group"};
  const FailedAppendCase cases[] = {
      {"shard thread: short write, the retry fails",
       false,
       {{shard_log_write, 3, Action::ShortThenFail, ENOSPC}},
       "put failed: io error: No space left on device (os error 28)"},
      {"shard thread: short write, the retry and the cut fail",
       false,
       {{shard_log_write, 3, Action::ShortThenFail, ENOSPC},
        {{FileOp::Truncate, FaultPhase::Before, ".wal"}, 1, Action::Fail, EIO, shard_log_write}},
       "put failed: io error: No space left on device (os error 28)"},
      {"group commit thread: short write, the retry fails",
       true,
       {{group_log_write, 3, Action::ShortThenFail, ENOSPC}},
       "group WAL write failed for shard 0: io error: No space left on device (os error 28)"},
  };
  for (const FailedAppendCase& tc : cases) {
    SCOPED_TRACE(tc.name);
    TempDir dir;
    const std::string root = dir.file("db");
    Config config = crash_config(1, tc.group_commit);
    config.memtable_max_bytes = 1 << 20;
    CrashModel model(root, config);
    const ChildRun run = run_child(
        [&](ChildReporter& r) {
          install_child_hooks(r);
          ChildDb db(r, root, config);
          arm_faults(tc.rules);
          for (int i = 0; i < 60; ++i) {
            const std::string key = "k" + std::to_string(i % 25);
            auto ts = db.put(key, make_doc(0, i, 40));
            if (!ts) r.note("put failed: " + ts.error().to_string());
            if (!tc.group_commit) continue;
            if (i == 2) {
              // The third frame's write fails: wait for it, then stop waiting for that frame.
              while (!fault_fired(0)) std::this_thread::sleep_for(std::chrono::microseconds(100));
              db.forget_pending();
            }
            db.barrier();
          }
        },
        KillPlan{});
    ASSERT_TRUE(run.killed && run.finished) << run.ending;
    EXPECT_EQ(run.notes, std::vector<std::string>{tc.expected_note});
    EXPECT_EQ(run.acks.size(), tc.group_commit ? 60u : 59u);
    model.absorb(run);
    model.verify();
    EXPECT_GE(model.durable_count(), 60u);  // with the reopened database's own write
  }
}

// ---- fast writes during a flush ----

TEST(CrashTest, FastWritesAcknowledgedDuringAFlushSurviveAKill) {
  TempDir dir;
  const std::string root = dir.file("db");
  Config config = crash_config(1, true);
  config.memtable_max_bytes = 16384;
  CrashModel model(root, config);
  const int kDuringFlush = 30;
  const ChildRun run = run_child(
      [&](ChildReporter& r) {
        install_child_hooks(r);
        ChildDb db(r, root, config);
        // The flush is held once its memtable is frozen (at the creation of its table file) while a
        // second writer puts through the fast path into the new memtable; then it goes on and
        // truncates the log.
        std::atomic<bool> frozen{false}, written{false};
        arm_faults({FaultRule({FileOp::Open, FaultPhase::Before, "/l0-"}, [&] {
          frozen = true;
          const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
          while (!written) {
            if (std::chrono::steady_clock::now() > deadline) r.fail("the second writer never finished");
            std::this_thread::sleep_for(std::chrono::microseconds(100));
          }
          // Time for group-commit passes, which must not write the new frames before the truncation.
          std::this_thread::sleep_for(std::chrono::milliseconds(20));
        })});
        std::thread second([&] {
          while (!frozen) std::this_thread::sleep_for(std::chrono::microseconds(50));
          db.set_flush_under_way(true);
          for (int i = 0; i < kDuringFlush; ++i) {
            if (!db.put("during/" + std::to_string(i), make_doc(1, i, 100))) r.fail("put during the flush failed");
          }
          written = true;
        });
        // Fast puts until the memtable is full; the next put goes to the shard thread and flushes.
        for (int i = 0; !fault_fired(0); ++i) {
          if (!db.put("before/" + std::to_string(i % 60), make_doc(0, i, 200))) r.fail("put before the flush failed");
        }
        second.join();
        db.set_flush_under_way(false);
        db.barrier();
      },
      KillPlan{});
  ASSERT_FALSE(run.failure) << *run.failure;
  ASSERT_TRUE(run.killed && run.finished) << run.ending;
  std::size_t during = 0;
  for (const AckedWrite& w : run.acks) {
    if (!w.key.starts_with("during/")) continue;
    ++during;
    EXPECT_EQ(w.path, WritePath::Fast) << w.key;
  }
  EXPECT_EQ(during, static_cast<std::size_t>(kDuringFlush));
  EXPECT_EQ(run.durable_seq, run.acks.size());
  model.absorb(run);
  model.verify();
}

TEST(CrashTest, ConcurrentWritersSurviveKillsAtRandomMoments) {
  TempDir dir;
  const std::string root = dir.file("db");
  Config config = crash_config(2, true);
  config.memtable_max_bytes = 8192;
  CrashModel model(root, config);
  std::mt19937_64 rng(42);
  for (int it = 0; it < 6 / kScale && !HasFailure(); ++it) {
    SCOPED_TRACE("iteration " + std::to_string(it));
    KillPlan plan;
    plan.after_acks = 300 + rng() % 1200;
    const ChildRun run = run_child(
        [&](ChildReporter& r) {
          install_child_hooks(r);
          ChildDb db(r, root, config, /*one_writer=*/false);
          // Three writers on two shards: puts of one shard thread and the fast path interleave.
          // Each round ends with a barrier (drop and reopen).
          for (int round = 0; round < 100; ++round) {
            std::vector<std::thread> writers;
            for (int t = 0; t < 3; ++t) {
              writers.emplace_back([&, t] {
                for (int i = 0; i < 100; ++i) {
                  const std::string key = "t" + std::to_string(t) + "/" + std::to_string(i % 50);
                  auto ts = db.put(key, make_doc(it * 1000 + round, i, 100));
                  if (!ts) r.fail("put: " + ts.error().to_string());
                }
              });
            }
            for (std::thread& w : writers) w.join();
            db.barrier();
          }
        },
        plan);
    ASSERT_TRUE(run.killed && !run.finished) << run.ending;
    ASSERT_GT(run.durable_seq, 0u);
    model.absorb(run);
    model.verify();
  }
}

// ---- log writes of the group-commit thread that fail ----

// Fast writes are acknowledged before their frames are written. When the group-commit thread's
// writes fail, the frames are kept and written by a later pass, or, when they still fail at the
// close, the shard writes its memtable into a table file; when that fails too, the loss is
// reported. A file system without space reserved ahead is tried too.
TEST(CrashTest, FastWritesWhoseLogWritesFailAreKeptThroughTheClose) {
  const FileMatch group_log_write{FileOp::Write, FaultPhase::Before, ".wal", "quenlordb-group"};
  const FileMatch table_create{FileOp::Open, FaultPhase::Before, ".sst"};
  const FaultRule no_reserve = FaultRule::fail_every({FileOp::Allocate, FaultPhase::Before, ".wal"}, EOPNOTSUPP);
  struct Case {
    const char* name;
    std::vector<FaultRule> faults;
    bool writes_succeed_later;  // a barrier then sees every frame in its log
    bool flush_at_close_fails;  // the fast writes of the failing shards are lost, and reported
  };
  std::vector<Case> cases;
  for (bool reserve : {true, false}) {
    std::vector<FaultRule> base;
    if (!reserve) base.push_back(no_reserve);
    auto with = [&](std::vector<FaultRule> more) {
      for (const FaultRule& r : base) more.push_back(r);
      return more;
    };
    cases.push_back({reserve ? "writes fail three times" : "no reserve, writes fail three times",
                     with({{group_log_write, 1, Action::Fail, EIO}, {group_log_write, 2, Action::Fail, ENOSPC},
                           {group_log_write, 3, Action::Fail, EIO}}),
                     true, false});
    cases.push_back({reserve ? "writes fail through the close" : "no reserve, writes fail through the close",
                     with({FaultRule::fail_every(group_log_write, EIO)}), false, false});
  }
  cases.push_back({"writes and the flush at the close fail",
                   {FaultRule::fail_every(group_log_write, EIO), FaultRule::fail_every(table_create, ENOSPC)},
                   false, true});

  for (const Case& tc : cases) {
    SCOPED_TRACE(tc.name);
    TempDir dir;
    const std::string root = dir.file("db");
    Config config = crash_config(2, true);
    // Flushes (and their table files) during the run, unless table files cannot be created.
    if (tc.flush_at_close_fails) config.memtable_max_bytes = 4 << 20;
    CrashModel model(root, config);
    const ChildRun run = run_child(
        [&](ChildReporter& r) {
          install_child_hooks(r);
          arm_faults(tc.faults);
          {
            ChildDb db(r, root, config);
            Workload w;
            w.puts = 300;
            w.max_doc = 40;
            run_puts(r, db, w);
            if (tc.writes_succeed_later) db.barrier();
            if (tc.flush_at_close_fails) db.forget_pending();
          }  // the close: the group-commit thread drains, the shards shut down
          r.durable();
          r.done();
        },
        KillPlan{});
    ASSERT_TRUE(run.finished) << run.ending;
    std::size_t fast = 0;
    for (const AckedWrite& w : run.acks) fast += w.path == WritePath::Fast;
    EXPECT_GT(fast, 0u);
    std::size_t lost = 0;
    for (const std::string& note : run.notes) {
      const std::size_t at = note.find(" acknowledged writes lost");
      if (at == std::string::npos) continue;
      lost += std::stoull(note.substr(note.rfind(' ', at - 1) + 1));
    }
    EXPECT_EQ(lost, tc.flush_at_close_fails ? fast : 0u);
    model.absorb(run);
    model.verify();
  }
}

// ---- a group-commit thread that could not open its log handles ----

TEST(CrashTest, WithoutAGroupCommitThreadEveryPutIsDurableOnceAcknowledged) {
  TempDir dir;
  const std::string root = dir.file("db");
  const Config config = crash_config(2, true);
  CrashModel model(root, config);
  for (std::size_t kill_after : {40u, 170u}) {
    const ChildRun run = run_child(
        [&](ChildReporter& r) {
          install_child_hooks(r);
          arm_faults({{{FileOp::Open, FaultPhase::Before, "shard-1.wal", "quenlordb-group"}, 1, Action::Fail, EACCES}});
          ChildDb db(r, root, config);
          Workload w;
          w.seed = kill_after;
          run_puts(r, db, w);
        },
        KillPlan{kill_after});
    ASSERT_TRUE(run.killed && !run.finished) << run.ending;
    for (const AckedWrite& w : run.acks) ASSERT_EQ(w.path, WritePath::Shard) << "fast write acknowledged";
    model.absorb(run);
    model.verify();
  }
}

}  // namespace
}  // namespace quenlordb::engine
