// COPY benchmark: rows per second of COPY TO and COPY FROM.
//
//   copy_bench [--dir DIR] [N]
//
// Fills a fresh database (default Config) with N rows (default 100000) in a typed table
// (id INTEGER PRIMARY KEY, name TEXT, score REAL, ok BOOLEAN) and in a document table, then for
// each table and each format (CSV, JSON, NDJSON) times COPY TO into a file and COPY FROM of that
// file into a fresh table of the same shape; last, COPY FROM of the document CSV into a document
// table with a full-text index over its documents. One line per measurement:
// `copy_bench n=... table=... format=... what=... seconds=... rows_per_s=...`. The directory is
// removed at the end.
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
#include "sql/exec/executor.h"
#include "sql/exec/session.h"

namespace {

using quenlordb::Config;
using quenlordb::engine::Database;
namespace exec = quenlordb::sql::exec;
namespace rel = quenlordb::facet::relational;

double now() { return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count(); }

[[noreturn]] void die(const quenlordb::QuenlorError& e) {
  std::fprintf(stderr, "copy_bench: %s\n", e.to_string().c_str());
  std::exit(1);
}

void run(Database& db, const std::string& sql) {
  if (auto r = exec::execute_sql(db, sql); !r) die(r.error());
}

void put(Database& db, const std::string& key, const std::string& doc) {
  if (auto r = db.put(key, doc, 0, exec::kSqlValidTo, exec::kSqlWriteTag); !r) die(r.error());
}

void timed(Database& db, std::uint64_t n, const char* table, const char* format, const char* what,
           const std::string& sql) {
  const double start = now();
  run(db, sql);
  const double seconds = now() - start;
  std::printf("copy_bench n=%llu table=%s format=%s what=%s seconds=%.4f rows_per_s=%.0f\n",
              static_cast<unsigned long long>(n), table, format, what, seconds, static_cast<double>(n) / seconds);
  std::fflush(stdout);
}

}  // namespace

int main(int argc, char** argv) {
  const auto [dir, n] = parse_dir_and_count(argc, argv, "quenlordb-copy-bench", 100'000);
  std::filesystem::remove_all(dir);
  std::filesystem::create_directories(dir);
  const std::string files = dir + "/files";
  std::filesystem::create_directories(files);
  {
    auto opened = Database::open(dir + "/db", Config{});
    if (!opened) die(opened.error());
    Database& db = **opened;
    const char* typed_schema = "(id INTEGER PRIMARY KEY, name TEXT, score REAL, ok BOOLEAN)";
    const char* doc_schema = "(pk TEXT PRIMARY KEY)";
    run(db, std::string("CREATE TABLE typed ") + typed_schema);
    run(db, std::string("CREATE TABLE docs ") + doc_schema);
    for (std::uint64_t i = 0; i < n; ++i) {
      const std::string id = std::to_string(i);
      put(db, rel::row_key("typed", id),
          R"({"id":)" + id + R"(.0,"name":"user )" + id + R"(, \"quoted\"","ok":true,"score":)" + id + ".5}");
      put(db, rel::row_key("docs", "k" + id),
          R"({"city":"Lisbon","name":"user )" + id + R"(","score":)" + id + R"(,"tags":["a","b"]})");
    }

    int fresh = 0;
    for (const char* format : {"CSV", "JSON", "NDJSON"}) {
      for (const char* table : {"typed", "docs"}) {
        const std::string path = files + "/" + table + "." + format;
        timed(db, n, table, format, "to", std::string("COPY ") + table + " TO '" + path + "' FORMAT " + format);
        const std::string target = "fresh" + std::to_string(fresh++);
        run(db, "CREATE TABLE " + target + " " + (std::string_view(table) == "typed" ? typed_schema : doc_schema));
        timed(db, n, table, format, "from", "COPY " + target + " FROM '" + path + "' FORMAT " + format);
      }
    }
    run(db, std::string("CREATE TABLE indexed ") + doc_schema);
    run(db, "CREATE FULLTEXT INDEX f ON indexed (doc)");
    timed(db, n, "docs", "CSV", "from_fulltext", "COPY indexed FROM '" + files + "/docs.CSV'");
  }
  std::filesystem::remove_all(dir);
  return 0;
}
