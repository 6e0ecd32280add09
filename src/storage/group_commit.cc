#include "storage/group_commit.h"

#include <cerrno>
#include <chrono>
#include <string>
#include <utility>

#include "util/log.h"
#include "util/thread.h"

namespace quenlordb::storage {

namespace {

// Claimable space the thread keeps in each shard's log reserve (topped up once below half). A
// frame larger than this is never acknowledged ahead of its write.
constexpr std::uint64_t kReserveTargetBytes = 1 << 20;
// Passes that may fail outright while draining at shutdown before the thread gives up.
constexpr int kFailedDrainPasses = 3;

}  // namespace

WalBatchQueue::WalBatchQueue(std::size_t shard_count) {
  queues_.reserve(shard_count);
  for (std::size_t i = 0; i < shard_count; ++i) queues_.push_back(std::make_unique<ShardQueue>());
}

void WalBatchQueue::enqueue(std::string_view frames, std::size_t shard, std::uint64_t claimed_bytes,
                            bool wake_thread) {
  if (shard >= queues_.size()) panic("group commit: shard " + std::to_string(shard) + " out of range");
  {
    ShardQueue& q = *queues_[shard];
    std::lock_guard lock(q.mu);
    q.frames.append(frames);
    q.claimed += claimed_bytes;
    ++q.writes;
  }
  if (wake_thread) wake();
}

std::uint64_t WalBatchQueue::unwritten_writes(std::size_t shard) const {
  const ShardQueue& q = *queues_.at(shard);
  std::lock_guard lock(q.mu);
  return q.writes;
}

void WalBatchQueue::pause(std::size_t shard) {
  ShardQueue& q = *queues_.at(shard);
  std::lock_guard lock(q.mu);
  q.paused = true;
}

void WalBatchQueue::resume(std::size_t shard) {
  {
    ShardQueue& q = *queues_.at(shard);
    std::lock_guard lock(q.mu);
    q.paused = false;
    q.resumed.notify_all();
  }
  wake();
}

void WalBatchQueue::wake() {
  {
    std::lock_guard lock(signal_mu_);
    pending_ = true;
  }
  signal_cv_.notify_one();
}

struct DurabilityThread::Shared {
  std::shared_ptr<WalBatchQueue> queue;
  std::vector<std::string> paths;
  std::vector<std::shared_ptr<WalLock>> locks;
  std::chrono::microseconds interval{0};
  std::atomic<bool> stop{false};
  // Held for a pass of the thread or a write_queued call; guards the members below.
  std::mutex pass_mu;
  std::vector<util::File> files;   // the thread's handles on the logs, in shard order, once opened
  std::vector<std::string> spare;  // per shard: the buffer swapped in when frames are taken
  std::vector<char> unsynced;      // per shard: write_queued wrote frames that no sync has covered
  std::vector<std::size_t> to_sync;  // the thread's own: shards a pass syncs
};

enum class DurabilityThread::ShardWrite { Nothing, Written, Paused };

std::unique_ptr<DurabilityThread> DurabilityThread::spawn(std::shared_ptr<WalBatchQueue> queue,
                                                          std::vector<std::string> paths,
                                                          std::vector<std::shared_ptr<WalLock>> locks,
                                                          std::uint64_t interval_us) {
  if (paths.size() != queue->shard_count() || locks.size() != queue->shard_count())
    panic("group commit: one log path and lock per shard required");
  auto shared = std::make_shared<Shared>();
  shared->queue = std::move(queue);
  shared->paths = std::move(paths);
  shared->locks = std::move(locks);
  shared->interval = std::chrono::microseconds(
      static_cast<std::int64_t>(std::min<std::uint64_t>(interval_us, std::chrono::microseconds::max().count())));
  shared->spare.resize(shared->paths.size());
  shared->unsynced.resize(shared->paths.size(), 0);

  // The promise is shared with the thread so that neither side outlives it.
  auto ready = std::make_shared<std::promise<bool>>();
  std::future<bool> opened = ready->get_future();
  auto thread = util::spawn_named("quenlordb-group-wal", [shared, ready] { run(*shared, *ready); });
  if (!thread) panic("failed to spawn durability thread: " + thread.error().to_string());
  opened.wait();
  return std::unique_ptr<DurabilityThread>(new DurabilityThread(std::move(shared), std::move(*thread)));
}

DurabilityThread::~DurabilityThread() { shutdown(); }

void DurabilityThread::shutdown() {
  if (!thread_.joinable()) return;
  shared_->stop.store(true, std::memory_order_release);
  shared_->queue->wake();
  thread_.join();
}

void DurabilityThread::run(Shared& s, std::promise<bool>& ready) {
  WalBatchQueue& queue = *s.queue;
  try {
    std::vector<util::File> files;
    for (const std::string& path : s.paths) {
      auto file = open_wal_file(path);
      if (!file) panic("failed to open WAL file for group commit: " + path + ": " + file.error().to_string());
      files.push_back(std::move(*file));
    }
    std::lock_guard pass(s.pass_mu);
    s.files = std::move(files);
  } catch (const Panic&) {
    // The thread ends alone; writers see accepting() false and go to the shard threads.
    ready.set_value(false);
    return;
  }
  // Writers can claim reserved space from the first pass on.
  {
    std::lock_guard pass(s.pass_mu);
    top_up_reserves(s);
  }
  queue.accepting_.store(true, std::memory_order_release);
  ready.set_value(true);

  try {
    Leftover left = Leftover::None;
    int failed_drain_passes = 0;
    while (true) {
      {
        std::unique_lock lock(queue.signal_mu_);
        const bool stopping = s.stop.load(std::memory_order_acquire);
        if (!queue.pending_ && (!stopping || left != Leftover::None)) {
          // Idle: an enqueue (or a resume, or shutdown) wakes the thread. With frames held back by
          // a paused shard or a failed write, look again within the interval.
          if (left != Leftover::None) {
            queue.signal_cv_.wait_for(lock, s.interval);
          } else {
            queue.signal_cv_.wait(lock, [&] { return queue.pending_; });
          }
        }
        queue.pending_ = false;
      }
      bool progress = false;
      left = flush_all(s, &progress);
      if (!s.stop.load(std::memory_order_acquire)) continue;
      // Draining: go on while frames are queued, unless their writes keep failing; those frames
      // stay queued for the owner (unwritten_writes).
      if (left == Leftover::Failed && !progress && ++failed_drain_passes >= kFailedDrainPasses) break;
      if (any_queued(s)) continue;
      flush_all(s);
      break;
    }
  } catch (...) {
    // A fault in the loop ends the thread; from here on nothing would write queued frames.
  }
  queue.accepting_.store(false, std::memory_order_release);
}

Result<DurabilityThread::ShardWrite> DurabilityThread::write_shard(Shared& s, std::size_t shard) {
  WalBatchQueue::ShardQueue& q = *s.queue->queues_[shard];
  std::string& batch = s.spare[shard];
  std::uint64_t claimed;
  std::uint64_t writes;
  {
    std::lock_guard lock(q.mu);
    if (q.frames.empty()) return ShardWrite::Nothing;
    if (q.paused) return ShardWrite::Paused;
    batch.swap(q.frames);
    claimed = std::exchange(q.claimed, 0);
    writes = std::exchange(q.writes, 0);
  }
  auto written = append_wal_frames(s.files[shard], *s.locks[shard], batch, claimed);
  if (!written) {
    // The frames go back in front of those queued since, to be written on a later pass.
    std::lock_guard lock(q.mu);
    batch.append(q.frames);
    q.frames.swap(batch);
    q.claimed += claimed;
    q.writes += writes;
    q.failing.store(true, std::memory_order_release);
    batch.clear();
    return fail(std::move(written.error()));
  }
  batch.clear();  // keeps its capacity for a later pass
  q.failing.store(false, std::memory_order_release);
  return ShardWrite::Written;
}

DurabilityThread::Leftover DurabilityThread::flush_all(Shared& s, bool* progress) {
  const auto sync = [&](std::size_t shard) {
    if (auto synced = s.files[shard].data_sync(); !synced) {
      util::log_event(util::LogLevel::Error,
                      "group WAL sync failed for shard " + std::to_string(shard) + ": " + synced.error().to_string());
    }
  };
  // The syncs run without the pass mutex, so that write_queued never waits for one; the handles
  // do not change once opened.
  std::vector<std::size_t>& to_sync = s.to_sync;
  std::unique_lock pass(s.pass_mu);
  // What write_queued wrote is synced before anything queued after it is written, so that the
  // order it made holds on disk too.
  while (true) {
    to_sync.clear();
    for (std::size_t shard = 0; shard < s.files.size(); ++shard) {
      if (std::exchange(s.unsynced[shard], 0) != 0) to_sync.push_back(shard);
    }
    if (to_sync.empty()) break;
    pass.unlock();
    for (const std::size_t shard : to_sync) sync(shard);
    pass.lock();
  }
  Leftover left = Leftover::None;
  for (std::size_t shard = 0; shard < s.files.size(); ++shard) {
    Result<ShardWrite> written = write_shard(s, shard);
    if (!written) {
      util::log_event(util::LogLevel::Error,
                      "group WAL write failed for shard " + std::to_string(shard) + ": " + written.error().to_string());
      left = Leftover::Failed;
      continue;
    }
    if (*written == ShardWrite::Paused) {
      if (left == Leftover::None) left = Leftover::Paused;
      continue;
    }
    if (*written == ShardWrite::Nothing) continue;
    if (progress != nullptr) *progress = true;
    to_sync.push_back(shard);
  }
  top_up_reserves(s);
  pass.unlock();
  for (const std::size_t shard : to_sync) sync(shard);
  return left;
}

Result<void> DurabilityThread::write_queued() {
  Shared& s = *shared_;
  WalBatchQueue& queue = *s.queue;
  bool wrote = false;
  for (std::size_t shard = 0; shard < queue.shard_count(); ++shard) {
    WalBatchQueue::ShardQueue& q = *queue.queues_[shard];
    while (true) {
      {
        std::lock_guard pass(s.pass_mu);
        if (s.files.empty()) {
          // The thread never opened the logs: nothing queued can be written.
          if (queue.unwritten_writes(shard) == 0) break;
          return fail(QuenlorError::io_limit(EIO, "the group-commit thread is not running; " +
                                                      std::to_string(queue.unwritten_writes(shard)) +
                                                      " acknowledged writes of shard " + std::to_string(shard) +
                                                      " are not in its log"));
        }
        const ShardWrite written = TRY(write_shard(s, shard));
        if (written == ShardWrite::Written) {
          s.unsynced[shard] = 1;
          wrote = true;
        }
        if (written != ShardWrite::Paused) break;
      }
      // The shard is flushing: its frames go to the log once the flush has truncated it.
      std::unique_lock lock(q.mu);
      q.resumed.wait(lock, [&] { return !q.paused; });
    }
  }
  if (wrote) queue.wake();  // for the sync
  return {};
}

void DurabilityThread::top_up_reserves(Shared& s) {
  for (std::size_t shard = 0; shard < s.files.size(); ++shard) {
    // A full disk leaves the reserve short: writers then stop claiming and take the shard thread's
    // path, which reports the failure. EOPNOTSUPP is remembered by the lock.
    (void)top_up_wal_reserve(s.files[shard], *s.locks[shard], kReserveTargetBytes);
  }
}

bool DurabilityThread::any_queued(Shared& s) {
  for (auto& q : s.queue->queues_) {
    std::lock_guard lock(q->mu);
    if (!q->frames.empty()) return true;
  }
  return false;
}

}  // namespace quenlordb::storage
