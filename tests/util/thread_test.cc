#include "util/thread.h"

#include <gtest/gtest.h>

#include <pthread.h>

#include <array>
#include <cstddef>
#include <string>

namespace quenlordb::util {
namespace {

// A helper runs its body once, under its name (cut to 15 bytes), on a stack of the size asked for,
// and join waits for it.
TEST(HelperThreadTest, RunsItsBodyOnAStackOfTheSizeAskedFor) {
  constexpr std::size_t kStack = std::size_t{1} << 20;
  int runs = 0;
  std::string name;
  std::size_t stack = 0;
  Result<HelperThread> thread = spawn_helper("quenlordb-helper-thread", kStack, [&] {
    ++runs;
    std::array<char, 16> buffer{};
    pthread_getname_np(pthread_self(), buffer.data(), buffer.size());
    name = buffer.data();
    pthread_attr_t attr;
    if (pthread_getattr_np(pthread_self(), &attr) == 0) {
      pthread_attr_getstacksize(&attr, &stack);
      pthread_attr_destroy(&attr);
    }
  });
  ASSERT_TRUE(thread.has_value());
  thread->join();
  EXPECT_EQ(runs, 1);
  EXPECT_EQ(name, "quenlordb-helpe");
  EXPECT_GE(stack, kStack);
  EXPECT_LT(stack, 2 * kStack);
  thread->join();  // a second join does nothing
}

}  // namespace
}  // namespace quenlordb::util
