// Memory running out while the engine executes a write: the write either fails with an error and
// leaves no version, now or after a reopen, or succeeds; and the shard goes on serving.
#include <gtest/gtest.h>

#include <set>
#include <string>

#include "engine/database.h"
#include "engine_test_util.h"
#include "storage/manifest.h"
#include "support/alloc_fault.h"
#include "support/temp_dir.h"
#include "util/file.h"

namespace quenlordb::engine {
namespace {

using quenlordb::testing::AllocationFailure;
using quenlordb::testing::TempDir;
using testing::must;
using testing::open_db;
using testing::test_config;

constexpr std::uint64_t kForever = ~0ULL;
constexpr std::size_t kDocBytes = 2 << 20;
// Only the big put's own copies (its value, log frame, memtable entry, table blocks) are this large.
constexpr std::size_t kLargeBytes = 1 << 20;

// Fails, in turn, each large allocation that a 2 MiB put makes: building its value and frame,
// inserting it, and the flush its full memtable starts (table blocks and output buffer). The shard
// threads' path and the fast path, each with and without a flush.
TEST(OutOfMemoryTest, EveryFailedAllocationOfAPutFailsItCleanlyOrLetsItSucceed) {
  for (bool group_commit : {false, true}) {
    int failures_seen = 0;
    for (std::size_t nth = 1;; ++nth) {
      SCOPED_TRACE((group_commit ? "group commit, allocation " : "shard threads, allocation ") + std::to_string(nth));
      TempDir dir;
      Config c = test_config(1, group_commit);
      c.memtable_max_bytes = kDocBytes;  // the big put fills the memtable: its flush check flushes
      const std::string doc(kDocBytes, static_cast<char>('a' + nth % 26));
      std::optional<std::uint64_t> big;
      bool fired;
      {
        auto db = open_db(dir.file("db"), c);
        must(db->put("before", "1", 0, kForever));
        Result<std::uint64_t> put = fail(QuenlorError::not_found());
        std::string arg = doc;  // copied before arming: only the engine's own copies count
        {
          AllocationFailure failure(nth, kLargeBytes);
          put = db->put("big", std::move(arg), 0, kForever);
          fired = failure.disarm();
        }
        if (put) {
          big = *put;
          EXPECT_EQ(must(db->get("big")), doc);
        } else {
          EXPECT_EQ(put.error().to_string(), "io error: Cannot allocate memory (os error 12)");
          EXPECT_EQ(must(db->get("big", kForever)), std::nullopt) << "a failed put left its version";
          ++failures_seen;
        }
        // The shard thread is still there.
        must(db->put("after", "2", 0, kForever));
        EXPECT_EQ(must(db->stats()).shard_count, 1u);
      }
      auto db = open_db(dir.file("db"), c);
      EXPECT_EQ(must(db->get("before")), "1");
      EXPECT_EQ(must(db->get("after")), "2");
      if (big) {
        EXPECT_EQ(must(db->get("big", *big)), doc);
      } else {
        EXPECT_EQ(must(db->get("big", kForever)), std::nullopt);
      }
      if (!fired) break;  // nth went past the put's last large allocation
    }
    EXPECT_GT(failures_seen, 0);
  }
}

// A long key is listed twice per table file in the manifest (its first and last key), which makes the
// manifest's text large. Fails, in turn, each large allocation of a put whose flush check flushes,
// saves the manifest, compacts and saves it again, and of the close that saves it at the end: the
// put succeeds or fails cleanly, the next flush saves a manifest that names every live table file,
// and the close ends.
TEST(OutOfMemoryTest, FailedAllocationWhileSavingTheManifestFailsOnlyThatFlushOrCompaction) {
  const std::string long_key(48 << 10, 'k');
  auto key = [&](char last) { return long_key + last; };
  for (std::size_t nth = 1;; ++nth) {
    SCOPED_TRACE("allocation " + std::to_string(nth));
    TempDir dir;
    Config c = test_config(1);
    c.memtable_max_bytes = 1024;    // every put of a long key flushes
    c.compaction_l0_threshold = 1;  // the second flush compacts
    bool fired;
    std::optional<std::string> second;
    {
      auto db = open_db(dir.file("db"), c);
      must(db->put(key('1'), "one", 0, kForever));
      Result<std::uint64_t> put = fail(QuenlorError::not_found());
      std::string arg = key('2');
      {
        AllocationFailure failure(nth, 512 << 10);
        put = db->put(std::move(arg), "two", 0, kForever);
        fired = failure.disarm();
      }
      if (put) second = "two";
      EXPECT_EQ(must(db->get(key('2'))), second);
      // The shard goes on, and its next flush check flushes and saves again.
      must(db->put(key('3'), "three", 0, kForever));
      EXPECT_EQ(must(db->get(key('1'))), "one");
      // Closing saves once more, and ends whether that save runs out of memory or not.
      AllocationFailure failure(nth, 512 << 10);
      db.reset();
      fired = failure.disarm() || fired;
    }
    // The saved manifest names every table file the shard reads, and each of them exists.
    const storage::Manifest manifest = must(storage::Manifest::load_or_create(dir.file("db"), 1));
    const auto& names = manifest.state().shards[0].l0_files;
    EXPECT_FALSE(names.empty());
    for (const std::string& name : names) {
      EXPECT_TRUE(must(util::file_size_if_exists(dir.file("db/shard-0/" + name)))) << name;
    }
    auto db = open_db(dir.file("db"), c);
    EXPECT_EQ(must(db->get(key('1'))), "one");
    EXPECT_EQ(must(db->get(key('2'))), second);
    EXPECT_EQ(must(db->get(key('3'))), "three");
    if (!fired) break;
  }
}

}  // namespace
}  // namespace quenlordb::engine
