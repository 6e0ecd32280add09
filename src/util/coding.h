// Fixed-width integer encodings of the file formats: little-endian for lengths, offsets and counts,
// big-endian for the commit timestamp in internal keys and the validity bounds of stored values.
// Readers take a pointer the caller has bounds-checked.
#pragma once

#include <bit>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>

namespace quenlordb::util {

inline void put_u16_le(std::string& out, std::uint16_t v) {
  char b[2] = {static_cast<char>(v), static_cast<char>(v >> 8)};
  out.append(b, 2);
}

inline void put_u32_le(std::string& out, std::uint32_t v) {
  char b[4];
  for (int i = 0; i < 4; ++i) b[i] = static_cast<char>(v >> (8 * i));
  out.append(b, 4);
}

inline void put_u64_le(std::string& out, std::uint64_t v) {
  char b[8];
  for (int i = 0; i < 8; ++i) b[i] = static_cast<char>(v >> (8 * i));
  out.append(b, 8);
}

inline void put_u64_be(std::string& out, std::uint64_t v) {
  char b[8];
  for (int i = 0; i < 8; ++i) b[i] = static_cast<char>(v >> (56 - 8 * i));
  out.append(b, 8);
}

inline void store_u32_le(char* p, std::uint32_t v) {
  for (int i = 0; i < 4; ++i) p[i] = static_cast<char>(v >> (8 * i));
}

inline void store_u64_be(char* p, std::uint64_t v) {
  if constexpr (std::endian::native == std::endian::little) v = std::byteswap(v);
  std::memcpy(p, &v, sizeof v);
}

inline std::uint16_t load_u16_le(const char* p) {
  const auto* u = reinterpret_cast<const unsigned char*>(p);
  return static_cast<std::uint16_t>(u[0] | (u[1] << 8));
}

inline std::uint32_t load_u32_le(const char* p) {
  const auto* u = reinterpret_cast<const unsigned char*>(p);
  return static_cast<std::uint32_t>(u[0]) | (static_cast<std::uint32_t>(u[1]) << 8) |
         (static_cast<std::uint32_t>(u[2]) << 16) | (static_cast<std::uint32_t>(u[3]) << 24);
}

// One 8-byte load and at most a byte swap (the compiler does not see through a byte loop here).
inline std::uint64_t load_u64_le(const char* p) {
  std::uint64_t v;
  std::memcpy(&v, p, sizeof v);
  if constexpr (std::endian::native == std::endian::big) v = std::byteswap(v);
  return v;
}

inline std::uint64_t load_u64_be(const char* p) {
  std::uint64_t v;
  std::memcpy(&v, p, sizeof v);
  if constexpr (std::endian::native == std::endian::little) v = std::byteswap(v);
  return v;
}

// The first 8 bytes of b as a big-endian number, zero-padded when b is shorter. Of two byte
// strings, the one with the smaller prefix is the smaller in byte order; equal prefixes decide
// nothing. Searches compare prefixes first and look at the bytes only on a tie.
inline std::uint64_t load_prefix_u64_be(std::string_view b) {
  if (b.size() >= 8) return load_u64_be(b.data());
  char padded[8] = {};
  if (!b.empty()) std::memcpy(padded, b.data(), b.size());
  return load_u64_be(padded);
}

}  // namespace quenlordb::util
