// Group commit: the queues of log frames that the fast write path fills, and the thread
// ("quenlordb-group-wal") that writes each shard's queued frames to its log in one write followed
// by one data sync. A frame is acknowledged to the writer before it is durable; it is durable once
// the pass that wrote it has synced.
//
// The thread writes through a handle of its own on each shard's log, always with that log's WalLock
// (shared with the shard thread's Wal), so its frames never interleave with the shard thread's and a
// failed write is cut off. A shard's queue can be paused while that shard flushes: its frames then
// stay queued until the flush has truncated the log, so the truncation never removes frames of
// versions that are only in the new memtable.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <future>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "storage/wal.h"

namespace quenlordb::storage {

class DurabilityThread;

// One queue of frames per shard and the signal that wakes the group-commit thread. Any thread may
// enqueue; only the group-commit thread drains.
class WalBatchQueue {
 public:
  explicit WalBatchQueue(std::size_t shard_count);
  WalBatchQueue(const WalBatchQueue&) = delete;
  WalBatchQueue& operator=(const WalBatchQueue&) = delete;

  // Appends one whole frame (or several) to the shard's queue and wakes the thread. Panics on a
  // shard number beyond the queues.
  void enqueue(std::string_view frames, std::size_t shard);

  // While paused, the thread leaves the shard's frames queued. Every pause must be followed by a
  // resume, on every path.
  void pause(std::size_t shard);
  void resume(std::size_t shard);

  // True once the group-commit thread has opened its log handles and until it has ended; writers
  // must not queue frames (and so must not acknowledge writes as if they would be written) while
  // it is false.
  bool accepting() const { return accepting_.load(std::memory_order_acquire); }

  std::size_t shard_count() const { return queues_.size(); }

 private:
  friend class DurabilityThread;

  struct ShardQueue {
    std::mutex mu;
    std::string frames;  // concatenated frames, oldest first
    bool paused = false;
  };

  void wake();

  std::vector<std::unique_ptr<ShardQueue>> queues_;
  std::mutex signal_mu_;
  std::condition_variable signal_cv_;
  bool pending_ = false;  // guarded by signal_mu_
  std::atomic<bool> accepting_{false};
};

// The handle of the group-commit thread. Destruction runs shutdown.
class DurabilityThread {
 public:
  // Starts the thread on the queue, with each shard's log path and WalLock (in shard order, as many
  // as the queue has shards) and the longest wait between two passes while frames are queued.
  // Returns once the thread has opened its log handles (queue.accepting() is then true) or failed
  // to (the thread has ended and accepting() stays false). Failure to start the thread is a panic
  // ("failed to spawn durability thread: ...").
  static std::unique_ptr<DurabilityThread> spawn(std::shared_ptr<WalBatchQueue> queue, std::vector<std::string> paths,
                                                 std::vector<std::shared_ptr<WalLock>> locks,
                                                 std::uint64_t interval_us);

  DurabilityThread(const DurabilityThread&) = delete;
  DurabilityThread& operator=(const DurabilityThread&) = delete;
  ~DurabilityThread();

  // Stops the thread after every frame queued before the call has been written and synced (or its
  // failure logged), then joins it. Idempotent.
  void shutdown();

 private:
  struct Shared;
  enum class Leftover { None, Paused };

  DurabilityThread(std::shared_ptr<Shared> shared, std::thread thread)
      : shared_(std::move(shared)), thread_(std::move(thread)) {}

  static void run(Shared& shared, std::promise<bool>& ready);
  // One pass: writes and syncs every unpaused shard's queued frames; reports whether a paused
  // shard kept frames queued.
  static Leftover flush_all(Shared& shared, std::vector<util::File>& files);
  static bool any_queued(Shared& shared);

  std::shared_ptr<Shared> shared_;
  std::thread thread_;
};

}  // namespace quenlordb::storage
