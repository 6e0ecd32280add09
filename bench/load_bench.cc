// Load benchmark: the load of the SQL benchmark's --index-first run (bench/sql_bench.py) without
// its Python side, so that a profile of this process shows the load alone; and, after it, the
// benchmark's UPDATE jobs.
//
//   load_bench [--dir DIR] [--runs R] [--keep] [--no-index] [--updates K] [N]
//
// Writes two NDJSON files of documents shaped as sql_bench.py makes them (fixed seed): N users of
// about 110 bytes ({"bio", "city", "id", "name", "score", "status"}, the bio 3 to 5 words of a
// 200-word vocabulary) and N/2 orders ({"amount", "id", "item"}, a quarter of them under a user's
// key, sorted by key). Then, R times (default 1) on a fresh database (default Config), times the
// statements of that load: the two CREATE TABLEs, COPY FROM of each file, and CREATE FULLTEXT
// INDEX over the users' bios. One line per statement and one for the whole load:
// `load_bench n=... run=... what=... seconds=... rows_per_s=...`. Closing a database is timed on a
// line of its own, outside the load. The directory is removed at the end, unless --keep.
// --no-index leaves the full-text index out. --updates K then runs, after the load, K point SELECTs
// of users drawn with a fixed seed (as sql_bench.py's lookups before its UPDATE jobs, which leave
// the block cache warm), K point UPDATEs (UPDATE users SET status = 'x' WHERE pk = ..., one
// execute_sql each, of other users drawn the same way) in run_point_updates, and the UPDATE of about N/1000 rows (WHERE score = 7) in
// run_update_where; each is timed on a line of its own and can be profiled alone, for example with
// `valgrind --tool=callgrind --toggle-collect='*run_point_updates*'`.
#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <random>
#include <set>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "config.h"
#include "engine/database.h"
#include "sql/exec/executor.h"

namespace {

using quenlordb::Config;
using quenlordb::engine::Database;
namespace exec = quenlordb::sql::exec;

double now() { return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count(); }

[[noreturn]] void die(const std::string& what) {
  std::fprintf(stderr, "load_bench: %s\n", what.c_str());
  std::exit(1);
}

// 200 distinct words of two or three consonant-vowel syllables, as sql_bench.py draws them.
std::vector<std::string> vocabulary(std::mt19937_64& rng) {
  static constexpr std::string_view kConsonants = "bdfgklmnprtvz";
  static constexpr std::string_view kVowels = "aiou";
  std::set<std::string> words;
  while (words.size() < 200) {
    std::string word;
    const int syllables = 2 + static_cast<int>(rng() % 2);
    for (int i = 0; i < syllables; ++i) {
      word.push_back(kConsonants[rng() % kConsonants.size()]);
      word.push_back(kVowels[rng() % kVowels.size()]);
    }
    words.insert(std::move(word));
  }
  return {words.begin(), words.end()};
}

std::string padded(const char* prefix, std::uint64_t n) {
  char buffer[32];
  std::snprintf(buffer, sizeof buffer, "%s%06llu", prefix, static_cast<unsigned long long>(n));
  return buffer;
}

void write_files(std::uint64_t n, const std::string& users_path, const std::string& orders_path) {
  static constexpr std::string_view kCities[] = {"Amsterdam", "Berlin", "Cairo",   "Delhi",    "Edinburgh",
                                                 "Florence",  "Geneva", "Hanoi",   "Istanbul", "Jakarta",
                                                 "Kyoto",     "Lima",   "Madrid",  "Nairobi",  "Oslo",
                                                 "Prague",    "Quito",  "Rome",    "Seoul",    "Tunis"};
  static constexpr std::string_view kStatuses[] = {"active", "idle", "away"};
  std::mt19937_64 rng(7);
  const std::vector<std::string> words = vocabulary(rng);
  std::ofstream users(users_path);
  for (std::uint64_t i = 0; i < n; ++i) {
    std::string bio;
    const int count = 3 + static_cast<int>(rng() % 3);
    for (int w = 0; w < count; ++w) {
      if (w > 0) bio.push_back(' ');
      bio += words[rng() % words.size()];
    }
    users << R"({"bio":")" << bio << R"(","city":")" << kCities[rng() % 20] << R"(","id":")" << padded("u", i)
          << R"(","name":")" << padded("user", rng() % 1000000) << R"(","score":)" << rng() % 1000
          << R"(,"status":")" << kStatuses[rng() % 3] << "\"}\n";
  }
  std::vector<std::uint64_t> shared(n);
  for (std::uint64_t i = 0; i < n; ++i) shared[i] = i;
  std::shuffle(shared.begin(), shared.end(), rng);
  std::vector<std::pair<std::string, std::string>> orders;
  for (std::uint64_t j = 0; j < n / 2; ++j) {
    const std::string pk = j < n / 4 ? padded("u", shared[j]) : padded("o", j);
    orders.emplace_back(pk, R"({"amount":)" + std::to_string(1 + rng() % 499) + R"(,"id":")" + pk +
                                R"(","item":")" + words[rng() % words.size()] + "\"}");
  }
  std::sort(orders.begin(), orders.end());
  std::ofstream out(orders_path);
  for (const auto& [pk, doc] : orders) out << doc << '\n';
}

// Each statement in one call of its own.
void run_calls(Database& db, const std::vector<std::string>& statements) {
  for (const std::string& statement : statements) {
    if (auto r = exec::execute_sql(db, statement); !r) die(r.error().to_string());
  }
}

// The point UPDATEs of sql_bench.py. Out of line, so that a profiler can single it out.
[[gnu::noinline]] void run_point_updates(Database& db, const std::vector<std::string>& statements) {
  run_calls(db, statements);
}

[[gnu::noinline]] void run_update_where(Database& db) {
  if (auto r = exec::execute_sql(db, "UPDATE users SET status = 'seven' WHERE score = 7"); !r) {
    die(r.error().to_string());
  }
}

}  // namespace

int main(int argc, char** argv) {
  std::string dir = (std::filesystem::temp_directory_path() / "quenlordb-load-bench").string();
  std::uint64_t n = 100'000;
  int runs = 1;
  bool keep = false;
  bool index = true;
  std::uint64_t updates = 0;
  for (int i = 1; i < argc; ++i) {
    const std::string_view arg = argv[i];
    if (arg == "--dir" && i + 1 < argc) {
      dir = argv[++i];
    } else if (arg == "--runs" && i + 1 < argc) {
      runs = std::atoi(argv[++i]);
    } else if (arg == "--keep") {
      keep = true;
    } else if (arg == "--no-index") {
      index = false;
    } else if (arg == "--updates" && i + 1 < argc) {
      updates = std::strtoull(argv[++i], nullptr, 10);
    } else {
      n = std::strtoull(argv[i], nullptr, 10);
    }
  }
  std::filesystem::remove_all(dir);
  std::filesystem::create_directories(dir);
  const std::string users = dir + "/users.ndjson";
  const std::string orders = dir + "/orders.ndjson";
  write_files(n, users, orders);
  const double rows = static_cast<double>(n + n / 2);

  for (int run = 1; run <= runs; ++run) {
    auto opened = Database::open(dir + "/db" + std::to_string(run), Config{});
    if (!opened) die(opened.error().to_string());
    std::unique_ptr<Database> db = std::move(*opened);
    auto line = [&](const char* what, double seconds, double count) {
      std::printf("load_bench n=%llu run=%d what=%s seconds=%.4f rows_per_s=%.0f\n", static_cast<unsigned long long>(n),
                  run, what, seconds, count / seconds);
      std::fflush(stdout);
    };
    struct Statement {
      const char* what;
      std::string sql;
      double rows;  // the rows it writes or reads
    };
    std::vector<Statement> statements = {
        {"create_tables",
         "CREATE TABLE users (id TEXT PRIMARY KEY, bio TEXT, city TEXT, name TEXT, score INTEGER, status TEXT); "
         "CREATE TABLE orders (id TEXT PRIMARY KEY, amount INTEGER, item TEXT)",
         1},
        {"copy_users", "COPY users FROM '" + users + "' FORMAT NDJSON", static_cast<double>(n)},
        {"copy_orders", "COPY orders FROM '" + orders + "' FORMAT NDJSON", static_cast<double>(n / 2)},
        {"fulltext_index", "CREATE FULLTEXT INDEX users_bio ON users (bio)", static_cast<double>(n)},
    };
    if (!index) statements.pop_back();
    const double start = now();
    for (const Statement& statement : statements) {
      const double begun = now();
      if (auto r = exec::execute_sql(*db, statement.sql); !r) die(r.error().to_string());
      line(statement.what, now() - begun, statement.rows);
    }
    line("load", now() - start, rows);
    if (updates > 0) {
      std::mt19937_64 rng(11);
      std::vector<std::string> lookups;
      std::vector<std::string> point_updates;
      for (std::uint64_t i = 0; i < updates; ++i) {
        lookups.push_back("SELECT doc FROM users WHERE pk = '" + padded("u", rng() % n) + "'");
        point_updates.push_back("UPDATE users SET status = 'x' WHERE pk = '" + padded("u", rng() % n) + "'");
      }
      double begun = now();
      run_calls(*db, lookups);
      line("point_lookups", now() - begun, static_cast<double>(updates));
      begun = now();
      run_point_updates(*db, point_updates);
      line("point_updates", now() - begun, static_cast<double>(updates));
      begun = now();
      run_update_where(*db);
      line("update_where", now() - begun, static_cast<double>(n) / 1000);
    }
    const double closing = now();
    db.reset();
    line("close", now() - closing, rows);
  }
  if (!keep) std::filesystem::remove_all(dir);
  return 0;
}
