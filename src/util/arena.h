// A bump allocator: hands out pieces of large blocks and frees them all at once when it is
// destroyed. Nothing is freed individually and no destructor runs for what lives in it, so it holds
// trivially destructible data only. Not thread-safe; move-only.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <utility>
#include <vector>

namespace quenlordb::util {

class Arena {
 public:
  Arena() = default;
  Arena(Arena&& other) noexcept { swap(other); }
  Arena& operator=(Arena&& other) noexcept {
    Arena(std::move(other)).swap(*this);
    return *this;
  }
  Arena(const Arena&) = delete;
  Arena& operator=(const Arena&) = delete;

  // bytes of storage aligned to align (a power of two, at most alignof(std::max_align_t)).
  char* allocate(std::size_t bytes, std::size_t align) {
    const std::size_t pad = (align - reinterpret_cast<std::uintptr_t>(next_) % align) % align;
    if (bytes + pad > left_) return allocate_slow(bytes);
    char* out = next_ + pad;
    next_ = out + bytes;
    left_ -= bytes + pad;
    return out;
  }

  void swap(Arena& other) noexcept {
    blocks_.swap(other.blocks_);
    std::swap(next_, other.next_);
    std::swap(left_, other.left_);
  }

 private:
  static constexpr std::size_t kBlockBytes = 64 * 1024;

  // A fresh block: a large request gets one of its own, so the current block keeps serving small ones.
  char* allocate_slow(std::size_t bytes) {
    if (bytes > kBlockBytes / 4) return blocks_.emplace_back(new char[bytes]).get();
    char* block = blocks_.emplace_back(new char[kBlockBytes]).get();
    next_ = block + bytes;
    left_ = kBlockBytes - bytes;
    return block;
  }

  std::vector<std::unique_ptr<char[]>> blocks_;
  char* next_ = nullptr;
  std::size_t left_ = 0;
};

}  // namespace quenlordb::util
