#include "engine/directory_lock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstddef>
#include <memory>
#include <utility>

#include "util/file.h"

namespace quenlordb::engine {

// A registered descriptor. `used` says whether a DirectoryLock owns the slot; `fd` is its descriptor,
// or -1 once closed (by the lock, or in a forked child). Both are lock-free atomics, so that a fork
// handler's child branch can read and clear them whatever another thread was doing at the fork.
struct DirectoryLock::Slot {
  std::atomic<bool> used{false};
  std::atomic<int> fd{-1};
};

namespace {

static_assert(std::atomic<int>::is_always_lock_free && std::atomic<bool>::is_always_lock_free);

constexpr std::size_t kSlotsPerChunk = 32;

// The slots of the process: a chain of chunks, linked once and never freed, so that a walk needs no
// lock. Slots are reused once their lock is gone.
struct Chunk {
  DirectoryLock::Slot slots[kSlotsPerChunk];
  std::atomic<Chunk*> next{nullptr};
};

Chunk g_first_chunk;

DirectoryLock::Slot* take_slot() {
  Chunk* chunk = &g_first_chunk;
  while (true) {
    for (DirectoryLock::Slot& slot : chunk->slots) {
      bool free = false;
      if (slot.used.compare_exchange_strong(free, true, std::memory_order_acq_rel)) return &slot;
    }
    Chunk* next = chunk->next.load(std::memory_order_acquire);
    if (next == nullptr) {
      auto fresh = std::make_unique<Chunk>();
      // Another thread may link its chunk first: then that one is followed and ours is dropped.
      if (chunk->next.compare_exchange_strong(next, fresh.get(), std::memory_order_acq_rel)) next = fresh.release();
    }
    chunk = next;
  }
}

}  // namespace

Result<DirectoryLock> DirectoryLock::acquire(const std::string& root) {
  util::File dir = TRY(util::File::open(root, O_RDONLY | O_DIRECTORY));
  if (::flock(dir.fd(), LOCK_EX | LOCK_NB) != 0) {
    const int err = errno;
    if (err == EWOULDBLOCK) return fail(QuenlorError::io(err, "database directory is in use by another open database"));
    return fail(QuenlorError::io(err, "cannot lock the database directory"));
  }
  DirectoryLock lock;
  lock.path_ = dir.path();
  lock.slot_ = take_slot();
  lock.slot_->fd.store(dir.release(), std::memory_order_release);
  return lock;
}

DirectoryLock::DirectoryLock(DirectoryLock&& other) noexcept
    : slot_(std::exchange(other.slot_, nullptr)), path_(std::move(other.path_)) {}

DirectoryLock& DirectoryLock::operator=(DirectoryLock&& other) noexcept {
  if (this != &other) {
    close();
    slot_ = std::exchange(other.slot_, nullptr);
    path_ = std::move(other.path_);
  }
  return *this;
}

DirectoryLock::~DirectoryLock() { close(); }

void DirectoryLock::close() noexcept {
  if (slot_ == nullptr) return;
  // Unregistered before it is closed, so that a child forked meanwhile never closes a descriptor
  // number the process has since given to another file.
  const int fd = slot_->fd.exchange(-1, std::memory_order_acq_rel);
  slot_->used.store(false, std::memory_order_release);
  slot_ = nullptr;
  if (fd >= 0) ::close(fd);
}

void close_inherited_directory_locks() noexcept {
  for (Chunk* chunk = &g_first_chunk; chunk != nullptr; chunk = chunk->next.load(std::memory_order_acquire)) {
    for (DirectoryLock::Slot& slot : chunk->slots) {
      const int fd = slot.fd.exchange(-1, std::memory_order_acq_rel);
      if (fd >= 0) ::close(fd);
    }
  }
}

}  // namespace quenlordb::engine
