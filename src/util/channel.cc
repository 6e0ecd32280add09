#include "util/channel.h"

#include <random>

namespace quenlordb::util::detail {

void SelectWaiter::notify() {
  {
    std::lock_guard lock(mu_);
    notified_ = true;
  }
  cv_.notify_one();
}

void SelectWaiter::wait(const std::optional<Deadline>& deadline) {
  std::unique_lock lock(mu_);
  if (deadline) {
    cv_.wait_until(lock, *deadline, [&] { return notified_; });
  } else {
    cv_.wait(lock, [&] { return notified_; });
  }
}

void SelectWaiter::reset() {
  std::lock_guard lock(mu_);
  notified_ = false;
}

}  // namespace quenlordb::util::detail

namespace quenlordb::util {

bool coin_flip() {
  // splitmix64, seeded once per thread; its top bit is unbiased.
  thread_local std::uint64_t state = [] {
    std::random_device device;
    return (std::uint64_t{device()} << 32) ^ device();
  }();
  std::uint64_t z = (state += 0x9e3779b97f4a7c15ULL);
  z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ULL;
  z = (z ^ (z >> 27)) * 0x94d049bb133111ebULL;
  z ^= z >> 31;
  return (z >> 63) != 0;
}

}  // namespace quenlordb::util
