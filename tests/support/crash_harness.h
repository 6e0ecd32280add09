// Crash-safety harness: runs a workload in a forked child process that reports every acknowledged
// write over a pipe, kills it with SIGKILL (at a moment the parent picks, or at a named point inside
// the file layer), and checks in the parent, on the directory the child left behind, that nothing
// acknowledged as durable was lost.
//
// Fork safety: run_child forks the calling process, so the caller must not have any thread of its
// own running (in particular no open Database; ThreadSanitizer's own thread aside) when it calls it. The child opens its database
// itself, after the fork, and never returns into the caller: it ends by SIGKILL or _exit.
//
// What counts as durable (the process-crash model: data written with write(2) survives the kill):
//   - a put executed by a shard thread, once it has returned: the thread wrote the log frame first;
//   - a put taken by the fast write path, once a barrier has seen its frame in the shard's log (or a
//     flush has put the version into a table file), or once the database was dropped.
#pragma once

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "config.h"
#include "engine/database.h"
#include "error.h"
#include "support/fault_hook.h"
#include "util/file.h"

namespace quenlordb::testing {

inline constexpr std::uint64_t kForeverTs = ~0ULL;

enum class WritePath : std::uint8_t {
  Shard = 1,    // executed by the shard thread: durable once acknowledged
  Fast = 2,     // taken by the fast write path: durable once a barrier reports it
  Unknown = 3,  // not determined (several writing threads): durable once a barrier reports it
};

struct AckedWrite {
  std::string key;
  std::uint64_t doc_hash = 0;  // doc_hash() of the document
  std::uint64_t commit_ts = 0;
  WritePath path = WritePath::Unknown;
  std::uint64_t seq = 0;  // 1-based position among the child's reports of acknowledged writes
};

std::uint64_t doc_hash(std::string_view doc);

// ---- child side ----

// The child's end of the pipe. Each report is one write(2) of at most PIPE_BUF bytes, so the parent
// sees it whole or not at all, whenever the child dies. Usable from several threads at once.
class ChildReporter {
 public:
  explicit ChildReporter(int fd) : fd_(fd) {}

  // Reports an acknowledged write (its document's doc_hash); call only after the engine call
  // returned.
  void acked(std::string_view key, std::uint64_t hash, std::uint64_t commit_ts, WritePath path);
  // Every write acknowledged so far is durable, except those reported not_durable.
  void durable();
  // This acknowledged write may be lost, whatever a durable report says.
  void not_durable(std::string_view key, std::uint64_t commit_ts);
  // Free text for the parent (e.g. a captured log event).
  void note(std::string_view text);
  [[noreturn]] void fail(std::string_view text);
  // The workload is over; waits for the parent's SIGKILL.
  [[noreturn]] void done();

 private:
  void send(std::uint8_t type, std::uint8_t path, std::string_view bytes, std::uint64_t hash, std::uint64_t ts);

  int fd_;
};

// Installs the child's hook: it counts log writes of shard threads (to tell which path a put took)
// and log truncations, and applies the armed rules. Also forwards engine log events as notes.
void install_child_hooks(ChildReporter& reporter);
// Replaces the armed rules (their counts start at zero).
void arm_faults(std::vector<FaultRule> rules);
// Whether the rule at this position of the last arm_faults has acted.
bool fault_fired(std::size_t index);

// A database in the child whose puts are reported. Opening failure ends the child with a report.
class ChildDb {
 public:
  // With `one_writer`, the write path of each put is determined (only one thread writes); otherwise
  // puts are reported with WritePath::Unknown and barrier() drops and reopens the database.
  ChildDb(ChildReporter& reporter, std::string root, Config config, bool one_writer = true);
  ~ChildDb();

  // A put through the facade, reported once it returned successfully. May be called by a second
  // thread while the first waits in a put that the shard thread is executing (its path is still
  // determined: the shard thread writes nothing for the second thread's puts meanwhile).
  Result<std::uint64_t> put(std::string_view key, std::string doc, std::uint64_t valid_from = 0,
                            std::uint64_t valid_to = kForeverTs, std::optional<std::uint64_t> write_tag = std::nullopt);
  // Makes every write acknowledged so far durable and reports it: waits until each pending fast
  // write's frame is in its shard's log or its log was truncated since it was acknowledged (with one
  // writer that means a flush wrote it into a table file); fails the child after 10 s. Without
  // `one_writer`: drops and reopens the database.
  void barrier();
  // Forgets the fast writes not yet made durable (their frames were dropped on purpose) and reports
  // them not durable: a later barrier does not wait for them.
  void forget_pending();
  // While set, fast writes are durable only once their frame is in the log: a truncation of the log
  // after they were acknowledged proves nothing when a flush was already under way.
  void set_flush_under_way(bool on) { flush_under_way_.store(on); }
  engine::Database& db() { return *db_; }

 private:
  struct Pending {
    std::string key;
    std::uint64_t commit_ts;
    std::size_t shard;
    std::string frame;
    std::optional<std::uint64_t> truncations;  // of the shard's log when acknowledged
  };
  void open();

  ChildReporter& reporter_;
  std::string root_;
  Config config_;
  bool one_writer_;
  std::unique_ptr<engine::Database> db_;
  std::mutex pending_mu_;
  std::vector<Pending> pending_;  // guarded by pending_mu_
  std::atomic<bool> flush_under_way_{false};
};

// ---- parent side ----

struct ChildRun {
  std::vector<AckedWrite> acks;  // in report order
  std::uint64_t durable_seq = 0;  // acks with seq <= this were reported durable...
  std::set<std::pair<std::string, std::uint64_t>> not_durable;  // ...except these (key, commit_ts)
  std::vector<std::string> notes;
  std::optional<std::string> failure;  // the child's own failure report
  bool finished = false;  // the child reported done (the parent then killed it)
  bool killed = false;    // the child ended by SIGKILL
  std::string ending;     // how the child ended, for messages: "signal 9", "exit status 3: ..."
  bool timed_out = false;
};

struct KillPlan {
  // SIGKILL once this many acks have been read (after `delay`); none: wait for the child to die at
  // a crash point or to report done.
  std::optional<std::size_t> after_acks;
  std::chrono::microseconds delay{0};
  std::chrono::seconds timeout{60};
};

// Forks, runs body(reporter) in the child, collects its reports until it dies (killing it as
// planned) and waits for it. See the fork-safety note at the top.
ChildRun run_child(const std::function<void(ChildReporter&)>& body, const KillPlan& plan);

// What the parent knows about a database directory across crashes: the writes that must be there,
// and those that were acknowledged but may have been lost.
class CrashModel {
 public:
  CrashModel(std::string root, Config config);

  // Takes a child's reports: durable writes join the model, the others are kept as maybe lost.
  // Checks the child's commit timestamps: above everything stored before it started, unique per
  // shard. Fails the test on a child failure report or a timeout.
  void absorb(const ChildRun& run);

  // Checks the directory as the crash left it, then reopens it in this process: MANIFEST.json parses,
  // every table file it names exists and reads, no file id twice; after the reopen no table file it
  // does not name is left in a shard directory; every durable write is readable at
  // its own commit timestamp with its document; scan_prefix("") agrees with get for every key; a new
  // write in each shard gets a timestamp above every stored one of that shard. Maybe-lost writes
  // found are durable from then on. The database is closed again before returning.
  void verify();

  std::size_t durable_count() const { return durable_.size(); }
  const std::vector<AckedWrite>& durable() const { return durable_; }

 private:
  std::size_t shard_of(std::string_view key) const;

  std::string root_;
  Config config_;
  std::vector<AckedWrite> durable_;
  std::vector<AckedWrite> maybe_;
  // Per shard: every commit timestamp a new write may get is above this.
  std::vector<std::uint64_t> floor_;
  std::uint64_t next_probe_ = 0;
};

// Checks MANIFEST.json and the table files it names (see CrashModel::verify).
void check_manifest_and_tables(const std::string& root, std::uint64_t shard_count);

}  // namespace quenlordb::testing
