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
#include <string>
#include <string_view>

#include "error.h"

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

  // Decodes on until at least want bytes are decoded or the block is whole; stored must be the
  // stored bytes the block was made from. A malformed stream is SstableFormat "LZ4 decompress
  // error: {}" (every later attempt fails the same way); the bytes decoded before it stay.
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
};

}  // namespace quenlordb::storage
