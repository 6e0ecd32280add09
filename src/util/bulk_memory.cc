#include "util/bulk_memory.h"

#include <sys/mman.h>

#include <algorithm>
#include <cstdint>

#ifndef MADV_POPULATE_WRITE
#define MADV_POPULATE_WRITE 23  // Linux 5.14; older kernels refuse it
#endif

namespace quenlordb::util {

namespace {

// Mapped regions are made of whole huge pages, at addresses aligned to them (see bulk_memory.h).
constexpr std::size_t kHugePage = std::size_t{2} << 20;

std::size_t huge_rounded(std::size_t bytes) {
  if (bytes > SIZE_MAX - 2 * kHugePage) throw std::bad_alloc();
  return (bytes + kHugePage - 1) / kHugePage * kHugePage;
}

// An unpopulated mapping of size bytes (a multiple of kHugePage) at an address aligned to kHugePage.
char* map_aligned(std::size_t size) {
  void* p = ::mmap(nullptr, size + kHugePage, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (p == MAP_FAILED) throw std::bad_alloc();
  char* raw = static_cast<char*>(p);
  char* aligned = reinterpret_cast<char*>((reinterpret_cast<std::uintptr_t>(raw) + kHugePage - 1) & ~(kHugePage - 1));
  if (aligned > raw) ::munmap(raw, static_cast<std::size_t>(aligned - raw));
  if (const std::size_t tail = static_cast<std::size_t>(raw + size + kHugePage - (aligned + size)); tail > 0)
    ::munmap(aligned + size, tail);
  return aligned;
}

// Best effort: where populating is not available, pages fault in as they are used.
void populate(char* at, std::size_t bytes) { (void)::madvise(at, bytes, MADV_POPULATE_WRITE); }

}  // namespace

void* map_populated(std::size_t bytes) {
  const std::size_t size = huge_rounded(bytes);
  char* p = map_aligned(size);
  populate(p, size);
  return p;
}

void* map_unpopulated(std::size_t bytes) { return map_aligned(huge_rounded(bytes)); }

void* remap_populated(void* region, std::size_t old_bytes, std::size_t new_bytes) {
  const std::size_t old_size = huge_rounded(old_bytes);
  const std::size_t new_size = huge_rounded(new_bytes);
  if (new_size <= old_size) return region;
  // In place when the addresses after it are free; otherwise the pages move to a new aligned place.
  void* p = ::mremap(region, old_size, new_size, 0);
  if (p == MAP_FAILED) {
    char* target = map_aligned(new_size);
    p = ::mremap(region, old_size, new_size, MREMAP_MAYMOVE | MREMAP_FIXED, target);
    if (p == MAP_FAILED) {
      ::munmap(target, new_size);
      throw std::bad_alloc();
    }
  }
  populate(static_cast<char*>(p) + old_size, new_size - old_size);
  return p;
}

void unmap(void* region, std::size_t bytes) noexcept {
  if (region != nullptr) ::munmap(region, huge_rounded(bytes));
}

ByteChunks::~ByteChunks() {
  for (const Chunk& c : chunks_) {
    if (c.size >= kMapThreshold) {
      unmap(c.data, c.size);
    } else {
      delete[] c.data;
    }
  }
}

void ByteChunks::adopt(ByteChunks&& other) {
  if (&other == this) return;
  chunks_.insert(chunks_.end(), other.chunks_.begin(), other.chunks_.end());
  held_ += other.held_;
  other.chunks_.clear();
  other.next_ = nullptr;
  other.left_ = 0;
  other.held_ = 0;
}

char* ByteChunks::allocate_slow(std::size_t n) {
  const std::size_t last = chunks_.empty() ? 0 : chunks_.back().size;
  std::size_t size = std::max(n, std::clamp(2 * last, kFirstChunkBytes, kMaxChunkBytes));
  if (size >= kMapThreshold) size = (size + kMapThreshold - 1) / kMapThreshold * kMapThreshold;  // whole huge pages
  chunks_.reserve(chunks_.size() + 1);  // before the chunk, so that a failure here leaks nothing
  char* data = size < kMapThreshold ? new char[size]
                                    : static_cast<char*>(populate_ ? map_populated(size) : map_unpopulated(size));
  chunks_.push_back({data, size});
  held_ += size;
  next_ = data + n;
  left_ = size - n;
  return data;
}

}  // namespace quenlordb::util
