// Injected allocation failures for tests: while armed, the process's operator new throws
// std::bad_alloc for one chosen allocation of at least a given size, counted from the moment of
// arming. Threads are not told apart: arm it while the allocations under test are the only large
// ones in the process. Disarmed (the default), operator new costs one relaxed atomic load more.
#pragma once

#include <cstddef>

namespace quenlordb::testing {

// From now on, the nth allocation (1 for the next) of at least min_bytes fails.
void arm_allocation_failure(std::size_t nth, std::size_t min_bytes);
// Stops injecting; whether an allocation was failed since arming.
bool disarm_allocation_failure();

// Arms on construction, disarms on destruction; fired() tells whether the failure happened.
class AllocationFailure {
 public:
  AllocationFailure(std::size_t nth, std::size_t min_bytes) { arm_allocation_failure(nth, min_bytes); }
  ~AllocationFailure() { disarm(); }
  AllocationFailure(const AllocationFailure&) = delete;
  AllocationFailure& operator=(const AllocationFailure&) = delete;

  // Disarms (once) and tells whether the failure was injected.
  bool disarm() {
    if (armed_) {
      armed_ = false;
      fired_ = disarm_allocation_failure();
    }
    return fired_;
  }

 private:
  bool armed_ = true;
  bool fired_ = false;
};

}  // namespace quenlordb::testing
