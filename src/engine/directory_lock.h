// The lock an open Database holds on its directory, so that no second Database (of this process or
// another) opens the same directory meanwhile: an exclusive flock(2) on a descriptor of the
// directory, held until the DirectoryLock is destroyed.
//
// A flock lock belongs to the open file description and lasts while any descriptor of it is open.
// A child made by fork() inherits the descriptor, and with it the lock: while the child lives, its
// parent could not reopen its own directory once it had closed it. The child cannot use the
// Database it inherited (none of its threads run there), so the child branch of a fork handler
// calls close_inherited_directory_locks(), which closes the child's copies of every lock's
// descriptor; the parent keeps its locks.
#pragma once

#include <string>

#include "error.h"

namespace quenlordb::engine {

class DirectoryLock {
 public:
  // Locks the directory at root (an existing directory). Fails with Io "database directory is in
  // use by another open database" when another descriptor holds its lock.
  static Result<DirectoryLock> acquire(const std::string& root);

  DirectoryLock() = default;
  DirectoryLock(DirectoryLock&& other) noexcept;
  DirectoryLock& operator=(DirectoryLock&& other) noexcept;
  DirectoryLock(const DirectoryLock&) = delete;
  DirectoryLock& operator=(const DirectoryLock&) = delete;
  // Closes the descriptor, which releases the lock (unless a fork handler closed it already).
  ~DirectoryLock();

  // The path the directory was locked by.
  const std::string& path() const { return path_; }

  // Where a lock's descriptor is registered for close_inherited_directory_locks (defined in the
  // source file).
  struct Slot;

 private:
  void close() noexcept;

  Slot* slot_ = nullptr;  // where the descriptor is registered; null when none is held
  std::string path_;
};

// For the child branch of a fork handler (pthread_atfork), in a child that will not use the
// databases it inherited: closes the child's descriptors of every directory lock of the process.
// Closing never unlocks: the parent's descriptors keep the locks. Async-signal-safe (it takes no
// lock and allocates nothing). A fork that races an open on another thread may still hand the child
// the lock that open is taking.
void close_inherited_directory_locks() noexcept;

}  // namespace quenlordb::engine
