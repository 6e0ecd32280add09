#include "engine/database.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <exception>
#include <limits>
#include <span>
#include <thread>

#include "engine/directory_lock.h"
#include "engine/fast_write.h"
#include "engine/insight_service.h"
#include "engine/prefix_scan.h"
#include "engine/shard_command.h"
#include "engine/shard_runtime.h"
#include "engine/shard_shared.h"
#include "engine/shared_manifest.h"
#include "hasher.h"
#include "storage/block_cache.h"
#include "storage/group_commit.h"
#include "storage/manifest.h"
#include "util/arena.h"
#include "util/channel.h"
#include "util/file.h"
#include "util/thread.h"

namespace quenlordb::engine {

struct Database::State {
  Config config;
  std::uint64_t id = 0;  // see ReadStamp
  std::shared_ptr<SharedManifest> manifest;
  std::shared_ptr<const Hasher> hasher;
  // Held for the life of the database: an exclusive advisory lock on the root directory.
  DirectoryLock root_lock;
  // One slot per shard, index = shard number: its command channel, its readers' handle, its thread.
  struct Shard {
    util::Sender<ShardCommand> sender;
    ShardReadHandle reader;
    std::thread thread;
  };
  std::vector<Shard> shards;
  std::shared_ptr<FastWritePath> fast_write;
  std::shared_ptr<storage::WalBatchQueue> queue;  // the fast write path's frames, with it
  std::unique_ptr<storage::DurabilityThread> durability;
  std::unique_ptr<InsightService> insights;

  // A key's shard, and the hash that chose it, which its bloom probes start from. Computed once per
  // operation.
  struct Route {
    std::size_t shard;
    std::uint64_t hash;
  };
  Route route(std::string_view key) const {
    const std::uint64_t hash = hasher->hash64(key);
    return {shard_of(hash, shards.size()), hash};
  }

  // Every shard's read handle, in shard order.
  std::vector<const ShardReadHandle*> readers() const;

  std::vector<util::Sender<ShardCommand>> senders() const {
    std::vector<util::Sender<ShardCommand>> out;
    out.reserve(shards.size());
    for (const Shard& shard : shards) out.push_back(shard.sender);
    return out;
  }

  // Set once open has started everything; a failed open only disconnects and joins what it started.
  bool opened = false;

  ~State() {
    if (!opened) {
      insights.reset();
      // Every sender goes first, so that each started shard thread sees its channel disconnected.
      for (Shard& shard : shards) {
        [[maybe_unused]] const util::Sender<ShardCommand> closed = std::move(shard.sender);
      }
      for (Shard& shard : shards) shard.thread.join();
      return;
    }
    if (fast_write) fast_write->disable();
    if (durability) durability->shutdown();
    insights.reset();  // stops and joins the insight runtime
    // Frames the group-commit thread could not write: their shards keep those writes in table files.
    for (std::size_t j = 0; j < shards.size(); ++j) {
      ShardCommand::Shutdown shutdown;
      if (queue) shutdown.unwritten_writes = queue->unwritten_writes(j);
      (void)shards[j].sender.send(ShardCommand{shutdown});
    }
    for (auto it = shards.rbegin(); it != shards.rend(); ++it) {
      if (it->thread.joinable()) it->thread.join();
    }
  }
};

Result<void> check_key_length(std::string_view key) {
  if (key.size() <= kMaxKeyBytes) return {};
  return fail(QuenlorError::io_limit(ENAMETOOLONG, "key is too long (" + std::to_string(key.size()) + " bytes; at most " +
                                                       std::to_string(kMaxKeyBytes) + ")"));
}

Database::Database(std::unique_ptr<State> state) : state_(std::move(state)) {}

Database::~Database() = default;

const Config& Database::config() const { return state_->config; }

const std::string& Database::path() const { return state_->root_lock.path(); }

Result<std::unique_ptr<Database>> Database::open(const std::string& path, const Config& config,
                                                 InsightStarter start_insights) {
  TRY(config.validate());
  if (config.ai_enabled && start_insights == nullptr) {
    return fail(QuenlorError::feature_not_enabled("ai_enabled needs the insight runtime, which this open was not given"));
  }
  TRY(util::create_dir_all(path));
  // Every file of the database is named from here on by the directory's canonical absolute path,
  // so that a later change of the working directory changes nothing.
  const std::string root = TRY(util::canonical_path(path));

  auto state = std::make_unique<State>();
  state->config = config;
  static std::atomic<std::uint64_t> last_id{0};
  state->id = last_id.fetch_add(1, std::memory_order_relaxed) + 1;
  // Two Database objects must never share a directory: the second open fails instead.
  state->root_lock = TRY(DirectoryLock::acquire(root));

  storage::Manifest manifest = TRY(storage::Manifest::load_or_create(root, config.shard_count));
  if (manifest.state().shards.size() != config.shard_count) {
    return fail(QuenlorError::manifest_format("manifest shard count " + std::to_string(manifest.state().shards.size()) +
                                              " != config shard count " + std::to_string(config.shard_count)));
  }
  state->manifest = std::make_shared<SharedManifest>(std::move(manifest));
  state->hasher = build_hasher();
  auto block_cache = std::make_shared<storage::BlockCache>(config.block_cache_bytes);
  auto index_cache = std::make_shared<storage::IndexCache>(config.index_cache_entries);

  std::shared_ptr<storage::WalBatchQueue> queue;
  if (config.group_commit_enabled) queue = std::make_shared<storage::WalBatchQueue>(config.shard_count);
  std::vector<std::shared_ptr<ShardShared>> shards;
  std::vector<std::string> wal_paths;
  std::vector<std::shared_ptr<storage::WalLock>> wal_locks;

  for (std::uint64_t j = 0; j < config.shard_count; ++j) {
    auto [tx, rx] = util::make_channel<ShardCommand>();
    storage::ManifestShardState entry;
    {
      std::lock_guard lock(state->manifest->mutex());
      entry = state->manifest->manifest().state().shards[j];
    }
    ShardRuntime::Opened opened = TRY(ShardRuntime::open(root, entry, config, state->manifest, state->hasher,
                                                         block_cache, index_cache, j, queue));
    if (queue) {
      shards.push_back(opened.handle.shared());
      wal_paths.push_back(opened.runtime->wal_path());
      wal_locks.push_back(opened.runtime->wal_lock());
    }
    auto thread = util::spawn_named(
        "quenlordb-shard-" + std::to_string(j),
        [runtime = std::move(opened.runtime), rx = std::move(rx)]() mutable {
          try {
            ShardRuntime::run(std::move(runtime), std::move(rx));
          } catch (...) {
            // A shard thread that panics ends alone; its requesters see their channels close.
          }
        });
    if (!thread) return fail(std::move(thread).error());
    state->shards.push_back(State::Shard{std::move(tx), std::move(opened.handle), std::move(*thread)});
  }

  if (config.ai_enabled) {
    if (config.group_commit_enabled) {
      // The fast write path declines from now on, so that every put raises its change event.
      for (const auto& shard : shards) shard->has_subscribers.store(true, std::memory_order_release);
    }
    util::Receiver<ChangeEvent> events = [&] {
      auto [tx, rx] = util::make_channel<ChangeEvent>();
      for (const State::Shard& shard : state->shards) {
        (void)shard.sender.send(ShardCommand{ShardCommand::Subscribe{Subscriber{tx, std::string()}}});
      }
      return std::move(rx);
    }();  // the facade's own sending end is gone here: only the subscribers hold one
    state->insights = TRY(start_insights(InsightFeed{std::move(events), state->senders(), state->hasher, config}));
  }

  if (config.group_commit_enabled) {
    state->fast_write = std::make_shared<FastWritePath>(std::move(shards), wal_locks, config.memtable_max_bytes, queue);
    state->queue = queue;
    state->durability =
        storage::DurabilityThread::spawn(queue, std::move(wal_paths), std::move(wal_locks), config.group_commit_interval_us);
  }
  state->opened = true;
  return std::unique_ptr<Database>(new Database(std::move(state)));
}

Result<std::uint64_t> Database::put(std::string_view key, std::string doc, std::uint64_t valid_from,
                                    std::uint64_t valid_to, std::optional<std::uint64_t> write_tag) {
  TRY(check_key_length(key));
  State& s = *state_;
  const std::size_t shard = s.route(key).shard;
  if (s.fast_write) {
    if (auto ts = s.fast_write->try_fast_put(shard, key, doc, valid_from, valid_to, write_tag)) return *ts;
  }
  auto [reply_tx, reply_rx] = util::make_bounded_channel<Result<std::uint64_t>>(1);
  ShardCommand::Put cmd{write_tag, std::move(reply_tx), std::string(key), std::move(doc), valid_from, valid_to};
  TRY(s.shards[shard].sender.send_or_closed(ShardCommand{std::move(cmd)}));
  return TRY(reply_rx.recv_or_closed());
}

Result<std::optional<std::string>> Database::get(std::string_view key, std::optional<std::uint64_t> as_of,
                                                 std::optional<std::uint64_t> valid_at) {
  State& s = *state_;
  const State::Route route = s.route(key);
  ShardGetResult result = TRY(s.shards[route.shard].reader.get(key, route.hash, as_of, valid_at));
  return std::move(result.value);
}

Result<bool> Database::visit_get(std::string_view key, util::FunctionRef<void(std::string_view doc)> visit,
                                 std::optional<std::uint64_t> as_of, std::optional<std::uint64_t> valid_at) {
  State& s = *state_;
  const State::Route route = s.route(key);
  const ShardRead result = TRY(s.shards[route.shard].reader.read(key, route.hash, as_of, valid_at));
  if (!result.found) return false;
  visit(result.found->doc());
  return true;
}

Result<void> Database::log_acknowledged_writes() {
  State& s = *state_;
  if (!s.durability) return {};
  return s.durability->write_queued();
}

Database::ReadStamp Database::read_stamp(std::string_view key) const { return shard_stamp(shard_of_key(key)); }

std::size_t Database::shard_count() const { return state_->shards.size(); }

std::size_t Database::shard_of_key(std::string_view key) const { return state_->route(key).shard; }

Database::ReadStamp Database::shard_stamp(std::size_t shard) const {
  const State& s = *state_;
  if (shard >= s.shards.size()) panic("shard " + std::to_string(shard) + " out of range");
  return ReadStamp{s.id, s.shards[shard].reader.default_snapshot()};
}

namespace {

std::atomic<std::size_t> g_batch_read_max_threads{SIZE_MAX};  // SIZE_MAX: the default
std::atomic<std::size_t> g_batch_read_min_keys{0};

// A run of a batch read on threads: consecutive keys of one shard (positions into the batch's
// order), read at the shard's snapshot, and what the read found: for each key with a version (that
// the skip hint did not leave out) its position and its document, held in its block by one of pins,
// or copied into docs when it has none; then how the read ended. The documents of one block come
// one after another, and share its pin: taking and dropping a pin per document cost the calling
// thread, which drops them, an atomic decrement of a count the reading thread had just changed.
struct BatchRun {
  std::size_t shard = 0;
  std::span<const std::uint32_t> order;
  static constexpr std::uint32_t kNoPin = UINT32_MAX;
  struct Found {
    std::uint32_t i;
    std::uint32_t pin;  // into pins, or kNoPin
    std::string_view doc;
  };
  struct Pin {
    std::shared_ptr<const void> block;
    std::size_t bytes;
  };
  std::vector<Found> found;
  std::vector<Pin> pins;
  util::Arena docs;  // in blocks that never move, so that the views stay valid as it grows
  Result<void> outcome;
  std::exception_ptr thrown;  // of the read, rethrown on the calling thread
};

}  // namespace

BatchReadThreads default_batch_read_threads() {
  return BatchReadThreads{std::max<std::size_t>(std::thread::hardware_concurrency(), 1), 1024};
}

BatchReadThreads batch_read_threads() {
  const std::size_t max_threads = g_batch_read_max_threads.load(std::memory_order_relaxed);
  if (max_threads == SIZE_MAX) return default_batch_read_threads();
  return BatchReadThreads{max_threads, g_batch_read_min_keys.load(std::memory_order_relaxed)};
}

void set_batch_read_threads(std::optional<BatchReadThreads> threads) {
  g_batch_read_min_keys.store(threads ? threads->min_keys : 0, std::memory_order_relaxed);
  g_batch_read_max_threads.store(threads ? threads->max_threads : SIZE_MAX, std::memory_order_relaxed);
}

namespace {

// visit_get_many of a batch large enough for threads (see BatchReadThreads) over the shards'
// readers, its keys' positions grouped by shard in order (shard j's from starts[j] to
// starts[j + 1]), each group in key order.
Result<void> read_batch_on_threads(std::span<const ShardReadHandle* const> readers,
                                   std::span<const std::string_view> keys, std::span<const std::uint64_t> hashes,
                                   std::span<const std::uint32_t> order, std::span<const std::size_t> starts,
                                   BatchReadThreads threads, std::optional<std::uint64_t> as_of,
                                   std::optional<std::uint64_t> valid_at, Database::BatchVisitor visit,
                                   const BatchReadSkip* skip) {
  // A round holds at most this many keys per thread: what the calling thread has still to visit.
  constexpr std::size_t kRoundKeysPerThread = 4096;
  // Runs are shorter than a thread's share, so that threads that start early (the calling thread
  // starts the others first) take more of them.
  constexpr std::size_t kRunsPerThread = 4;
  const std::size_t min_keys = std::max<std::size_t>(threads.min_keys, 1);
  const std::size_t workers = std::min(threads.max_threads, keys.size() / min_keys);
  // Each run begins at a whole group of its shard's keys (ShardReadHandle::read_many), so that its
  // groups, and what an error leaves unvisited, are those of a read on one thread.
  constexpr std::size_t kGroup = ShardReadHandle::kReadGroupKeys;
  std::size_t run_keys =
      std::min(std::max((keys.size() + kRunsPerThread * workers - 1) / (kRunsPerThread * workers), min_keys),
               kRoundKeysPerThread);
  run_keys = (run_keys + kGroup - 1) / kGroup * kGroup;
  // Each shard is read at one snapshot, taken before any of its runs.
  std::vector<std::uint64_t> snapshots(readers.size());
  std::vector<BatchRun> runs;
  for (std::size_t shard = 0; shard < readers.size(); ++shard) {
    snapshots[shard] = as_of ? *as_of : readers[shard]->shared()->committed_ts.load(std::memory_order_acquire);
    for (std::size_t at = starts[shard]; at < starts[shard + 1]; at += run_keys) {
      BatchRun& run = runs.emplace_back();
      run.shard = shard;
      run.order = order.subspan(at, std::min(run_keys, starts[shard + 1] - at));
    }
  }
  const std::size_t runs_per_round = std::max<std::size_t>(workers * kRoundKeysPerThread / run_keys, 1);
  for (std::size_t round = 0; round < runs.size(); round += runs_per_round) {
    const std::span<BatchRun> batch =
        std::span(runs).subspan(round, std::min(runs_per_round, runs.size() - round));
    std::atomic<std::size_t> next{0};
    // The first of the round's runs known to have failed: the runs after it are not read (those
    // before it are, for the visits before its error).
    std::atomic<std::size_t> first_failed{SIZE_MAX};
    // Takes the round's runs one after another until none is left.
    auto work = [&] {
      for (std::size_t r; (r = next.fetch_add(1, std::memory_order_relaxed)) < batch.size();) {
        BatchRun& run = batch[r];
        if (r > first_failed.load(std::memory_order_relaxed)) continue;
        try {
          run.found.reserve(run.order.size());
          run.outcome = readers[run.shard]->read_many(
              keys, hashes, run.order, snapshots[run.shard], valid_at,
              [&run](std::size_t i, const BatchDoc& doc) -> Result<void> {
                const auto at = static_cast<std::uint32_t>(i);
                const std::string_view bytes = doc.doc();
                if (const void* block = doc.pinned()) {
                  if (run.pins.empty() || run.pins.back().block.get() != block) {
                    run.pins.push_back({doc.pin(), doc.pinned_bytes()});
                  }
                  run.found.push_back({at, static_cast<std::uint32_t>(run.pins.size() - 1), bytes});
                } else {
                  char* copy = run.docs.allocate(bytes.size(), 1);
                  if (!bytes.empty()) std::memcpy(copy, bytes.data(), bytes.size());
                  run.found.push_back({at, BatchRun::kNoPin, std::string_view(copy, bytes.size())});
                }
                return {};
              },
              skip);
        } catch (...) {
          run.thrown = std::current_exception();
        }
        if (!run.outcome || run.thrown) {
          std::size_t seen = first_failed.load(std::memory_order_relaxed);
          while (r < seen && !first_failed.compare_exchange_weak(seen, r, std::memory_order_relaxed)) {
          }
        }
      }
    };
    std::vector<util::HelperThread> started;
    for (std::size_t t = 1; t < std::min(workers, batch.size()); ++t) {
      Result<util::HelperThread> thread = util::spawn_helper("quenlordb-read", kBatchReadStackBytes, [&work] { work(); });
      if (!thread) break;  // the threads started, and the calling thread, read the rest
      started.push_back(std::move(*thread));
    }
    work();
    for (util::HelperThread& thread : started) thread.join();
    for (BatchRun& run : batch) {
      if (run.thrown) std::rethrow_exception(run.thrown);
      for (const BatchRun::Found& found : run.found) {
        const BatchRun::Pin* pin = found.pin != BatchRun::kNoPin ? &run.pins[found.pin] : nullptr;
        TRY(visit(found.i, pin != nullptr ? BatchDoc(found.doc, &pin->block, pin->bytes) : BatchDoc(found.doc)));
      }
      TRY(std::move(run.outcome));
      run.found = {};
      run.pins = {};
      run.docs = util::Arena();
    }
  }
  return {};
}

}  // namespace

Result<void> Database::visit_get_many(std::span<const std::string_view> keys, BatchVisitor visit,
                                      std::optional<std::uint64_t> as_of, std::optional<std::uint64_t> valid_at,
                                      const BatchReadSkip* skip) {
  constexpr std::size_t kMaxKeys = std::numeric_limits<std::uint32_t>::max();  // positions are 32-bit
  if (keys.size() > kMaxKeys) {
    for (std::size_t base = 0; base < keys.size(); base += kMaxKeys) {
      auto skip_shifted = [&](std::size_t i, std::string_view doc) { return (*skip)(base + i, doc); };
      const BatchReadSkip shifted = skip_shifted;
      TRY(visit_get_many(keys.subspan(base, std::min(kMaxKeys, keys.size() - base)),
                         [&](std::size_t i, const BatchDoc& doc) { return visit(base + i, doc); }, as_of, valid_at,
                         skip != nullptr ? &shifted : nullptr));
    }
    return {};
  }
  State& s = *state_;
  const std::size_t shard_count = s.shards.size();
  std::vector<std::uint64_t> hashes(keys.size());
  std::vector<std::uint32_t> shard_of_key(keys.size());
  std::vector<std::size_t> starts(shard_count + 1, 0);
  for (std::size_t i = 0; i < keys.size(); ++i) {
    const State::Route route = s.route(keys[i]);
    hashes[i] = route.hash;
    shard_of_key[i] = static_cast<std::uint32_t>(route.shard);
    ++starts[route.shard + 1];
  }
  for (std::size_t shard = 0; shard < shard_count; ++shard) starts[shard + 1] += starts[shard];
  // The keys' positions grouped by shard, each group in key order (a list given in key order, as
  // posting lists often are, needs no sort).
  std::vector<std::uint32_t> order(keys.size());
  {
    std::vector<std::size_t> next(starts.begin(), starts.end() - 1);
    for (std::size_t i = 0; i < keys.size(); ++i) order[next[shard_of_key[i]]++] = static_cast<std::uint32_t>(i);
  }
  for (std::size_t shard = 0; shard < shard_count; ++shard) {
    const auto first = order.begin() + static_cast<std::ptrdiff_t>(starts[shard]);
    const auto last = order.begin() + static_cast<std::ptrdiff_t>(starts[shard + 1]);
    auto by_key = [&](std::uint32_t a, std::uint32_t b) { return keys[a] < keys[b]; };
    if (!std::is_sorted(first, last, by_key)) std::stable_sort(first, last, by_key);
  }
  const BatchReadThreads threads = batch_read_threads();
  if (threads.max_threads >= 2 && keys.size() >= 2 * std::max<std::size_t>(threads.min_keys, 1)) {
    return read_batch_on_threads(s.readers(), keys, hashes, order, starts, threads, as_of, valid_at, visit, skip);
  }
  for (std::size_t shard = 0; shard < shard_count; ++shard) {
    if (starts[shard] == starts[shard + 1]) continue;
    TRY(s.shards[shard].reader.read_many(keys, hashes,
                                         std::span(order).subspan(starts[shard], starts[shard + 1] - starts[shard]),
                                         as_of, valid_at, visit, skip));
  }
  return {};
}

Result<GetExplain> Database::explain_get(std::string_view key, std::optional<std::uint64_t> as_of,
                                         std::optional<std::uint64_t> valid_at) {
  State& s = *state_;
  const State::Route route = s.route(key);
  ShardGetResult result = TRY(s.shards[route.shard].reader.get(key, route.hash, as_of, valid_at));
  return GetExplain{result.sstable_block, route.shard, result.commit_ts_used, result.bloom_hit};
}

namespace {

// The shards of a scan of every shard: each shard's snapshot is taken first, when the scan starts;
// then each shard's memtables are merged under their locks and its table files taken (gather_scan),
// on the calling thread or on the scan's thread that reads the shard (engine/prefix_scan.h).
class DatabaseScanShards final : public ScanShards {
 public:
  DatabaseScanShards(std::vector<const ShardReadHandle*> readers, std::string_view prefix,
                     std::optional<std::uint64_t> as_of, std::optional<std::uint64_t> valid_at,
                     std::optional<std::uint64_t> limit)
      : readers_(std::move(readers)), prefix_(prefix), valid_at_(valid_at), limit_(limit) {
    snapshots_.reserve(readers_.size());
    for (const ShardReadHandle* reader : readers_) snapshots_.push_back(reader->scan_snapshot(as_of));
  }
  std::size_t count() const override { return readers_.size(); }
  std::uint64_t scan_bytes(std::size_t shard, std::string_view prefix) const override {
    return readers_[shard]->scan_table_bytes(prefix);
  }
  Result<ShardScanInput> gather(std::size_t shard) const override {
    return readers_[shard]->gather_scan(prefix_, snapshots_[shard], valid_at_, limit_);
  }

 private:
  std::vector<const ShardReadHandle*> readers_;
  std::vector<std::uint64_t> snapshots_;
  std::string_view prefix_;
  std::optional<std::uint64_t> valid_at_;
  std::optional<std::uint64_t> limit_;
};

}  // namespace

std::vector<const ShardReadHandle*> Database::State::readers() const {
  std::vector<const ShardReadHandle*> out;
  out.reserve(shards.size());
  for (const Shard& shard : shards) out.push_back(&shard.reader);
  return out;
}

Result<void> Database::visit_prefix(std::string_view prefix, PrefixScanVisitor visit,
                                   std::optional<std::uint64_t> as_of, std::optional<std::uint64_t> valid_at,
                                   std::optional<std::uint64_t> limit, const PrefixScanSkip* skip) {
  if (limit && *limit == 0) return {};
  return scan_shards(DatabaseScanShards(state_->readers(), prefix, as_of, valid_at, limit), prefix, valid_at, limit,
                     visit, skip);
}

Result<PrefixScanRows> Database::scan_prefix(std::string_view prefix, std::optional<std::uint64_t> as_of,
                                             std::optional<std::uint64_t> valid_at,
                                             std::optional<std::uint64_t> limit) {
  PrefixScanRows rows;
  if (limit && *limit == 0) return rows;
  TRY(scan_shards(DatabaseScanShards(state_->readers(), prefix, as_of, valid_at, limit), prefix, valid_at, limit,
                  rows));
  return rows;
}

Result<DbStats> Database::stats() {
  State& s = *state_;
  DbStats out;
  out.shard_count = s.config.shard_count;
  for (const State::Shard& shard : s.shards) {
    auto [reply_tx, reply_rx] = util::make_bounded_channel<ShardStats>(1);
    TRY(shard.sender.send_or_closed(ShardCommand{ShardCommand::Stats{std::move(reply_tx)}}));
    const ShardStats counted = TRY(reply_rx.recv_or_closed());
    out.writes += counted.writes;
    out.flushes += counted.flushes;
    out.compactions += counted.compactions;
  }
  for (const State::Shard& shard : s.shards) {
    const ShardShared& shared = *shard.reader.shared();
    out.reads += shared.reads.load(std::memory_order_relaxed);
    out.bloom_negatives += shared.bloom_negatives.load(std::memory_order_relaxed);
    out.block_reads += shared.block_reads.load(std::memory_order_relaxed);
  }
  return out;
}

}  // namespace quenlordb::engine
