// Memory for results that are built in one pass and can grow large, such as the rows of a full
// scan: an append-only byte store (ByteChunks) and a growable array of trivially copyable values
// (BulkArray).
//
// Fresh memory costs one page fault per 4 KiB page when it is first written, and for a result of a
// hundred megabytes those faults cost more than writing the bytes (much more on virtual machines,
// where each fault is trapped). So regions of kMapThreshold bytes and more are mapped directly and
// populated by the kernel in one call (MADV_POPULATE_WRITE); a mapped array grows in place or moves
// its pages (mremap), never copying them. Smaller pieces come from the heap, so that small results
// cost no system call. Mappings are not asked for huge pages (MADV_HUGEPAGE): populating huge pages
// was measured to cost anything from half to nine times what small pages cost (160 MB: 20 ms to
// 417 ms, against a steady 45 ms, on a virtual machine), the slow cases being memory that the
// kernel, or the host below it, had to find 2 MiB at a time. Mappings are still aligned to huge
// pages, so that a kernel that gives them unasked (and without waiting) can.
//
// Both types throw std::bad_alloc when memory runs out. Neither is thread-safe. Moving one keeps
// every byte where it is, so views into it stay valid.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <new>
#include <type_traits>
#include <utility>
#include <vector>

namespace quenlordb::util {

// Regions of this size and more are mapped and populated.
inline constexpr std::size_t kMapThreshold = std::size_t{2} << 20;

// A mapping of bytes (rounded up to whole 2 MiB huge pages), readable and writable, with its pages
// populated; throws std::bad_alloc when it cannot be mapped.
void* map_populated(std::size_t bytes);
// The same, its pages left to fault in as they are first written (see ByteChunks' populate).
void* map_unpopulated(std::size_t bytes);
// Grows a mapping from map_populated from old_bytes to new_bytes, moving it when it cannot grow in
// place (its contents move with it); the added pages are populated. Throws std::bad_alloc and leaves
// the mapping as it was when it cannot grow.
void* remap_populated(void* region, std::size_t old_bytes, std::size_t new_bytes);
void unmap(void* region, std::size_t bytes) noexcept;

// Bytes handed out in pieces that stay where they are until the store is destroyed. Each new chunk
// is twice the size of the last, up to kMaxChunkBytes (or larger for one large piece).
class ByteChunks {
 public:
  ByteChunks() = default;
  // populate false: mapped chunks are not populated but fault in page by page as they are written.
  // Populating is the faster way for one thread (160 MB: 45 ms, against 60 ms faulted in), but the
  // populating calls of several threads were measured to take as long together as one thread
  // populating it all, while their page faults run largely side by side: stores filled by several
  // threads at once (a scan's threads, engine/prefix_scan.cc) fill fastest unpopulated (4 threads
  // writing 40 MB each: some 30 ms, against 45 to 50 ms populated, on a virtual machine).
  explicit ByteChunks(bool populate) : populate_(populate) {}
  ByteChunks(ByteChunks&& other) noexcept { swap(other); }
  ByteChunks& operator=(ByteChunks&& other) noexcept {
    ByteChunks(std::move(other)).swap(*this);
    return *this;
  }
  ByteChunks(const ByteChunks&) = delete;
  ByteChunks& operator=(const ByteChunks&) = delete;
  ~ByteChunks();

  // n bytes, without alignment. n may be 0.
  char* allocate(std::size_t n) {
    if (n > left_) return allocate_slow(n);
    char* out = next_;
    next_ += n;
    left_ -= n;
    return out;
  }

  // Sum of the sizes of the chunks held.
  std::size_t capacity() const { return held_; }

  // Takes over other's chunks, so that pieces handed out by other live as long as this store does;
  // other is left empty. Pieces are still handed out from this store's last chunk.
  void adopt(ByteChunks&& other);

  void swap(ByteChunks& other) noexcept {
    chunks_.swap(other.chunks_);
    std::swap(next_, other.next_);
    std::swap(left_, other.left_);
    std::swap(held_, other.held_);
    std::swap(populate_, other.populate_);
  }

 private:
  static constexpr std::size_t kFirstChunkBytes = 4096;
  static constexpr std::size_t kMaxChunkBytes = std::size_t{8} << 20;

  struct Chunk {
    char* data;
    std::size_t size;
  };

  char* allocate_slow(std::size_t n);

  std::vector<Chunk> chunks_;
  char* next_ = nullptr;
  std::size_t left_ = 0;
  std::size_t held_ = 0;
  bool populate_ = true;
};

// A growable array of trivially copyable values. Up to kMapThreshold bytes it lives on the heap and
// doubles; beyond, it is a mapping that grows by a quarter at a time (each step moves pages, not
// bytes, so small steps are cheap and little memory is populated in vain).
template <typename T>
class BulkArray {
  static_assert(std::is_trivially_copyable_v<T> && std::is_trivially_destructible_v<T>);

 public:
  BulkArray() = default;
  BulkArray(BulkArray&& other) noexcept { swap(other); }
  BulkArray& operator=(BulkArray&& other) noexcept {
    BulkArray(std::move(other)).swap(*this);
    return *this;
  }
  BulkArray(const BulkArray&) = delete;
  BulkArray& operator=(const BulkArray&) = delete;
  ~BulkArray() { release(); }

  void push_back(const T& value) {
    if (size_ == capacity_) grow(size_ + 1);
    data_[size_++] = value;
  }
  // Room for n values in all.
  void reserve(std::size_t n) {
    if (n > capacity_) grow(n);
  }

  std::size_t size() const { return size_; }
  bool empty() const { return size_ == 0; }
  std::size_t capacity() const { return capacity_; }
  const T* data() const { return data_; }
  const T& operator[](std::size_t i) const { return data_[i]; }
  T& operator[](std::size_t i) { return data_[i]; }
  const T* begin() const { return data_; }
  const T* end() const { return data_ + size_; }

  void swap(BulkArray& other) noexcept {
    std::swap(data_, other.data_);
    std::swap(size_, other.size_);
    std::swap(capacity_, other.capacity_);
  }

 private:
  static bool mapped(std::size_t capacity) { return capacity * sizeof(T) >= kMapThreshold; }

  void grow(std::size_t needed) {
    if (needed > SIZE_MAX / sizeof(T) / 2) throw std::bad_alloc();
    std::size_t want = capacity_ == 0 ? 16 : (mapped(capacity_) ? capacity_ + capacity_ / 4 : 2 * capacity_);
    if (want < needed) want = needed;
    if (!mapped(want)) {
      void* p = std::realloc(data_, want * sizeof(T));
      if (p == nullptr) throw std::bad_alloc();
      data_ = static_cast<T*>(p);
    } else if (mapped(capacity_)) {
      data_ = static_cast<T*>(remap_populated(data_, capacity_ * sizeof(T), want * sizeof(T)));
    } else {
      T* p = static_cast<T*>(map_populated(want * sizeof(T)));
      if (size_ > 0) std::memcpy(static_cast<void*>(p), data_, size_ * sizeof(T));
      std::free(data_);
      data_ = p;
    }
    capacity_ = want;
  }

  void release() noexcept {
    if (mapped(capacity_)) {
      unmap(data_, capacity_ * sizeof(T));
    } else {
      std::free(data_);
    }
  }

  T* data_ = nullptr;
  std::size_t size_ = 0;
  std::size_t capacity_ = 0;
};

}  // namespace quenlordb::util
