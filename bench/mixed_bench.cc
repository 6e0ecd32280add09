// Mixed benchmark, quenlordb's side: the workload of mixed_workload.h on a database opened with the
// default Config in a fresh directory (removed at the end). bench/run_mixed_bench.sh runs it beside
// the same workload on LevelDB (mixed_peer.cc).
//
//   mixed_bench [--dir DIR] [--preload N] [--seconds S]
//
// Prints the workload's line for "quenlordb", with the compaction steps the run took.
#include <filesystem>
#include <memory>
#include <string>

#include "config.h"
#include "engine/database.h"
#include "mixed_workload.h"

namespace {

constexpr const char* kProgram = "mixed_bench";

struct QuenlordbEngine {
  quenlordb::engine::Database& db;

  bool put(const std::string& key, const std::string& doc) {
    return db.put(key, doc, 0, ~std::uint64_t{0}).has_value();
  }
  bool get(const std::string& key, std::string& doc, bool& found) {
    auto got = db.visit_get(key, [&](std::string_view d) { doc.assign(d); });
    if (!got) return false;
    found = *got;
    return true;
  }
};

std::uint64_t compactions(quenlordb::engine::Database& db) {
  auto stats = db.stats();
  if (!stats) mixed::die(kProgram, "stats: " + stats.error().to_string());
  return stats->compactions;
}

}  // namespace

int main(int argc, char** argv) {
  const mixed::Options o = mixed::parse_options(
      argc, argv, kProgram, (std::filesystem::temp_directory_path() / "quenlordb-mixed-bench").string());
  std::filesystem::remove_all(o.dir);
  {
    auto opened = quenlordb::engine::Database::open(o.dir, quenlordb::Config{});
    if (!opened) mixed::die(kProgram, "open " + o.dir + ": " + opened.error().to_string());
    quenlordb::engine::Database& db = **opened;
    QuenlordbEngine engine{db};
    mixed::preload(engine, o, kProgram);
    const std::uint64_t before = compactions(db);
    const mixed::Result r = mixed::run(engine, o, kProgram);
    mixed::print("quenlordb", o, r, " compactions=" + std::to_string(compactions(db) - before));
  }
  std::filesystem::remove_all(o.dir);
  return 0;
}
