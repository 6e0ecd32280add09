// The engine's front door: opens a database directory, starts one thread per shard (and the
// group-commit thread), routes each key to its shard (hash64(key) % shard_count), reads on the
// caller's thread and writes through the fast write path or the shard threads. Destroying the
// Database shuts everything down in a fixed order; every write acknowledged before is durable on
// disk afterwards. All operations may be called from several threads at once.
//
// What callers must know:
// - Commit timestamps are per shard: each shard counts its own. A timestamp that put
//   returns names a moment of that key's shard only, and one as_of is compared with each shard's
//   own counter, so it means a different moment in each shard.
// - A scan's snapshot is taken shard by shard: without as_of each shard reads at its own committed
//   timestamp when the scan reaches it, so writes that land meanwhile may show in a later shard and
//   not in an earlier one. There is no snapshot common to all shards.
// - put can return an error after its version was committed: the shard thread logs, inserts and
//   publishes the version, and a flush that then fails is the put's error (as is a shard thread that
//   ends before replying). The version is visible and will be replayed; a caller must not blindly
//   retry, which writes a second version.
//
// Two operations reach layers above the engine, which the engine library does not link:
// - Database::sql is declared here and defined in the SQL execution layer (src/sql/exec/
//   database_sql.cc), which hands the script to its executor; a program that calls it links that
//   layer. The result type is only declared here: callers include "sql/exec/sql_result.h".
// - The insight runtime (src/ai) is started through a hook (engine/insight_service.h): open takes an
//   optional InsightStarter, which it calls when ai_enabled is on; the Database owns the service it
//   returns and stops it after the group-commit thread and before the shards. With ai_enabled on and
//   no starter, open fails.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "config.h"
#include "engine/batch_doc.h"
#include "engine/prefix_scan_row.h"
#include "error.h"

namespace quenlordb::sql::exec {
struct SqlResult;
}

namespace quenlordb::engine {

class InsightService;
struct InsightFeed;
using InsightStarter = Result<std::unique_ptr<InsightService>> (*)(InsightFeed feed);

struct DbStats {
  std::uint64_t shard_count = 0;
  std::uint64_t writes = 0;  // writes executed by shard threads (not those of the fast write path)
  std::uint64_t reads = 0;
  std::uint64_t flushes = 0;
  std::uint64_t compactions = 0;
  std::uint64_t bloom_negatives = 0;
  std::uint64_t block_reads = 0;

  friend bool operator==(const DbStats&, const DbStats&) = default;
};

// How a point read went: the first table file probed (block examined, bloom answer), the shard the
// key routed to and the snapshot used.
struct GetExplain {
  std::optional<std::uint64_t> sstable_block;
  std::uint64_t shard_id = 0;
  std::uint64_t commit_ts_used = 0;
  std::optional<bool> bloom_hit;

  friend bool operator==(const GetExplain&, const GetExplain&) = default;
};

// The refusal put gives a key longer than kMaxKeyBytes: Io "key is too long ({n} bytes; at most
// 65536)"; for writers that check their keys before the first of several writes.
Result<void> check_key_length(std::string_view key);

// How Database::visit_get_many uses threads. A batch of at least 2 * min_keys keys is cut into
// runs of consecutive keys of one shard, at least min_keys each (but the last of a shard), that up
// to max_threads threads read at once (the calling thread among them; started for the batch and
// joined before it returns), each run's documents copied for the calling thread, which visits them
// as a read on one thread would, in the same order and, when a read fails, up to the same key.
// Rounds of runs hold at most some thousands of keys per thread, so that the copies stay bounded.
// Smaller batches, and any batch when max_threads is below 2, are read on the calling thread alone.
struct BatchReadThreads {
  std::size_t max_threads = 0;
  std::size_t min_keys = 0;
};
// The default: as many threads as the hardware has, from runs of 1024 keys (some hundreds of
// microseconds of reading each, against some tens for starting a thread).
BatchReadThreads default_batch_read_threads();
// The setting in force for the process: the default unless set_batch_read_threads changed it.
BatchReadThreads batch_read_threads();
// Sets it for every later batch of the process, or back to the default with nullopt; for tests.
void set_batch_read_threads(std::optional<BatchReadThreads> threads);

class Database {
 public:
  // Validates the config, creates the directory (and from then on names it by its canonical
  // absolute path), loads or creates the manifest and starts the threads, with start_insights
  // starting the insight runtime when ai_enabled is on. A failed open
  // leaves nothing running.
  static Result<std::unique_ptr<Database>> open(const std::string& path, const Config& config,
                                                InsightStarter start_insights = nullptr);

  Database(const Database&) = delete;
  Database& operator=(const Database&) = delete;
  ~Database();

  // Writes a new version of key valid on [valid_from, valid_to); returns its commit timestamp (of
  // the key's shard). An error does not always mean that nothing was written (see above). A key
  // longer than kMaxKeyBytes fails with "key is too long ({n} bytes; at most 65536)" before anything
  // is written.
  Result<std::uint64_t> put(std::string_view key, std::string doc, std::uint64_t valid_from, std::uint64_t valid_to,
                            std::optional<std::uint64_t> write_tag = std::nullopt);

  // The newest version visible at as_of (default: the shard's committed timestamp) and valid at
  // valid_at (default: any); none when there is no such version.
  Result<std::optional<std::string>> get(std::string_view key, std::optional<std::uint64_t> as_of = std::nullopt,
                                         std::optional<std::uint64_t> valid_at = std::nullopt);

  // The same read, handing the document to visit as a view valid only during its call instead of
  // copying it; visit is not called when there is no such version. Answers whether there is.
  Result<bool> visit_get(std::string_view key, util::FunctionRef<void(std::string_view doc)> visit,
                         std::optional<std::uint64_t> as_of = std::nullopt,
                         std::optional<std::uint64_t> valid_at = std::nullopt);

  // What a read of key without as_of and valid_at answers is fixed by this stamp: the database
  // (a number no other Database of the process has) and the snapshot such a read would use now,
  // the committed timestamp of key's shard. Writes are published in timestamp order, each after
  // its versions are in place, so while the stamp stays the same every such read of a key of that
  // shard gives the same answer, the one a read at as_of = snapshot gives. Reads nothing, counts
  // no read.
  struct ReadStamp {
    std::uint64_t database = 0;
    std::uint64_t snapshot = 0;

    friend bool operator==(const ReadStamp&, const ReadStamp&) = default;
  };
  ReadStamp read_stamp(std::string_view key) const;

  // The same per shard, for answers that read several shards: shard_stamp(i) is read_stamp of a key
  // of shard i, for i below shard_count(). A read without as_of that visits shard i (a prefix scan
  // visits every shard) reads it at its stamp's snapshot when that stamp is the same before and
  // after the read. shard_of_key names the shard of a key, as read_stamp and put route it.
  std::size_t shard_count() const;
  std::size_t shard_of_key(std::string_view key) const;
  ReadStamp shard_stamp(std::size_t shard) const;

  // visit_get of each of keys, handing visit(i, doc) the document of keys[i] for each key that has
  // a version, unless skip (when given) answers true for it. The keys are read shard by shard, in
  // ascending key order within a shard, so visits come in no particular order of i; a key given
  // twice is visited twice. Each shard is read at one snapshot (without as_of, its committed
  // timestamp when its reads start). An error visit returns ends the reads with it. A large batch
  // is read on threads (see BatchReadThreads); visit is called on the calling thread only.
  using BatchVisitor = util::FunctionRef<Result<void>(std::size_t i, const BatchDoc& doc)>;
  Result<void> visit_get_many(std::span<const std::string_view> keys, BatchVisitor visit,
                              std::optional<std::uint64_t> as_of = std::nullopt,
                              std::optional<std::uint64_t> valid_at = std::nullopt,
                              const BatchReadSkip* skip = nullptr);

  Result<GetExplain> explain_get(std::string_view key, std::optional<std::uint64_t> as_of = std::nullopt,
                                 std::optional<std::uint64_t> valid_at = std::nullopt);

  // Every key beginning with prefix, newest visible version each, in key order across shards; at most
  // limit rows (the smallest keys) when a limit is given. Each shard is read at its own snapshot.
  // The result owns the rows' bytes. Damage met past the limit is still an error.
  Result<PrefixScanRows> scan_prefix(std::string_view prefix, std::optional<std::uint64_t> as_of = std::nullopt,
                                     std::optional<std::uint64_t> valid_at = std::nullopt,
                                     std::optional<std::uint64_t> limit = std::nullopt);
  // The same rows in the same order, handed one at a time to visit as views valid only during its
  // call, so that a caller copies only what it keeps. An error visit returns ends the scan with that
  // error; an error of the scan itself can come after some rows were visited. A scan that reads on
  // threads of its own may leave out, without a limit, the rows skip answers true for.
  Result<void> visit_prefix(std::string_view prefix, PrefixScanVisitor visit,
                            std::optional<std::uint64_t> as_of = std::nullopt,
                            std::optional<std::uint64_t> valid_at = std::nullopt,
                            std::optional<std::uint64_t> limit = std::nullopt,
                            const PrefixScanSkip* skip = nullptr);

  Result<DbStats> stats();

  // Puts every write acknowledged before the call into its shard's log before returning: the fast
  // write path's frames still queued are written now (the shard threads wrote theirs before they
  // replied). A write acknowledged before the call therefore reaches the log no later than one
  // acknowledged after it, also on another shard and also when the process is killed in between;
  // the group-commit thread syncs these frames before it writes later ones. Waits while a shard
  // holding queued frames flushes. Fails when a frame cannot be written (it stays queued).
  Result<void> log_acknowledged_writes();

  // Runs an SQL script; the result of its last statement. Defined by the SQL execution layer.
  Result<sql::exec::SqlResult> sql(std::string_view script);

  const Config& config() const;
  // The directory the database was opened at: its canonical absolute path, resolved once at open.
  const std::string& path() const;

 private:
  struct State;
  explicit Database(std::unique_ptr<State> state);

  std::unique_ptr<State> state_;
};

}  // namespace quenlordb::engine
