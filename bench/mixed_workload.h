// The mixed workload, shared by quenlordb's program (mixed_bench.cc) and the peer's (mixed_peer.cc)
// so that both engines run the same code: `preload` documents are put, then for `seconds` one
// writer thread puts new keys at full speed while one reader thread gets preloaded keys in random
// order (mt19937_64, seed 42), timing each get. Keys and documents are those of the engine
// benchmark (bench_documents.h). Plain C++17 over an engine adapter, so that the peer's program
// builds without the repository's code.
//
// With --why-slow, the reader also asks the kernel, around each get, how often its thread was
// switched out, and sorts the gets over 10 ms into those during which it waited (a voluntary switch:
// a lock, a page fault on I/O) and those during which it was only preempted (the machine is busy).
// That costs two system calls per get, so the rates of such a run are not comparable.
//
// An engine adapter offers
//   bool put(const std::string& key, const std::string& doc);          // false: failed
//   bool get(const std::string& key, std::string& doc, bool& found);   // false: failed
// callable from two threads at once.
#pragma once

#include <sys/resource.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cinttypes>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "bench_documents.h"

namespace mixed {

using bench::doc_of;
using bench::key_of;

[[noreturn]] inline void die(const char* program, const std::string& what) {
  std::fprintf(stderr, "%s: %s\n", program, what.c_str());
  std::exit(1);
}

struct Options {
  std::string dir;
  std::uint64_t preload = 200000;
  double seconds = 30;
  bool why_slow = false;
};

// `PROGRAM [--dir DIR] [--preload N] [--seconds S] [--why-slow]`
inline Options parse_options(int argc, char** argv, const char* program, const std::string& default_dir) {
  Options o;
  o.dir = default_dir;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--dir" && i + 1 < argc) {
      o.dir = argv[++i];
    } else if (arg == "--preload" && i + 1 < argc) {
      o.preload = std::strtoull(argv[++i], nullptr, 10);
    } else if (arg == "--seconds" && i + 1 < argc) {
      o.seconds = std::strtod(argv[++i], nullptr);
    } else if (arg == "--why-slow") {
      o.why_slow = true;
    } else {
      die(program, "usage: " + std::string(program) + " [--dir DIR] [--preload N] [--seconds S] [--why-slow]");
    }
  }
  if (o.preload == 0 || !(o.seconds > 0)) die(program, "--preload and --seconds must be positive");
  return o;
}

struct Result {
  std::uint64_t puts = 0;
  std::uint64_t gets = 0;
  std::uint64_t missing = 0;  // gets that found nothing (there should be none)
  std::uint64_t slow_waited = 0;     // with --why-slow: gets over 10 ms with a voluntary switch
  std::uint64_t slow_preempted = 0;  // with --why-slow: the other gets over 10 ms
  double seconds = 0;
  std::uint64_t longest_put_ns = 0;
  std::vector<std::uint64_t> get_ns;  // every get's time, sorted
};

using Clock = std::chrono::steady_clock;

constexpr std::uint64_t kSlowGetNs = 10'000'000;

// The calling thread's voluntary context switches so far.
inline long voluntary_switches() {
  rusage usage{};
  getrusage(RUSAGE_THREAD, &usage);
  return usage.ru_nvcsw;
}

inline std::uint64_t ns_between(Clock::time_point a, Clock::time_point b) {
  return static_cast<std::uint64_t>(std::chrono::duration_cast<std::chrono::nanoseconds>(b - a).count());
}

template <typename Engine>
void preload(Engine& engine, const Options& o, const char* program) {
  for (std::uint64_t i = 0; i < o.preload; ++i) {
    if (!engine.put(key_of(i), doc_of(i))) die(program, "preload put failed");
  }
}

template <typename Engine>
Result run(Engine& engine, const Options& o, const char* program) {
  Result r;
  std::atomic<bool> stop{false};
  std::atomic<bool> failed{false};
  std::thread writer([&] {
    for (std::uint64_t i = o.preload; !stop.load(std::memory_order_relaxed); ++i) {
      const std::string key = key_of(i);
      const std::string doc = doc_of(i);
      const Clock::time_point start = Clock::now();
      if (!engine.put(key, doc)) {
        failed = true;
        return;
      }
      r.longest_put_ns = std::max(r.longest_put_ns, ns_between(start, Clock::now()));
      ++r.puts;
    }
  });
  r.get_ns.reserve(static_cast<std::size_t>(o.seconds * 200000));
  std::mt19937_64 rng(42);
  std::uniform_int_distribution<std::uint64_t> pick(0, o.preload - 1);
  std::string doc;
  const Clock::time_point begin = Clock::now();
  const Clock::time_point end =
      begin + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(o.seconds));
  for (Clock::time_point now = begin; now < end;) {
    const std::string key = key_of(pick(rng));
    bool found = false;
    const long switches_before = o.why_slow ? voluntary_switches() : 0;
    const Clock::time_point start = Clock::now();
    const bool ok = engine.get(key, doc, found);
    now = Clock::now();
    if (!ok) die(program, "get failed");
    const std::uint64_t took = ns_between(start, now);
    r.get_ns.push_back(took);
    if (o.why_slow && took > kSlowGetNs) ++(voluntary_switches() != switches_before ? r.slow_waited : r.slow_preempted);
    if (!found) ++r.missing;
  }
  stop = true;
  writer.join();
  r.seconds = std::chrono::duration<double>(Clock::now() - begin).count();
  if (failed) die(program, "put failed");
  r.gets = r.get_ns.size();
  std::sort(r.get_ns.begin(), r.get_ns.end());
  return r;
}

// The q-quantile of the sorted times, in microseconds.
inline double quantile_us(const std::vector<std::uint64_t>& sorted, double q) {
  if (sorted.empty()) return 0;
  const std::size_t at = static_cast<std::size_t>(q * static_cast<double>(sorted.size() - 1));
  return static_cast<double>(sorted[at]) / 1e3;
}

// One line: `ENGINE preload=... seconds=... gets_s=... p50_us=... p99_us=... p999_us=... p9999_us=...
// max_get_ms=... gets_over_10ms=... puts_s=... longest_put_ms=... missing=...`, then `extra`.
inline void print(const char* engine, const Options& o, const Result& r, const std::string& extra) {
  const std::uint64_t over_10ms = static_cast<std::uint64_t>(
      r.get_ns.end() - std::upper_bound(r.get_ns.begin(), r.get_ns.end(), kSlowGetNs));
  std::printf("%s preload=%" PRIu64 " seconds=%.1f gets_s=%.0f p50_us=%.1f p99_us=%.1f p999_us=%.1f p9999_us=%.1f "
              "max_get_ms=%.2f gets_over_10ms=%" PRIu64 " puts_s=%.0f longest_put_ms=%.2f missing=%" PRIu64 "%s\n",
              engine, o.preload, r.seconds, r.gets / r.seconds, quantile_us(r.get_ns, 0.5), quantile_us(r.get_ns, 0.99),
              quantile_us(r.get_ns, 0.999), quantile_us(r.get_ns, 0.9999),
              r.get_ns.empty() ? 0.0 : static_cast<double>(r.get_ns.back()) / 1e6, over_10ms, r.puts / r.seconds,
              static_cast<double>(r.longest_put_ns) / 1e6, r.missing, extra.c_str());
  if (o.why_slow) {
    std::printf("why_slow engine=%s gets_over_10ms_waited=%" PRIu64 " gets_over_10ms_preempted=%" PRIu64 "\n", engine,
                r.slow_waited, r.slow_preempted);
  }
  std::fflush(stdout);
}

}  // namespace mixed
