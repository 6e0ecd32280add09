// Mixed benchmark, the peer's side: the workload of mixed_workload.h on LevelDB with the settings of
// the engine benchmark's peers (4 MiB write buffer, 16 KiB blocks, 10-bit bloom filter, 32 MiB block
// cache, writes not synced), in a fresh directory (removed at the end). Built and run by
// bench/run_mixed_bench.sh, outside the CMake build, since it needs libleveldb-dev:
//
//   g++ -O2 -std=c++17 -pthread bench/mixed_peer.cc -o mixed_peer -lleveldb
//   mixed_peer [--dir DIR] [--preload N] [--seconds S]
//
// Prints the workload's line for "leveldb".
#include <leveldb/cache.h>
#include <leveldb/db.h>
#include <leveldb/filter_policy.h>

#include <filesystem>
#include <memory>
#include <string>

#include "mixed_workload.h"

namespace {

constexpr const char* kProgram = "mixed_peer";

struct LevelDbEngine {
  leveldb::DB* db;
  leveldb::WriteOptions write;
  leveldb::ReadOptions read;

  bool put(const std::string& key, const std::string& doc) { return db->Put(write, key, doc).ok(); }
  bool get(const std::string& key, std::string& doc, bool& found) {
    const leveldb::Status s = db->Get(read, key, &doc);
    found = s.ok();
    return s.ok() || s.IsNotFound();
  }
};

}  // namespace

int main(int argc, char** argv) {
  const mixed::Options o = mixed::parse_options(
      argc, argv, kProgram, (std::filesystem::temp_directory_path() / "leveldb-mixed-bench").string());
  std::filesystem::remove_all(o.dir);
  std::unique_ptr<const leveldb::FilterPolicy> filter(leveldb::NewBloomFilterPolicy(10));
  std::unique_ptr<leveldb::Cache> cache(leveldb::NewLRUCache(32 << 20));
  {
    leveldb::Options options;
    options.create_if_missing = true;
    options.write_buffer_size = 4 << 20;
    options.block_size = 16384;
    options.filter_policy = filter.get();
    options.block_cache = cache.get();
    leveldb::DB* db = nullptr;
    const leveldb::Status s = leveldb::DB::Open(options, o.dir, &db);
    if (!s.ok()) mixed::die(kProgram, "open " + o.dir + ": " + s.ToString());
    std::unique_ptr<leveldb::DB> owned(db);
    LevelDbEngine engine{db, {}, {}};
    mixed::preload(engine, o, kProgram);
    const mixed::Result r = mixed::run(engine, o, kProgram);
    mixed::print("leveldb", o, r, "");
  }
  std::filesystem::remove_all(o.dir);
  return 0;
}
