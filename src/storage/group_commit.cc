#include "storage/group_commit.h"

#include <chrono>
#include <string>

#include "util/log.h"
#include "util/thread.h"

namespace quenlordb::storage {

WalBatchQueue::WalBatchQueue(std::size_t shard_count) {
  queues_.reserve(shard_count);
  for (std::size_t i = 0; i < shard_count; ++i) queues_.push_back(std::make_unique<ShardQueue>());
}

void WalBatchQueue::enqueue(std::string_view frames, std::size_t shard) {
  if (shard >= queues_.size()) panic("group commit: shard " + std::to_string(shard) + " out of range");
  {
    ShardQueue& q = *queues_[shard];
    std::lock_guard lock(q.mu);
    q.frames.append(frames);
  }
  wake();
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
  std::vector<std::string> spare;  // per shard: the buffer swapped in when frames are taken
};

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
  std::vector<util::File> files;
  try {
    for (const std::string& path : s.paths) {
      auto file = open_wal_file(path);
      if (!file) panic("failed to open WAL file for group commit: " + path + ": " + file.error().to_string());
      files.push_back(std::move(*file));
    }
  } catch (const Panic&) {
    // The thread ends alone; writers see accepting() false and go to the shard threads.
    ready.set_value(false);
    return;
  }
  queue.accepting_.store(true, std::memory_order_release);
  ready.set_value(true);

  try {
    Leftover left = Leftover::None;
    while (true) {
      {
        std::unique_lock lock(queue.signal_mu_);
        const bool stopping = s.stop.load(std::memory_order_acquire);
        if (!queue.pending_ && (!stopping || left == Leftover::Paused)) {
          // Idle: an enqueue (or a resume, or shutdown) wakes the thread. With frames held back by
          // a paused shard, look again within the interval.
          if (left == Leftover::Paused) {
            queue.signal_cv_.wait_for(lock, s.interval);
          } else {
            queue.signal_cv_.wait(lock, [&] { return queue.pending_; });
          }
        }
        queue.pending_ = false;
      }
      left = flush_all(s, files);
      if (!s.stop.load(std::memory_order_acquire)) continue;
      if (any_queued(s)) continue;
      flush_all(s, files);
      break;
    }
  } catch (...) {
    // A fault in the loop ends the thread; from here on nothing would write queued frames.
  }
  queue.accepting_.store(false, std::memory_order_release);
}

DurabilityThread::Leftover DurabilityThread::flush_all(Shared& s, std::vector<util::File>& files) {
  WalBatchQueue& queue = *s.queue;
  Leftover left = Leftover::None;
  for (std::size_t shard = 0; shard < files.size(); ++shard) {
    WalBatchQueue::ShardQueue& q = *queue.queues_[shard];
    std::string& batch = s.spare[shard];
    {
      std::lock_guard lock(q.mu);
      if (q.frames.empty()) continue;
      if (q.paused) {
        left = Leftover::Paused;
        continue;
      }
      batch.swap(q.frames);
    }
    auto written = append_wal_frames(files[shard], *s.locks[shard], batch);
    batch.clear();  // keeps its capacity for a later pass
    if (!written) {
      util::log_event(util::LogLevel::Error,
                      "group WAL write failed for shard " + std::to_string(shard) + ": " + written.error().to_string());
      continue;
    }
    if (auto synced = files[shard].data_sync(); !synced) {
      util::log_event(util::LogLevel::Error,
                      "group WAL sync failed for shard " + std::to_string(shard) + ": " + synced.error().to_string());
    }
  }
  return left;
}

bool DurabilityThread::any_queued(Shared& s) {
  for (auto& q : s.queue->queues_) {
    std::lock_guard lock(q->mu);
    if (!q->frames.empty()) return true;
  }
  return false;
}

}  // namespace quenlordb::storage
