// A bump allocator: hands out pieces of large blocks and frees them all at once when it is
// destroyed. Nothing is freed individually and no destructor runs for what lives in it, so it holds
// trivially destructible data only. Not thread-safe; move-only.
//
// allocate and reserve throw std::bad_alloc when memory runs out, and then leave the arena as it
// was. After reserve(bytes), allocations that add up to at most bytes, each counted with its
// alignment padding (at most align - 1), cannot fail: callers that must not fail half-way through a
// change reserve before they start.
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

  void reserve(std::size_t bytes) {
    if (bytes <= left_) return;
    // The block set aside becomes the current block at the next allocation that does not fit.
    const std::size_t size = bytes > kBlockBytes ? bytes : kBlockBytes;
    if (spare_ != nullptr && spare_size_ >= size) return;
    spare_ = new_block(size);
    spare_size_ = size;
  }

  void swap(Arena& other) noexcept {
    blocks_.swap(other.blocks_);
    std::swap(next_, other.next_);
    std::swap(left_, other.left_);
    std::swap(spare_, other.spare_);
    std::swap(spare_size_, other.spare_size_);
  }

 private:
  static constexpr std::size_t kBlockBytes = 64 * 1024;

  // A fresh block: a large request gets one of its own, so the current block keeps serving small
  // ones. A block set aside by reserve is taken first and becomes the current block (blocks from
  // new[] are aligned for every type).
  char* allocate_slow(std::size_t bytes) {
    if (spare_ != nullptr && spare_size_ >= bytes) {
      char* block = std::exchange(spare_, nullptr);
      next_ = block + bytes;
      left_ = std::exchange(spare_size_, 0) - bytes;
      return block;
    }
    if (bytes > kBlockBytes / 4) return new_block(bytes);
    char* block = new_block(kBlockBytes);
    next_ = block + bytes;
    left_ = kBlockBytes - bytes;
    return block;
  }

  // A block owned by the arena; on failure nothing changed.
  char* new_block(std::size_t size) {
    if (blocks_.size() == blocks_.capacity()) blocks_.reserve(blocks_.empty() ? 8 : 2 * blocks_.size());
    return blocks_.emplace_back(new char[size]).get();  // cannot throw once new[] has succeeded
  }

  std::vector<std::unique_ptr<char[]>> blocks_;
  char* next_ = nullptr;
  std::size_t left_ = 0;
  char* spare_ = nullptr;  // a block of spare_size_ bytes set aside by reserve, not yet handed out
  std::size_t spare_size_ = 0;
};

}  // namespace quenlordb::util
