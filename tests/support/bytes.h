// Small helpers shared by tests: bytes as lowercase hex, and running code on a thread with a chosen
// stack size.
#pragma once

#include <pthread.h>

#include <cstddef>
#include <functional>
#include <string>
#include <string_view>

#include <gtest/gtest.h>

namespace quenlordb::testing {

inline std::string hex(std::string_view bytes) {
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string out;
  out.reserve(bytes.size() * 2);
  for (unsigned char c : bytes) {
    out.push_back(kDigits[c >> 4]);
    out.push_back(kDigits[c & 15]);
  }
  return out;
}

// The stack a Linux thread gets when it sets none.
inline constexpr std::size_t kDefaultThreadStack = std::size_t{8} << 20;

// Runs fn on a new thread whose stack is stack_bytes, and waits for it.
inline void run_with_stack(std::size_t stack_bytes, const std::function<void()>& fn) {
  pthread_attr_t attr;
  ASSERT_EQ(pthread_attr_init(&attr), 0);
  ASSERT_EQ(pthread_attr_setstacksize(&attr, stack_bytes), 0);
  pthread_t thread;
  auto body = [](void* arg) -> void* {
    (*static_cast<const std::function<void()>*>(arg))();
    return nullptr;
  };
  ASSERT_EQ(pthread_create(&thread, &attr, body, const_cast<std::function<void()>*>(&fn)), 0);
  pthread_join(thread, nullptr);
  pthread_attr_destroy(&attr);
}

}  // namespace quenlordb::testing
