// libFuzzer target of SQL execution. Every input is run as a script through Database::sql against a
// small database made once per process: a document table, a typed table and a view, with a few rows.
// Whatever the bytes, the call must return a result or a QuenlorError; a crash, a sanitizer report
// or an escaping exception aborts, which libFuzzer reports. Scripts may write: the database is
// made again from scratch every few thousand inputs so that it stays small. Scripts that mention
// COPY or a file table function (read_...) are skipped, since COPY TO would write files wherever a
// mutated path points and a table function would read them (/dev/zero without end, /dev/stdin
// waiting).

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>
#include <string_view>

#include <strings.h>
#include <unistd.h>

#include "config.h"
#include "engine/database.h"
#include "sql/exec/sql_result.h"

namespace {

using quenlordb::Config;
using quenlordb::engine::Database;

constexpr int kInputsPerDatabase = 4000;

const char* const kSetup[] = {
    "CREATE TABLE docs (pk TEXT PRIMARY KEY)",
    "INSERT INTO docs (pk, doc) VALUES ('a', '{\"name\":\"ann\",\"age\":30,\"tags\":[\"x\",\"y\"],\"city\":\"Oslo\"}')",
    "INSERT INTO docs (pk, doc) VALUES ('b', '{\"name\":\"bob\",\"age\":25.5,\"nested\":{\"k\":1}}')",
    "INSERT INTO docs (pk, doc) VALUES ('c', '{\"name\":\"Ünïcode ß\",\"age\":null}')",
    "CREATE TABLE nums (id INTEGER PRIMARY KEY, v REAL, s TEXT)",
    "INSERT INTO nums (id, v, s) VALUES (1, 2.5, 'one')",
    "INSERT INTO nums (id, v, s) VALUES (2, -7, 'two')",
    "CREATE VIEW va AS SELECT doc FROM docs WHERE pk = 'a'",
};

struct Fixture {
  std::string dir;
  std::unique_ptr<Database> db;
  int inputs = 0;

  void reset() {
    db.reset();
    if (!dir.empty()) std::filesystem::remove_all(dir);
    char tmpl[] = "/tmp/quenlordb-sql-fuzz-XXXXXX";
    if (!mkdtemp(tmpl)) std::abort();
    dir = tmpl;
    Config config;
    config.shard_count = 2;
    auto opened = Database::open(dir + "/db", config);
    if (!opened) {
      std::fprintf(stderr, "sql_script_fuzz: open failed: %s\n", opened.error().to_string().c_str());
      std::abort();
    }
    db = std::move(*opened);
    for (const char* sql : kSetup) {
      if (!db->sql(sql)) {
        std::fprintf(stderr, "sql_script_fuzz: setup failed: %s\n", sql);
        std::abort();
      }
    }
    inputs = 0;
  }

  ~Fixture() {
    db.reset();
    if (!dir.empty()) std::filesystem::remove_all(dir);
  }
};

bool touches_files(std::string_view script) {
  for (std::size_t i = 0; i < script.size(); ++i) {
    if (i + 4 <= script.size() && strncasecmp(script.data() + i, "copy", 4) == 0) return true;
    if (i + 5 <= script.size() && strncasecmp(script.data() + i, "read_", 5) == 0) return true;
  }
  return false;
}

Fixture& fixture() {
  static Fixture f;
  return f;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::string_view script(reinterpret_cast<const char*>(data), size);
  if (touches_files(script)) return 0;
  Fixture& f = fixture();
  if (!f.db || ++f.inputs > kInputsPerDatabase) f.reset();
  try {
    auto result = f.db->sql(script);
    (void)result;
  } catch (...) {
    std::fprintf(stderr, "sql_script_fuzz: an exception escaped Database::sql\n");
    std::abort();
  }
  return 0;
}
