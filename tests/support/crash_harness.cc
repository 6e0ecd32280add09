#include "support/crash_harness.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <limits.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <mutex>
#include <set>
#include <sstream>
#include <thread>

#include "hasher.h"
#include "ledger/internal_key.h"
#include "ledger/record.h"
#include "storage/levels.h"
#include "storage/manifest.h"
#include "storage/sstable_reader.h"
#include "storage/wal.h"
#include "util/file.h"
#include "util/log.h"

namespace quenlordb::testing {

namespace {

// One report on the pipe: a fixed header, then `len` bytes (a key or a text).
//   offset  width  content
//   0       1      type (MsgType)
//   1       1      write path (acks)
//   2       2      len
//   4       4      zero
//   8       8      commit timestamp (acks)
//   16      8      document hash (acks)
//   24      len    bytes
enum class MsgType : std::uint8_t { Ack = 1, Durable = 2, Note = 3, Failure = 4, Done = 5, NotDurable = 6 };
constexpr std::size_t kMsgHeaderBytes = 24;
constexpr std::size_t kMaxMsgBytes = PIPE_BUF;

std::string wal_path_of(const std::string& root, std::size_t shard) {
  const std::string name = "shard-" + std::to_string(shard);
  return root + "/" + name + "/" + name + ".wal";
}

std::string read_whole_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

// ---- the child's file-layer hook ----

struct HookState {
  std::mutex mu;
  ChildReporter* reporter = nullptr;
  std::map<std::string, std::uint64_t> truncations;  // per log path, by shard threads
  FaultRules rules;
};

HookState& hook_state() {
  static HookState* state = new HookState;  // never destroyed: engine threads may still call in
  return *state;
}

std::atomic<std::uint64_t> g_shard_log_writes{0};

constexpr std::string_view kShardThreadName = "quenlordb-shard";

std::uint64_t truncations_of(const std::string& path) {
  HookState& h = hook_state();
  std::lock_guard lock(h.mu);
  auto it = h.truncations.find(path);
  return it == h.truncations.end() ? 0 : it->second;
}

int child_hook(util::FileOp op, util::FaultPhase phase, const std::string& path, std::size_t* len) {
  HookState& h = hook_state();
  if (phase == util::FaultPhase::After && path.ends_with(".wal") && current_thread_name_starts_with(kShardThreadName)) {
    if (op == util::FileOp::Write) g_shard_log_writes.fetch_add(1, std::memory_order_relaxed);
    if (op == util::FileOp::Truncate) {
      std::lock_guard lock(h.mu);
      ++h.truncations[path];
    }
  }
  std::function<void()> call;
  const int result = h.rules.apply(op, phase, path, len, call);
  if (call) call();  // without the rules' lock: the call may use the engine
  return result;
}

void child_log_sink(util::LogLevel, std::string_view text) {
  ChildReporter* reporter = hook_state().reporter;
  if (reporter != nullptr) reporter->note(text);
}

}  // namespace

std::uint64_t doc_hash(std::string_view doc) { return FnvMixHasher::hash(doc) ^ doc.size(); }

// ---- ChildReporter ----

void ChildReporter::send(std::uint8_t type, std::uint8_t path, std::string_view bytes, std::uint64_t hash,
                         std::uint64_t ts) {
  char buf[kMaxMsgBytes] = {};
  const std::uint16_t len = static_cast<std::uint16_t>(std::min(bytes.size(), kMaxMsgBytes - kMsgHeaderBytes));
  buf[0] = static_cast<char>(type);
  buf[1] = static_cast<char>(path);
  std::memcpy(buf + 2, &len, sizeof len);
  std::memcpy(buf + 8, &ts, sizeof ts);
  std::memcpy(buf + 16, &hash, sizeof hash);
  if (len > 0) std::memcpy(buf + kMsgHeaderBytes, bytes.data(), len);
  const std::size_t total = kMsgHeaderBytes + len;
  ssize_t n;
  do {
    n = ::write(fd_, buf, total);
  } while (n < 0 && errno == EINTR);
  if (n != static_cast<ssize_t>(total)) ::_exit(4);  // the parent is gone
}

void ChildReporter::acked(std::string_view key, std::uint64_t hash, std::uint64_t commit_ts, WritePath path) {
  send(static_cast<std::uint8_t>(MsgType::Ack), static_cast<std::uint8_t>(path), key, hash, commit_ts);
}

void ChildReporter::durable() { send(static_cast<std::uint8_t>(MsgType::Durable), 0, {}, 0, 0); }

void ChildReporter::not_durable(std::string_view key, std::uint64_t commit_ts) {
  send(static_cast<std::uint8_t>(MsgType::NotDurable), 0, key, 0, commit_ts);
}

void ChildReporter::note(std::string_view text) { send(static_cast<std::uint8_t>(MsgType::Note), 0, text, 0, 0); }

void ChildReporter::fail(std::string_view text) {
  send(static_cast<std::uint8_t>(MsgType::Failure), 0, text, 0, 0);
  ::_exit(3);
}

void ChildReporter::done() {
  send(static_cast<std::uint8_t>(MsgType::Done), 0, {}, 0, 0);
  while (true) ::pause();
}

// ---- hooks ----

void install_child_hooks(ChildReporter& reporter) {
  hook_state().reporter = &reporter;
  util::set_log_sink(child_log_sink);
  util::set_fault_hook(child_hook);
}

void arm_faults(std::vector<FaultRule> rules) { hook_state().rules.arm(std::move(rules)); }

bool fault_fired(std::size_t index) { return hook_state().rules.fired(index); }

// ---- ChildDb ----

ChildDb::ChildDb(ChildReporter& reporter, std::string root, Config config, bool one_writer)
    : reporter_(reporter), root_(std::move(root)), config_(config), one_writer_(one_writer) {
  open();
}

ChildDb::~ChildDb() = default;

void ChildDb::open() {
  auto db = engine::Database::open(root_, config_);
  if (!db) reporter_.fail("open failed: " + db.error().to_string());
  db_ = std::move(*db);
}

Result<std::uint64_t> ChildDb::put(std::string_view key, std::string doc, std::uint64_t valid_from,
                                   std::uint64_t valid_to, std::optional<std::uint64_t> write_tag) {
  const bool track = one_writer_ && config_.group_commit_enabled;
  const std::string value = track ? ledger::FactValue{valid_from, valid_to, doc}.encode() : std::string();
  const std::uint64_t hash = doc_hash(doc);
  const std::uint64_t shard_writes = g_shard_log_writes.load(std::memory_order_relaxed);
  const std::uint64_t ts = TRY(db_->put(key, std::move(doc), valid_from, valid_to, write_tag));
  WritePath path = WritePath::Unknown;
  if (one_writer_) {
    path = g_shard_log_writes.load(std::memory_order_relaxed) != shard_writes ? WritePath::Shard : WritePath::Fast;
  }
  if (path == WritePath::Fast) {
    const std::size_t shard = FnvMixHasher::hash(key) % config_.shard_count;
    std::string frame = storage::encode_wal_frame(ledger::encode_internal_key(key, ts), value, write_tag).value();
    std::optional<std::uint64_t> truncations;
    if (!flush_under_way_.load()) truncations = truncations_of(wal_path_of(root_, shard));
    std::lock_guard lock(pending_mu_);
    pending_.push_back(Pending{std::string(key), ts, shard, std::move(frame), truncations});
  }
  reporter_.acked(key, hash, ts, path);
  return ts;
}

void ChildDb::forget_pending() {
  std::lock_guard lock(pending_mu_);
  for (const Pending& p : pending_) reporter_.not_durable(p.key, p.commit_ts);
  pending_.clear();
}

void ChildDb::barrier() {
  if (!one_writer_) {
    db_.reset();  // the drop writes every queued frame
    open();
    reporter_.durable();
    return;
  }
  std::lock_guard lock(pending_mu_);
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (!pending_.empty()) {
    std::map<std::size_t, std::string> logs;
    std::erase_if(pending_, [&](const Pending& p) {
      const std::string path = wal_path_of(root_, p.shard);
      if (p.truncations && truncations_of(path) != *p.truncations) return true;
      auto [it, fresh] = logs.try_emplace(p.shard);
      if (fresh) it->second = read_whole_file(path);
      return it->second.find(p.frame) != std::string::npos;
    });
    if (pending_.empty()) break;
    if (std::chrono::steady_clock::now() > deadline)
      reporter_.fail("barrier: " + std::to_string(pending_.size()) + " fast writes never reached their log");
    std::this_thread::sleep_for(std::chrono::microseconds(200));
  }
  reporter_.durable();
}

// ---- run_child ----

namespace {

// Threads of the process that are not the test's: ThreadSanitizer's runtime keeps one of its own
// (once it has started it), which the child does not need.
#if defined(__SANITIZE_THREAD__)
constexpr std::ptrdiff_t kRuntimeThreads = 1;
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer)
constexpr std::ptrdiff_t kRuntimeThreads = 1;
#else
constexpr std::ptrdiff_t kRuntimeThreads = 0;
#endif
#else
constexpr std::ptrdiff_t kRuntimeThreads = 0;
#endif

}  // namespace

ChildRun run_child(const std::function<void(ChildReporter&)>& body, const KillPlan& plan) {
  ChildRun run;
  // A thread the parent joined a moment ago can still be listed while the kernel finishes it.
  auto count_threads = [] { return std::distance(std::filesystem::directory_iterator("/proc/self/task"), {}); };
  auto only_this_thread = [](std::ptrdiff_t threads) { return threads >= 1 && threads <= 1 + kRuntimeThreads; };
  auto threads = count_threads();
  for (int i = 0; i < 200 && !only_this_thread(threads); ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
    threads = count_threads();
  }
  if (!only_this_thread(threads)) {
    ADD_FAILURE() << "run_child needs a process without other threads; this one has " << threads;
    return run;
  }
  int fds[2];
  if (::pipe2(fds, O_CLOEXEC) != 0) {
    ADD_FAILURE() << "pipe2: " << std::strerror(errno);
    return run;
  }
  std::fflush(nullptr);
  const pid_t pid = ::fork();
  if (pid < 0) {
    ADD_FAILURE() << "fork: " << std::strerror(errno);
    return run;
  }
  if (pid == 0) {
    ::close(fds[0]);
    ::prctl(PR_SET_PDEATHSIG, SIGKILL);
    ChildReporter reporter(fds[1]);
    try {
      body(reporter);
    } catch (const std::exception& e) {
      reporter.fail(std::string("exception: ") + e.what());
    } catch (...) {
      reporter.fail("unknown exception");
    }
    reporter.done();
  }
  ::close(fds[1]);

  const auto start = std::chrono::steady_clock::now();
  bool kill_sent = false;
  auto kill_child = [&] {
    if (!kill_sent) ::kill(pid, SIGKILL);
    kill_sent = true;
  };
  std::string buf;
  char chunk[65536];
  while (true) {
    pollfd p{fds[0], POLLIN, 0};
    const int ready = ::poll(&p, 1, 50);
    if (ready > 0) {
      const ssize_t n = ::read(fds[0], chunk, sizeof chunk);
      if (n == 0) break;  // the child is gone
      if (n < 0) {
        if (errno == EINTR) continue;
        ADD_FAILURE() << "read: " << std::strerror(errno);
        break;
      }
      buf.append(chunk, static_cast<std::size_t>(n));
    }
    std::size_t pos = 0;
    while (buf.size() - pos >= kMsgHeaderBytes) {
      const char* m = buf.data() + pos;
      std::uint16_t len;
      std::memcpy(&len, m + 2, sizeof len);
      if (buf.size() - pos < kMsgHeaderBytes + len) break;
      const std::string bytes(m + kMsgHeaderBytes, len);
      switch (static_cast<MsgType>(m[0])) {
        case MsgType::Ack: {
          AckedWrite w;
          w.key = bytes;
          w.path = static_cast<WritePath>(m[1]);
          std::memcpy(&w.commit_ts, m + 8, sizeof w.commit_ts);
          std::memcpy(&w.doc_hash, m + 16, sizeof w.doc_hash);
          w.seq = run.acks.size() + 1;
          run.acks.push_back(std::move(w));
          break;
        }
        case MsgType::Durable: run.durable_seq = run.acks.size(); break;
        case MsgType::NotDurable: {
          std::uint64_t ts;
          std::memcpy(&ts, m + 8, sizeof ts);
          run.not_durable.emplace(bytes, ts);
          break;
        }
        case MsgType::Note: run.notes.push_back(bytes); break;
        case MsgType::Failure: run.failure = bytes; break;
        case MsgType::Done:
          run.finished = true;
          kill_child();
          break;
      }
      pos += kMsgHeaderBytes + len;
    }
    buf.erase(0, pos);
    if (!kill_sent && plan.after_acks && run.acks.size() >= *plan.after_acks) {
      if (plan.delay.count() > 0) std::this_thread::sleep_for(plan.delay);
      kill_child();
    }
    if (!kill_sent && std::chrono::steady_clock::now() - start > plan.timeout) {
      run.timed_out = true;
      kill_child();
    }
  }
  ::close(fds[0]);
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  run.killed = WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL;
  if (WIFSIGNALED(status)) {
    run.ending = "signal " + std::to_string(WTERMSIG(status));
  } else {
    run.ending = "exit status " + std::to_string(WEXITSTATUS(status));
  }
  if (run.failure) run.ending += ": " + *run.failure;
  return run;
}

// ---- CrashModel ----

CrashModel::CrashModel(std::string root, Config config)
    : root_(std::move(root)), config_(config), floor_(config.shard_count, 0) {}

std::size_t CrashModel::shard_of(std::string_view key) const {
  return FnvMixHasher::hash(key) % config_.shard_count;
}

void CrashModel::absorb(const ChildRun& run) {
  EXPECT_FALSE(run.failure) << "child failed: " << run.failure.value_or("");
  EXPECT_FALSE(run.timed_out) << "child timed out";
  std::vector<std::set<std::uint64_t>> seen(config_.shard_count);
  for (const AckedWrite& w : run.acks) {
    const std::size_t shard = shard_of(w.key);
    EXPECT_GT(w.commit_ts, floor_[shard]) << "commit timestamp of " << w.key << " not above what was stored";
    EXPECT_TRUE(seen[shard].insert(w.commit_ts).second) << "commit timestamp " << w.commit_ts << " given twice";
    if (!config_.group_commit_enabled) {
      EXPECT_NE(w.path, WritePath::Fast) << "a fast write without group commit";
    }
    const bool durable = w.path == WritePath::Shard ||
                         (w.seq <= run.durable_seq && !run.not_durable.contains({w.key, w.commit_ts}));
    (durable ? durable_ : maybe_).push_back(w);
  }
}

void check_manifest_and_tables(const std::string& root, std::uint64_t shard_count) {
  auto text = util::read_file(root + "/" + std::string(storage::kManifestFileName));
  ASSERT_TRUE(text) << "MANIFEST.json: " << text.error().to_string();
  auto state = storage::decode_manifest_state(*text);
  ASSERT_TRUE(state) << "MANIFEST.json: " << state.error().to_string();
  ASSERT_EQ(state->shards.size(), shard_count);
  std::set<std::uint64_t> shard_ids;
  std::set<std::uint64_t> file_ids;
  for (const storage::ManifestShardState& shard : state->shards) {
    EXPECT_TRUE(shard_ids.insert(shard.shard_id).second) << "shard " << shard.shard_id << " listed twice";
    const std::string dir = root + "/shard-" + std::to_string(shard.shard_id);
    std::set<std::string> names;
    for (const std::string& name : shard.l0_files) {
      EXPECT_TRUE(names.insert(name).second) << name << " named twice";
      const std::size_t dash = name.find('-');
      const std::size_t dot = name.rfind(".sst");
      ASSERT_TRUE(dash != std::string::npos && dot != std::string::npos && dot > dash) << name;
      const std::uint64_t id = std::stoull(name.substr(dash + 1, dot - dash - 1));
      EXPECT_TRUE(file_ids.insert(id).second) << "file id " << id << " named twice (" << name << ")";
      EXPECT_LT(id, state->next_file_id) << name;
      auto reader = storage::SsTableReader::open(dir + "/" + name);
      if (!reader) {
        ADD_FAILURE() << dir << "/" << name << " named by the manifest: " << reader.error().to_string();
        continue;
      }
      auto entries = reader->iter_all_entries();
      ASSERT_TRUE(entries) << name << ": " << entries.error().to_string();
      for (const auto& [key, value] : *entries) {
        ASSERT_TRUE(ledger::decode_internal_key_view(key)) << name << " holds a key that does not decode";
      }
    }
    if (shard.level_files) {
      std::set<std::string> in_levels;
      for (const auto& level : *shard.level_files) {
        for (const storage::ManifestLevelFile& f : level) in_levels.insert(f.file_name);
      }
      EXPECT_EQ(in_levels, names) << "per-level lists and the name list of shard " << shard.shard_id << " differ";
    }
  }
}

namespace {

// After an open: every table file of a shard directory is one the manifest names (the open removed
// what a killed flush or compaction left behind).
void check_no_unnamed_tables(const std::string& root) {
  auto text = util::read_file(root + "/" + std::string(storage::kManifestFileName));
  ASSERT_TRUE(text) << "MANIFEST.json: " << text.error().to_string();
  auto state = storage::decode_manifest_state(*text);
  ASSERT_TRUE(state) << "MANIFEST.json: " << state.error().to_string();
  for (const storage::ManifestShardState& shard : state->shards) {
    const std::string dir = root + "/shard-" + std::to_string(shard.shard_id);
    const std::set<std::string> named(shard.l0_files.begin(), shard.l0_files.end());
    auto entries = util::list_dir(dir);
    ASSERT_TRUE(entries) << dir << ": " << entries.error().to_string();
    for (const util::DirEntry& entry : *entries) {
      if (!storage::table_file_id(entry.name)) continue;
      EXPECT_TRUE(named.contains(entry.name)) << dir << "/" << entry.name << " left behind, named by no manifest";
    }
  }
}

}  // namespace

void CrashModel::verify() {
  check_manifest_and_tables(root_, config_.shard_count);
  auto opened = engine::Database::open(root_, config_);
  ASSERT_TRUE(opened) << "reopen: " << opened.error().to_string();
  engine::Database& db = **opened;
  check_no_unnamed_tables(root_);

  int reported = 0;
  auto report = [&](const std::string& what) {
    if (++reported <= 10) ADD_FAILURE() << what;
  };
  auto hash_at = [&](const std::string& key, std::optional<std::uint64_t> as_of) -> std::optional<std::uint64_t> {
    auto got = db.get(key, as_of);
    if (!got) {
      report("get " + key + ": " + got.error().to_string());
      return std::nullopt;
    }
    if (!*got) return std::nullopt;
    return doc_hash(**got);
  };

  for (const AckedWrite& w : durable_) {
    if (hash_at(w.key, w.commit_ts) != w.doc_hash)
      report("acknowledged write of " + w.key + " at " + std::to_string(w.commit_ts) + " lost or changed");
  }
  // A maybe-lost write is found when its own document is visible at its timestamp. Empty documents
  // are not unique (an older empty version would pass for it), so those stay unconfirmed.
  const std::uint64_t empty_hash = doc_hash("");
  for (const AckedWrite& w : maybe_) {
    if (w.doc_hash != empty_hash && hash_at(w.key, w.commit_ts) == w.doc_hash) durable_.push_back(w);
  }
  maybe_.clear();

  // Nothing stored above the committed timestamps, and scans agree with point reads.
  auto rows = db.scan_prefix("", kForeverTs);
  ASSERT_TRUE(rows) << rows.error().to_string();
  auto rows_now = db.scan_prefix("");
  ASSERT_TRUE(rows_now) << rows_now.error().to_string();
  EXPECT_TRUE(*rows == *rows_now) << "a stored version is above its shard's committed timestamp";
  std::map<std::string, std::uint64_t> newest_durable;
  for (const AckedWrite& w : durable_) {
    std::uint64_t& ts = newest_durable[w.key];
    ts = std::max(ts, w.commit_ts);
  }
  std::vector<std::uint64_t> max_stored(config_.shard_count, 0);
  for (const engine::PrefixScanRow& row : *rows) {
    const std::string key(row.key);
    const std::uint64_t hash = doc_hash(row.doc);
    if (hash_at(key, std::nullopt) != hash) report("scan and get disagree on " + key);
    if (hash_at(key, row.commit_ts) != hash) report("scan row of " + key + " not found at its timestamp");
    std::uint64_t& m = max_stored[shard_of(key)];
    m = std::max(m, row.commit_ts);
    auto it = newest_durable.find(key);
    if (it != newest_durable.end()) {
      if (row.commit_ts < it->second) {
        report("scan returned " + key + " at " + std::to_string(row.commit_ts) + ", older than its write at " +
               std::to_string(it->second));
      }
      newest_durable.erase(it);
    }
  }
  for (const auto& [key, ts] : newest_durable) report("scan misses " + key);

  // A new write in every shard resumes above everything stored there.
  for (std::size_t shard = 0; shard < config_.shard_count; ++shard) {
    std::string key;
    do {
      key = "~after/" + std::to_string(next_probe_++);
    } while (shard_of(key) != shard);
    const std::string doc = "written after reopen " + key;
    auto ts = db.put(key, doc, 0, kForeverTs);
    ASSERT_TRUE(ts) << ts.error().to_string();
    EXPECT_GT(*ts, max_stored[shard]) << "shard " << shard;
    durable_.push_back(AckedWrite{key, doc_hash(doc), *ts, WritePath::Shard, 0});
    floor_[shard] = *ts;
  }
  opened->reset();
}

}  // namespace quenlordb::testing
