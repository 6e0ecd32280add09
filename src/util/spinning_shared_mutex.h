// A reader-writer lock for sections held for a microsecond or two: a thread that finds it taken
// first retries for a few microseconds, and only then sleeps in the kernel as std::shared_mutex
// does. Waking a sleeping thread costs tens of microseconds, far more than such a section, so a
// reader that would otherwise sleep behind a writer's short section (and a writer behind readers)
// mostly does not. Meets the SharedMutex requirements (std::shared_lock, std::unique_lock).
#pragma once

#include <shared_mutex>

namespace quenlordb::util {

class SpinningSharedMutex {
 public:
  SpinningSharedMutex() = default;
  SpinningSharedMutex(const SpinningSharedMutex&) = delete;
  SpinningSharedMutex& operator=(const SpinningSharedMutex&) = delete;

  void lock() {
    for (int i = 0; i < kSpins; ++i) {
      if (mu_.try_lock()) return;
      relax();
    }
    mu_.lock();
  }
  bool try_lock() { return mu_.try_lock(); }
  void unlock() { mu_.unlock(); }

  void lock_shared() {
    for (int i = 0; i < kSpins; ++i) {
      if (mu_.try_lock_shared()) return;
      relax();
    }
    mu_.lock_shared();
  }
  bool try_lock_shared() { return mu_.try_lock_shared(); }
  void unlock_shared() { mu_.unlock_shared(); }

 private:
  // About 5 to 10 microseconds of retries on current processors.
  static constexpr int kSpins = 128;

  static void relax() {
#if defined(__x86_64__) || defined(__i386__)
    __builtin_ia32_pause();
#elif defined(__aarch64__)
    asm volatile("yield");
#endif
  }

  std::shared_mutex mu_;
};

}  // namespace quenlordb::util
