// Replaces the global operator new and delete (the plain, array and nothrow forms, on malloc and
// free; every form a delete here may receive) so that an armed test can make one large allocation
// fail.
#include "support/alloc_fault.h"

#include <atomic>
#include <cstdlib>
#include <new>

namespace quenlordb::testing {
namespace {

std::atomic<bool> g_armed{false};
std::atomic<std::size_t> g_min_bytes{0};
std::atomic<std::size_t> g_countdown{0};  // allocations of at least g_min_bytes until the failing one
std::atomic<bool> g_fired{false};

bool should_fail(std::size_t size) {
  if (!g_armed.load(std::memory_order_relaxed)) [[likely]]
    return false;
  if (size < g_min_bytes.load(std::memory_order_relaxed)) return false;
  std::size_t left = g_countdown.load(std::memory_order_relaxed);
  while (left > 0 && !g_countdown.compare_exchange_weak(left, left - 1, std::memory_order_relaxed)) {
  }
  if (left != 1) return false;
  g_fired.store(true, std::memory_order_relaxed);
  return true;
}

void* allocate(std::size_t size) {
  if (should_fail(size)) throw std::bad_alloc();
  if (void* p = std::malloc(size == 0 ? 1 : size)) return p;
  throw std::bad_alloc();
}

}  // namespace

void arm_allocation_failure(std::size_t nth, std::size_t min_bytes) {
  g_fired.store(false, std::memory_order_relaxed);
  g_min_bytes.store(min_bytes, std::memory_order_relaxed);
  g_countdown.store(nth, std::memory_order_relaxed);
  g_armed.store(true, std::memory_order_seq_cst);
}

bool disarm_allocation_failure() {
  g_armed.store(false, std::memory_order_seq_cst);
  return g_fired.load(std::memory_order_relaxed);
}

}  // namespace quenlordb::testing

void* operator new(std::size_t size) { return quenlordb::testing::allocate(size); }
void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
  try {
    return quenlordb::testing::allocate(size);
  } catch (const std::bad_alloc&) {
    return nullptr;
  }
}
void* operator new[](std::size_t size, const std::nothrow_t&) noexcept {
  try {
    return quenlordb::testing::allocate(size);
  } catch (const std::bad_alloc&) {
    return nullptr;
  }
}
void operator delete(void* p, const std::nothrow_t&) noexcept { std::free(p); }
void operator delete[](void* p, const std::nothrow_t&) noexcept { std::free(p); }
void* operator new[](std::size_t size) { return quenlordb::testing::allocate(size); }
void operator delete(void* p) noexcept { std::free(p); }
void operator delete[](void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t) noexcept { std::free(p); }
