// Log window benchmark: how long a put taken by the fast write path waits in memory, acknowledged,
// before its log frame is written (from then on a crash of the process loses nothing).
//
//   log_window_bench [--dir DIR] [N]
//
// One thread puts N ~110-byte documents under 16-byte keys (default 2,000,000) into a database with
// the default Config, in a fresh directory (removed at the end). The file layer's hook (util/file.h)
// watches the logs, without changing any operation, and times:
//   - wait: for each put the fast path took, from its return to the end of the group-commit write
//     that holds its frame (0 when the frame was written before the put returned);
//   - pass: each write of a shard's queued frames by the group-commit thread, with its data sync;
//   - flush: each flush's window from its freeze (the log sync just before it) to the truncation of
//     the log, during which the shard's frames are held back;
//   - compaction: from a flush's truncation to the manifest save that ends the compaction steps
//     after it, for the flushes followed by a compaction.
// Each result is one line: the measure, how many, then milliseconds at the median, the 99th and
// 99.9th percentiles and the maximum. The peers of the engine benchmark have no such window (a
// write returns once it is in the log, synced or not), so none runs here.
#include <pthread.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <filesystem>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "bench_args.h"
#include "bench_documents.h"
#include "config.h"
#include "engine/database.h"
#include "hasher.h"
#include "ledger/internal_key.h"
#include "ledger/record.h"
#include "storage/wal.h"
#include "util/file.h"

namespace {

using quenlordb::Config;
using quenlordb::FnvMixHasher;
using quenlordb::engine::Database;
using quenlordb::util::FaultPhase;
using quenlordb::util::FileOp;
using Clock = std::chrono::steady_clock;

constexpr std::uint64_t kValidForever = ~std::uint64_t{0};

double ms_since(Clock::time_point from, Clock::time_point to) {
  return std::chrono::duration<double, std::milli>(to - from).count();
}

// What the hook gathers, under one mutex (the hook runs on the engine's threads).
struct Observed {
  std::mutex mu;
  // Per shard: bytes of fast frames acknowledged and bytes the group-commit thread wrote, and the
  // acknowledged frames not yet written (end offset among the fast frames, time of the ack).
  struct Shard {
    std::uint64_t acked_bytes = 0;
    std::uint64_t written_bytes = 0;
    std::deque<std::pair<std::uint64_t, Clock::time_point>> waiting;
  };
  std::vector<Shard> shards;
  std::vector<double> waits, passes, flushes, compactions;
} g_seen;

// Per shard: the log writes of its shard thread.
std::atomic<std::uint64_t> g_shard_thread_writes[Config::kMaxShardCount];

std::size_t shard_of_log(const std::string& path) {
  // ".../shard-{n}/shard-{n}.wal"
  const std::size_t dash = path.rfind('-');
  return static_cast<std::size_t>(std::strtoull(path.c_str() + dash + 1, nullptr, 10));
}

bool on_group_thread() {
  thread_local const bool group = [] {
    char name[16] = {};
    pthread_getname_np(pthread_self(), name, sizeof name);
    return std::string_view(name).starts_with("quenlordb-group");
  }();
  return group;
}

int hook(FileOp op, FaultPhase phase, const std::string& path, std::size_t* len) {
  const auto now = Clock::now();
  const bool log = path.ends_with(".wal");
  if (on_group_thread()) {
    thread_local Clock::time_point pass_start;
    thread_local std::uint64_t write_len = 0;
    if (!log) return 0;
    if (op == FileOp::Write && phase == FaultPhase::Before) {
      pass_start = now;
      write_len = *len;
    } else if (op == FileOp::Write) {
      std::lock_guard lock(g_seen.mu);
      Observed::Shard& s = g_seen.shards[shard_of_log(path)];
      s.written_bytes += write_len;
      while (!s.waiting.empty() && s.waiting.front().first <= s.written_bytes) {
        g_seen.waits.push_back(ms_since(s.waiting.front().second, now));
        s.waiting.pop_front();
      }
    } else if (op == FileOp::DataSync && phase == FaultPhase::After) {
      std::lock_guard lock(g_seen.mu);
      g_seen.passes.push_back(ms_since(pass_start, now));
    }
    return 0;
  }
  // A shard thread (each shard's flushes run on its own thread).
  thread_local Clock::time_point last_log_sync, flush_start, truncated;
  thread_local bool flushing = false, after_truncation = false, compacted = false;
  if (phase == FaultPhase::Before && op == FileOp::Write && log) {
    g_shard_thread_writes[shard_of_log(path)].fetch_add(1);
  } else if (phase == FaultPhase::After && op == FileOp::DataSync && log) {
    last_log_sync = now;
  } else if (phase == FaultPhase::Before && op == FileOp::Open && path.find("/l0-") != std::string::npos) {
    if (!flushing) flush_start = last_log_sync;
    flushing = true;
  } else if (phase == FaultPhase::Before && op == FileOp::Open && path.find("/l") != std::string::npos &&
             path.ends_with(".sst") && after_truncation) {
    compacted = true;
  } else if (phase == FaultPhase::After && op == FileOp::Truncate && log && flushing) {
    std::lock_guard lock(g_seen.mu);
    g_seen.flushes.push_back(ms_since(flush_start, now));
    flushing = false;
    after_truncation = true;
    compacted = false;
    truncated = now;
  } else if (phase == FaultPhase::After && op == FileOp::Rename && path.ends_with("MANIFEST.json") &&
             after_truncation) {
    if (compacted) {
      std::lock_guard lock(g_seen.mu);
      g_seen.compactions.push_back(ms_since(truncated, now));
    }
    after_truncation = false;
  }
  return 0;
}

void report(const char* name, std::vector<double> values) {
  if (values.empty()) {
    std::printf("%-10s n=0\n", name);
    return;
  }
  std::sort(values.begin(), values.end());
  auto at = [&](double q) { return values[std::min(values.size() - 1, static_cast<std::size_t>(q * values.size()))]; };
  std::printf("%-10s n=%zu p50_ms=%.3f p99_ms=%.3f p999_ms=%.3f max_ms=%.3f\n", name, values.size(), at(0.5),
              at(0.99), at(0.999), values.back());
}

}  // namespace

int main(int argc, char** argv) {
  const DirAndCount args = parse_dir_and_count(argc, argv, "quenlordb-log-window-bench", 2000000);
  std::filesystem::remove_all(args.dir);
  const Config config;  // the defaults, as the Python entry uses them
  g_seen.shards.resize(config.shard_count);
  quenlordb::util::set_fault_hook(&hook);
  {
    auto opened = Database::open(args.dir, config);
    if (!opened) {
      std::fprintf(stderr, "log_window_bench: open: %s\n", opened.error().to_string().c_str());
      return 1;
    }
    Database& db = **opened;
    for (std::uint64_t i = 0; i < args.n; ++i) {
      const std::string key = bench::key_of(i);
      std::string doc = bench::doc_of(i);
      const std::size_t frame = quenlordb::storage::kWalHeaderBytes +
                                quenlordb::ledger::fact_write_payload_size(
                                    key.size() + quenlordb::ledger::kInternalKeySuffixBytes,
                                    quenlordb::ledger::fact_value_size(doc.size()), std::nullopt, std::nullopt);
      const std::size_t shard = FnvMixHasher::hash(key) % config.shard_count;
      const std::uint64_t shard_writes = g_shard_thread_writes[shard].load();
      auto ts = db.put(key, std::move(doc), 0, kValidForever);
      const auto acked = Clock::now();
      if (!ts) {
        std::fprintf(stderr, "log_window_bench: put: %s\n", ts.error().to_string().c_str());
        return 1;
      }
      // A put the shard thread took is in the log when it returns; with one writer, only this put
      // can have made that thread write to its log meanwhile.
      if (g_shard_thread_writes[shard].load() != shard_writes) continue;
      std::lock_guard lock(g_seen.mu);
      Observed::Shard& s = g_seen.shards[shard];
      s.acked_bytes += frame;
      if (s.written_bytes >= s.acked_bytes) {
        g_seen.waits.push_back(0.0);
      } else {
        s.waiting.emplace_back(s.acked_bytes, acked);
      }
    }
  }  // closed: the group-commit thread writes what is queued
  quenlordb::util::set_fault_hook(nullptr);
  std::filesystem::remove_all(args.dir);
  std::lock_guard lock(g_seen.mu);
  report("wait", g_seen.waits);
  report("pass", g_seen.passes);
  report("flush", g_seen.flushes);
  report("compaction", g_seen.compactions);
  return 0;
}
