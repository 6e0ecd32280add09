// Decodes an LZ4 block (the block format of table-file blocks, no frame) a part at a time, so that
// a point lookup decompresses a block only as far as the entries it reads, and a later lookup can
// go on from there.
//
// The decoder keeps the rules of the format that the reference decoder (liblz4's
// LZ4_decompress_safe) checks, and is never more lenient: every sequence but the last ends its
// literals at least 12 bytes before the end of the output and 8 bytes before the end of the input;
// the last sequence is literals only and ends exactly at the end of the input; a match starts
// inside the output produced so far and ends at least 5 bytes before the end of the output; an
// offset of 0 is refused. What a stream produces before it is found malformed is not checked
// further: a lookup that stops early does not see damage in the rest of the block.
//
// Every read stays inside the input; every write stays inside the output's capacity plus kSlack.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "error.h"

namespace quenlordb::storage {

// The raw length U at the start of a version-2 block's stored bytes, checked before anything is
// allocated for it: SstableFormat "LZ4 decompress error: {}" when the stored bytes are shorter than
// the field, or U or the stream exceeds what the decompressor takes (2^31 - 1 bytes), or U is more
// than the stream can produce (LZ4 expands at most 255-fold).
Result<std::uint32_t> lz4_raw_length(std::string_view stored);

// The malformed-stream error of a block of raw length U.
QuenlorError lz4_malformed(std::uint32_t raw_len);

class Lz4BlockDecoder {
 public:
  // Bytes an output buffer needs past its capacity: copies run up to this far ahead of what they
  // produce.
  static constexpr std::size_t kSlack = 32;

  // Decodes the stream `in` into out, which holds capacity bytes plus kSlack, the first `produced`
  // of them already produced by an earlier decoder of the same stream that stopped at input
  // position `consumed` (both 0 for a fresh start).
  Lz4BlockDecoder(std::string_view in, std::size_t consumed, char* out, std::size_t produced, std::size_t capacity)
      : in_(in), ip_(consumed), out_(out), op_(produced), capacity_(capacity) {}

  // Decodes whole sequences until at least want bytes are produced or the stream has ended. A
  // malformed stream is SstableFormat "LZ4 decompress error: {}"; the decoder is then unusable.
  Result<void> decode_until(std::size_t want);

  bool finished() const { return finished_; }
  std::size_t produced() const { return op_; }
  std::size_t consumed() const { return ip_; }

 private:
  std::string_view in_;
  std::size_t ip_;
  char* out_;
  std::size_t op_;
  std::size_t capacity_;
  bool finished_ = false;
};

}  // namespace quenlordb::storage
