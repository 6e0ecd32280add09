// Session read benchmark: what the executor's prefix read adds to the engine's prefix scan.
//
//   session_bench [--dir DIR] [N]
//
// Fills a fresh database (default Config) with N rows (default 1000000) under one table prefix,
// then times, best of three each: Database::scan_prefix of the prefix; collect_visible_by_prefix
// outside a transaction; and the same inside a transaction holding 1000 staged writes under the
// prefix (half of them over stored rows, a tenth of those tombstones). One line per measurement:
// `session_bench n=... what=... seconds=... rows=...`. The directory is removed at the end.
#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <string_view>

#include "bench_args.h"
#include "config.h"
#include "engine/database.h"
#include "facet/relational/keys.h"
#include "sql/exec/session.h"

namespace {

using quenlordb::Config;
using quenlordb::engine::Database;
namespace exec = quenlordb::sql::exec;
namespace rel = quenlordb::facet::relational;

std::string pk_of(std::uint64_t i) {
  char b[17];
  std::snprintf(b, sizeof b, "%016llx", static_cast<unsigned long long>(i * 0x9E3779B97F4A7C15ULL));
  return b;
}

double now() { return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count(); }

template <typename F>
void measure(std::uint64_t n, const char* what, F&& run) {
  double best = 1e30;
  std::size_t rows = 0;
  for (int round = 0; round < 3; ++round) {
    const double start = now();
    rows = run();
    best = std::min(best, now() - start);
  }
  std::printf("session_bench n=%llu what=%s seconds=%.4f rows=%zu\n", static_cast<unsigned long long>(n), what, best,
              rows);
}

[[noreturn]] void die(const quenlordb::QuenlorError& e) {
  std::fprintf(stderr, "session_bench: %s\n", e.to_string().c_str());
  std::exit(1);
}

}  // namespace

int main(int argc, char** argv) {
  const auto [dir, n] = parse_dir_and_count(argc, argv, "quenlordb-session-bench", 1'000'000);
  std::filesystem::remove_all(dir);
  {
    auto db = Database::open(dir, Config{});
    if (!db) die(db.error());
    const std::string doc = R"({"name":"user","status":"active","score":17,"tags":["a","b"],"city":"Lisbon"})";
    for (std::uint64_t i = 0; i < n; ++i) {
      if (auto r = (*db)->put(rel::row_key("t", pk_of(i)), doc, 0, exec::kSqlValidTo, exec::kSqlWriteTag); !r) {
        die(r.error());
      }
    }
    const std::string prefix = rel::row_prefix("t");
    measure(n, "scan_prefix", [&] {
      auto rows = (*db)->scan_prefix(prefix);
      if (!rows) die(rows.error());
      return rows->size();
    });
    exec::SqlSession outside;
    measure(n, "collect_outside_transaction", [&] {
      auto rows = exec::collect_visible_by_prefix(**db, outside, prefix);
      if (!rows) die(rows.error());
      return rows->size();
    });
    exec::SqlSession inside;
    inside.begin();
    for (std::uint64_t i = 0; i < 1000; ++i) {
      const std::uint64_t row = i % 2 == 0 ? i : n + i;  // even: over a stored row; odd: a new row
      auto r = exec::write_put(**db, inside, rel::row_key("t", pk_of(row)), i % 20 == 0 ? "" : doc);
      if (!r) die(r.error());
    }
    measure(n, "collect_with_1000_staged", [&] {
      auto rows = exec::collect_visible_by_prefix(**db, inside, prefix);
      if (!rows) die(rows.error());
      return rows->size();
    });
  }
  std::filesystem::remove_all(dir);
  return 0;
}
