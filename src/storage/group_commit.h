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
//
// A frame is acknowledged only once it may be written: writers claim space for it in the log's
// reserve (see WalLock), which the thread keeps topped up, so a full disk cannot fail its write.
// A write that fails all the same keeps its frames queued, in order, and the thread tries them
// again on later passes and when draining at shutdown; while a shard's frames are failing, writers
// must not acknowledge more (failing()). Frames that still could not be written when the thread
// ends stay in the queue, and unwritten_writes() tells the owner how many writes they hold.
//
// Frames of different shards reach their logs in no particular order: a pass writes the shards one
// after the other. A writer that needs some writes in the log before others (whatever their shards)
// calls write_queued() between the two: it writes every queued frame at once, on its own thread,
// and the thread syncs what it wrote before it writes anything queued later.
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

  // Appends one write's whole frame (or several) to the shard's queue and, unless told not to
  // (the caller then calls wake() itself, say after releasing its own locks), wakes the thread.
  // claimed_bytes of them hold claims on the log's reserve, which the thread ends once it has
  // written them. Panics on a shard number beyond the queues.
  void enqueue(std::string_view frames, std::size_t shard, std::uint64_t claimed_bytes = 0, bool wake_thread = true);

  // While paused, the thread (and write_queued) leaves the shard's frames queued. Every pause must
  // be followed by a resume, on every path.
  void pause(std::size_t shard);
  void resume(std::size_t shard);

  // True once the group-commit thread has opened its log handles and until it has ended; writers
  // must not queue frames (and so must not acknowledge writes as if they would be written) while
  // it is false.
  bool accepting() const { return accepting_.load(std::memory_order_acquire); }

  // True from a failed write of the shard's frames until they have been written.
  bool failing(std::size_t shard) const { return queues_[shard]->failing.load(std::memory_order_acquire); }
  // Writes whose frames are queued and not yet written.
  std::uint64_t unwritten_writes(std::size_t shard) const;
  // Wakes the thread (for example to top up a reserve that ran short).
  void wake();

  std::size_t shard_count() const { return queues_.size(); }

 private:
  friend class DurabilityThread;

  struct ShardQueue {
    mutable std::mutex mu;
    std::string frames;         // concatenated frames, oldest first
    std::uint64_t claimed = 0;  // bytes of frames that hold claims on the reserve
    std::uint64_t writes = 0;   // writes the frames belong to
    bool paused = false;
    std::condition_variable resumed;  // notified when paused turns false
    std::atomic<bool> failing{false};
  };

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

  // Writes every shard's queued frames into its log now, on the calling thread, waiting for a
  // paused shard to be resumed, and returns once they are all written: a write acknowledged before
  // the call then reaches its log before any write acknowledged after it, whatever their shards,
  // also if the process is killed in between. The frames are not synced here; the thread syncs them
  // before it writes any frame queued after the call. A failed write leaves its frames queued (as a
  // failed pass does) and is the error; so is a thread that has ended with frames still queued.
  Result<void> write_queued();

 private:
  struct Shared;
  // What a pass left queued: nothing, frames of a paused shard, or frames whose write failed.
  enum class Leftover { None, Paused, Failed };
  // What write_shard did: found no frames, wrote them, or left them to a paused shard.
  enum class ShardWrite;

  DurabilityThread(std::shared_ptr<Shared> shared, std::thread thread)
      : shared_(std::move(shared)), thread_(std::move(thread)) {}

  static void run(Shared& shared, std::promise<bool>& ready);
  // One pass, under the pass mutex: syncs what write_queued wrote, writes and syncs every unpaused
  // shard's queued frames, then tops up the reserves; reports what stayed queued (Failed over
  // Paused) and whether anything was written.
  static Leftover flush_all(Shared& shared, bool* progress = nullptr);
  // Takes the shard's queued frames and appends them to its log; the caller holds the pass mutex
  // and the shard is not paused. Frames whose write fails go back to the front of the queue.
  static Result<ShardWrite> write_shard(Shared& shared, std::size_t shard);
  static void top_up_reserves(Shared& shared);
  static bool any_queued(Shared& shared);

  std::shared_ptr<Shared> shared_;
  std::thread thread_;
};

}  // namespace quenlordb::storage
