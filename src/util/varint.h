// Unsigned LEB128 varints of at most 10 bytes and the length-prefixed byte strings built on them,
// shared by the log records and the table-file blocks.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "error.h"

namespace quenlordb::util {

// Most bytes a varint may take.
inline constexpr std::size_t kMaxVarintBytes = 10;

// Bytes the shortest form of v takes.
inline std::size_t varint_length(std::uint64_t v) {
  std::size_t n = 1;
  while (v >= 0x80) {
    v >>= 7;
    ++n;
  }
  return n;
}

// Appends the shortest form of v.
inline void put_varint(std::string& out, std::uint64_t v) {
  char buf[kMaxVarintBytes];
  std::size_t n = 0;
  while (v >= 0x80) {
    buf[n++] = static_cast<char>((v & 0x7F) | 0x80);
    v >>= 7;
  }
  buf[n++] = static_cast<char>(v);
  out.append(buf, n);
}

// Appends a varint length and the bytes.
inline void put_bytes(std::string& out, std::string_view bytes) {
  put_varint(out, bytes.size());
  out.append(bytes);
}

// Reads a varint at pos and advances pos past it. Fails with InvalidVarint when the data runs out
// before the last byte or the 10th byte still has its continuation bit; bits past 63 are dropped.
Result<std::uint64_t> get_varint(std::string_view data, std::size_t& pos);

// Reads a length-prefixed byte string at pos without copying; pos ends just past it.
Result<std::string_view> decode_bytes_view(std::string_view data, std::size_t& pos);

// As decode_bytes_view, returning an owned copy.
Result<std::string> decode_bytes(std::string_view data, std::size_t& pos);

}  // namespace quenlordb::util
