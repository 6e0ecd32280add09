// Engine benchmark: the single-threaded workload that bench/run_engine_bench.sh also runs on two
// peer engines, so that the figures compare line by line.
//
//   engine_bench [--dir DIR] [--keep] [--sync-n M] [N]
//
// Opens a database with the default Config in a fresh directory and measures N puts of ~110-byte
// JSON documents under 16-byte keys, N point gets in a shuffled order (mt19937_64, seed 42), one
// full scan_prefix(""), then the bytes left on disk once the database is closed. A second fresh
// directory takes the same puts with group commit off (every put goes through its shard thread and
// the log is synced every wal_fsync_every_n_records records); M puts there (default N).
// The directories are removed at the end unless --keep is given.
// Each result is one line: `quenlordb n=... put_ops_s=... get_ops_s=... scan_rows_s=... found=...
// scanned=... disk_bytes=...`, then `quenlordb-group-commit-off n=... put_ops_s=... disk_bytes=...`.
#include <algorithm>
#include <chrono>
#include <cinttypes>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <optional>
#include <random>
#include <string>
#include <string_view>
#include <vector>

#include "bench_documents.h"
#include "config.h"
#include "engine/database.h"

namespace {

using quenlordb::Config;
using quenlordb::engine::Database;

using bench::doc_of;
using bench::key_of;

constexpr std::uint64_t kValidForever = ~std::uint64_t{0};

double now() {
  return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

std::uint64_t disk_bytes(const std::string& dir) {
  std::uint64_t total = 0;
  for (const auto& entry : std::filesystem::recursive_directory_iterator(dir))
    if (entry.is_regular_file()) total += entry.file_size();
  return total;
}

[[noreturn]] void die(const std::string& what) {
  std::fprintf(stderr, "engine_bench: %s\n", what.c_str());
  std::exit(1);
}

std::unique_ptr<Database> open_fresh(const std::string& dir, const Config& config) {
  std::filesystem::remove_all(dir);
  auto db = Database::open(dir, config);
  if (!db) die("open " + dir + ": " + db.error().to_string());
  return std::move(*db);
}

// Puts documents 0..n-1; returns the seconds taken.
[[gnu::noinline]] double put_all(Database& db, std::uint64_t n) {
  const double start = now();
  for (std::uint64_t i = 0; i < n; ++i) {
    auto ts = db.put(key_of(i), doc_of(i), 0, kValidForever);
    if (!ts) die("put: " + ts.error().to_string());
  }
  return now() - start;
}

// Gets the documents in the given order; returns the seconds taken.
[[gnu::noinline]] double get_all(Database& db, const std::vector<std::uint64_t>& order, std::uint64_t& found) {
  const double start = now();
  for (std::uint64_t i : order) {
    auto doc = db.get(key_of(i));
    if (!doc) die("get: " + doc.error().to_string());
    if (*doc) ++found;
  }
  return now() - start;
}

// Scans every key; returns the seconds taken.
[[gnu::noinline]] double scan_all(Database& db, std::uint64_t& scanned) {
  const double start = now();
  auto rows = db.scan_prefix("");
  if (!rows) die("scan: " + rows.error().to_string());
  scanned = rows->size();
  return now() - start;
}

struct Options {
  std::uint64_t n = 1'000'000;
  std::optional<std::uint64_t> sync_n;
  std::string dir;
  bool keep = false;
};

Options parse_options(int argc, char** argv) {
  Options o;
  auto number = [](const char* text) {
    char* end = nullptr;
    const unsigned long long v = std::strtoull(text, &end, 10);
    if (end == text || *end != '\0' || v == 0) die(std::string("not a positive count: ") + text);
    return static_cast<std::uint64_t>(v);
  };
  for (int i = 1; i < argc; ++i) {
    const std::string_view arg = argv[i];
    if (arg == "--dir" && i + 1 < argc) {
      o.dir = argv[++i];
    } else if (arg == "--keep") {
      o.keep = true;
    } else if (arg == "--sync-n" && i + 1 < argc) {
      o.sync_n = number(argv[++i]);
    } else if (!arg.starts_with("-")) {
      o.n = number(argv[i]);
    } else {
      die("usage: engine_bench [--dir DIR] [--keep] [--sync-n M] [N]");
    }
  }
  if (o.dir.empty()) o.dir = (std::filesystem::temp_directory_path() / "quenlordb-engine-bench").string();
  return o;
}

}  // namespace

int main(int argc, char** argv) {
  const Options opt = parse_options(argc, argv);
  const std::uint64_t n = opt.n;
  std::vector<std::uint64_t> order(n);
  for (std::uint64_t i = 0; i < n; ++i) order[i] = i;
  std::mt19937_64 rng(42);
  std::shuffle(order.begin(), order.end(), rng);

  // Group commit on (the default Config): puts, gets, scan.
  const std::string dir = opt.dir + "/group-commit-on";
  std::uint64_t found = 0;
  std::uint64_t scanned = 0;
  double put_s = 0;
  double get_s = 0;
  double scan_s = 0;
  {
    auto db = open_fresh(dir, Config{});
    put_s = put_all(*db, n);

    get_s = get_all(*db, order, found);
    scan_s = scan_all(*db, scanned);
  }
  std::printf("quenlordb n=%" PRIu64 " put_ops_s=%.0f get_ops_s=%.0f scan_rows_s=%.0f found=%" PRIu64
              " scanned=%" PRIu64 " disk_bytes=%" PRIu64 "\n",
              n, n / put_s, n / get_s, scanned / scan_s, found, scanned, disk_bytes(dir));
  std::fflush(stdout);

  // Group commit off: the same puts through the shard threads.
  const std::uint64_t sync_n = opt.sync_n.value_or(n);
  const std::string sync_dir = opt.dir + "/group-commit-off";
  double sync_put_s = 0;
  {
    Config config;
    config.group_commit_enabled = false;
    auto db = open_fresh(sync_dir, config);
    sync_put_s = put_all(*db, sync_n);
  }
  std::printf("quenlordb-group-commit-off n=%" PRIu64 " put_ops_s=%.0f disk_bytes=%" PRIu64 "%s\n", sync_n,
              sync_n / sync_put_s, disk_bytes(sync_dir), sync_n == n ? "" : " (fewer puts than the main run)");

  if (!opt.keep) std::filesystem::remove_all(opt.dir);
  return 0;
}
