// A table-file block in decompressed form, as the block cache holds it: the whole block, or its
// first part. A point lookup decompresses a version-2 block only as far as the entries it reads and
// leaves the rest for a later lookup that needs it; on a cache of uniformly spread lookups this
// roughly halves the bytes decompressed per lookup.
//
// The buffer has room for the whole block from the start, so the block counts its whole raw length
// in the cache's budget. Bytes once decoded never change and are read without a lock; more are
// decoded behind them under the block's mutex and published with release order, so any number of
// threads may read and extend one block at once. A block is shared by reference counting and stays
// valid for its holders after the cache has let it go.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>

#include "error.h"
#include "storage/lz4_block.h"

namespace quenlordb::storage {

class DecodedBlock {
 public:
  // A whole block holding bytes.
  explicit DecodedBlock(std::string bytes);
  DecodedBlock(const DecodedBlock&) = delete;
  DecodedBlock& operator=(const DecodedBlock&) = delete;

  // The block whose version-2 stored bytes (the 4-byte raw length, then the LZ4 stream) are
  // stored, nothing decoded yet. SstableFormat "LZ4 decompress error: {}" when the raw length is
  // missing or more than the stream can produce.
  static Result<std::shared_ptr<DecodedBlock>> compressed(std::string_view stored);
  // Makes this block what compressed(stored) makes, in the memory it has, when it has room: false
  // when it has not (or holds a whole block of its own). For a block that no other thread can see
  // and that no one else holds; the errors are those of compressed().
  Result<bool> renew(std::string_view stored);

  // The bytes decoded so far, in block order, and whether they are the whole block (read together:
  // whole is never true of fewer bytes than the block has).
  struct Part {
    std::string_view bytes;
    bool whole;
  };
  Part part() const {
    const bool whole = whole_.load(std::memory_order_acquire);
    return {{data_, decoded_.load(std::memory_order_acquire)}, whole};
  }
  // The bytes decoded so far.
  std::string_view bytes() const { return part().bytes; }
  bool whole() const { return whole_.load(std::memory_order_acquire); }
  // What the block counts in the cache's budget: its raw length.
  std::size_t size() const { return capacity_; }

  // Places a reader noted in the block so that later reads can start near what they look for: the
  // starts of entries at least kMarkSpacing bytes apart, each with 8 bytes of the entry's key
  // (big-endian, zero-padded) from a place the reader fixes for the block, in block order. Marks
  // are noted in order and never change; two readers that note the same mark at once note the
  // same values.
  struct Mark {
    std::uint32_t offset;
    std::uint64_t key_prefix;
  };
  static constexpr std::size_t kMarkSpacing = 256;
  std::size_t mark_count() const { return marks_noted_.load(std::memory_order_acquire); }
  Mark mark(std::size_t i) const {
    return {static_cast<std::uint32_t>(marks_[2 * i].load(std::memory_order_relaxed)),
            marks_[2 * i + 1].load(std::memory_order_relaxed)};
  }
  // Notes mark i when i marks are noted and there is room; otherwise does nothing.
  void note_mark(std::size_t i, Mark m);

  // The right to decode more of a block, held by one thread at a time from extend() until the
  // extension goes away, so that a reader that needs a block a piece at a time takes the block's
  // mutex once and keeps its decoder from step to step. Others that want more of the same block
  // wait for it meanwhile; readers of the part already decoded never do. An empty extension (default
  // made) holds nothing.
  class Extension {
   public:
    Extension() = default;
    explicit operator bool() const { return block_ != nullptr; }

    // Decodes on until at least want bytes are decoded or the block is whole, and publishes them.
    // A malformed stream is SstableFormat "LZ4 decompress error: {}" (every later attempt fails
    // the same way); the bytes decoded before it stay.
    Result<void> decode_until(std::size_t want);

   private:
    friend class DecodedBlock;
    Extension(DecodedBlock& block, std::string_view stored);

    DecodedBlock* block_ = nullptr;
    std::unique_lock<std::mutex> lock_;
    std::optional<Lz4BlockDecoder> decoder_;  // none once the block is whole
  };
  // Takes the right to decode more; stored must be the stored bytes the block was made from.
  Extension extend(std::string_view stored) { return Extension(*this, stored); }

  // Decodes on until at least want bytes are decoded or the block is whole, with the errors of
  // Extension::decode_until.
  Result<void> decode_until(std::string_view stored, std::size_t want);
  // The whole block.
  Result<void> decode_all(std::string_view stored) { return decode_until(stored, capacity_); }

 private:
  struct Empty {
    explicit Empty() = default;
  };

 public:
  // An empty block with room for capacity bytes; only compressed() can name the first argument.
  DecodedBlock(Empty, std::size_t capacity);

 private:
  std::unique_ptr<char[]> buffer_;  // capacity_ bytes plus the decoder's slack, for compressed blocks
  std::string owned_;               // the bytes of a block made whole
  const char* data_;
  std::size_t capacity_;
  std::atomic<std::size_t> decoded_;
  std::atomic<bool> whole_;
  std::mutex decoding_;
  std::size_t consumed_ = 0;  // of the LZ4 stream, by what is decoded; under decoding_
  // Mark i is (marks_[2i], marks_[2i + 1]); marks_noted_ of them are published.
  std::unique_ptr<std::atomic<std::uint64_t>[]> marks_;
  std::size_t mark_room_;
  std::size_t room_ = 0;  // what buffer_ holds, without the decoder's slack
  std::atomic<std::size_t> marks_noted_{0};
};

}  // namespace quenlordb::storage
