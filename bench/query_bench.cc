// Query benchmark: one SQL script run again and again on an existing database, so that a profile of
// this process shows the query alone (a database that match_bench.py --keep left, for instance).
//
//   query_bench [--runs R] [--batch-threads T] DIR SCRIPT
//
// Opens DIR (default Config, four shards), runs SCRIPT R times (default 20) and prints its first
// row, the row count, and the shortest run in wall time and in CPU time of the calling thread:
// `query_bench rows=... first=... best_ms=... best_thread_cpu_ms=...`. --batch-threads T sets the
// threads of batch reads (0: the calling thread alone; the default: as many as the hardware has).
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <string>
#include <string_view>
#include <variant>

#include "config.h"
#include "engine/database.h"
#include "sql/exec/executor.h"
#include "sql/exec/sql_result.h"

namespace {

using quenlordb::Config;
using quenlordb::engine::Database;

double thread_cpu_seconds() {
  timespec ts{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

[[noreturn]] void usage() {
  std::fprintf(stderr, "usage: query_bench [--runs R] [--batch-threads T] DIR SCRIPT\n");
  std::exit(2);
}

}  // namespace

int main(int argc, char** argv) {
  int runs = 20;
  std::string dir;
  std::string script;
  for (int i = 1; i < argc; ++i) {
    const std::string_view arg = argv[i];
    if (arg == "--runs" && i + 1 < argc) {
      runs = std::max(1, std::atoi(argv[++i]));
    } else if (arg == "--batch-threads" && i + 1 < argc) {
      const auto threads = static_cast<std::size_t>(std::strtoull(argv[++i], nullptr, 10));
      quenlordb::engine::set_batch_read_threads(
          quenlordb::engine::BatchReadThreads{threads, quenlordb::engine::default_batch_read_threads().min_keys});
    } else if (dir.empty()) {
      dir = arg;
    } else if (script.empty()) {
      script = arg;
    } else {
      usage();
    }
  }
  if (dir.empty() || script.empty()) usage();
  auto db = Database::open(dir, Config{});
  if (!db) {
    std::fprintf(stderr, "query_bench: %s\n", db.error().to_string().c_str());
    return 1;
  }
  double best = 1e300;
  double best_cpu = 1e300;
  std::size_t rows = 0;
  std::string first;
  for (int run = 0; run < runs; ++run) {
    const auto start = std::chrono::steady_clock::now();
    const double cpu_start = thread_cpu_seconds();
    auto result = (*db)->sql(script);
    best_cpu = std::min(best_cpu, thread_cpu_seconds() - cpu_start);
    best = std::min(best, std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
    if (!result) {
      std::fprintf(stderr, "query_bench: %s\n", result.error().to_string().c_str());
      return 1;
    }
    if (const auto* out = std::get_if<quenlordb::sql::exec::SqlResult::Rows>(&result->value)) {
      rows = out->rows.size();
      first = out->rows.empty() ? "" : out->rows.front();
    }
  }
  std::printf("query_bench rows=%zu first=%s best_ms=%.3f best_thread_cpu_ms=%.3f\n", rows, first.c_str(), best * 1e3,
              best_cpu * 1e3);
  return 0;
}
