// Named threads. Linux keeps at most 15 bytes of a thread's name, so longer names are cut to what
// the system accepts; a name that cannot be set never keeps the thread from running.
#pragma once

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

}  // namespace quenlordb::util
