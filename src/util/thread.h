// Named threads. Linux keeps at most 15 bytes of a thread's name, so longer names are cut to what
// the system accepts; a name that cannot be set never keeps the thread from running.
#pragma once

#include <pthread.h>

#include <cstddef>
#include <memory>
#include <string>
#include <thread>
#include <utility>

#include "error.h"

namespace quenlordb::util {

// Sets the calling thread's name (truncated to 15 bytes).
void set_current_thread_name(const std::string& name);

// Starts a thread running body under the given name; failure to start is an Io error.
template <typename Body>
Result<std::thread> spawn_named(std::string name, Body&& body) {
  try {
    return std::thread([name = std::move(name), body = std::forward<Body>(body)]() mutable {
      set_current_thread_name(name);
      body();
    });
  } catch (const std::system_error& e) {
    return fail(QuenlorError::io(e.code().value()));
  }
}

// A thread started with a stack of a chosen size, for the helpers of one operation, started and
// joined every time it runs: the C library keeps the stacks of ended threads for the next ones only
// while they add up to a few tens of MiB, so helpers with the default 8 MiB stack have theirs mapped
// and unmapped at every start (with the page faults and flushes that go with it), which a short task
// feels. Join it before it is destroyed (destroying one not joined ends the process, as
// std::thread does); not copyable.
class HelperThread {
 public:
  HelperThread() = default;
  HelperThread(HelperThread&& other) noexcept : handle_(other.handle_), joinable_(std::exchange(other.joinable_, false)) {}
  HelperThread& operator=(HelperThread&&) = delete;
  HelperThread(const HelperThread&) = delete;
  ~HelperThread();

  void join();

 private:
  template <typename Body>
  friend Result<HelperThread> spawn_helper(std::string name, std::size_t stack_bytes, Body&& body);
  // Starts run(arg) on a new thread with a stack of stack_bytes: 0, or the error number of a thread
  // that could not start (run is then not called).
  int start(std::size_t stack_bytes, void* (*run)(void*), void* arg);

  pthread_t handle_{};
  bool joinable_ = false;
};

// Starts a HelperThread running body under the given name with a stack of stack_bytes; failure to
// start is an Io error. body must not let an exception escape (that ends the process).
template <typename Body>
Result<HelperThread> spawn_helper(std::string name, std::size_t stack_bytes, Body&& body) {
  struct Start {
    std::string name;
    std::decay_t<Body> body;
  };
  auto start = std::make_unique<Start>(Start{std::move(name), std::forward<Body>(body)});
  auto run = [](void* arg) -> void* {
    const std::unique_ptr<Start> owned(static_cast<Start*>(arg));
    set_current_thread_name(owned->name);
    owned->body();
    return nullptr;
  };
  HelperThread thread;
  if (const int error = thread.start(stack_bytes, run, start.get()); error != 0) {
    return fail(QuenlorError::io(error));
  }
  start.release();  // the thread owns it now
  return thread;
}

}  // namespace quenlordb::util
