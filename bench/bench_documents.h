// The keys and documents of the engine benchmarks, byte for byte those of the peers' programs:
// 16 hexadecimal digits of i times the 64-bit golden ratio (pseudo-random and distinct), and a
// JSON document of about 110 bytes. Plain C++17, so that a peer's program can include it.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>

namespace bench {

inline std::string key_of(std::uint64_t i) {
  char b[17];
  std::snprintf(b, sizeof b, "%016llx", static_cast<unsigned long long>(i * 0x9E3779B97F4A7C15ULL));
  return b;
}

inline std::string doc_of(std::uint64_t i) {
  char b[160];
  std::snprintf(b, sizeof b,
                "{\"id\":%llu,\"name\":\"user-%llu\",\"status\":\"active\",\"score\":%llu,\"tags\":[\"a\",\"b\"],"
                "\"city\":\"Lisbon\"}",
                static_cast<unsigned long long>(i), static_cast<unsigned long long>(i),
                static_cast<unsigned long long>(i % 1000));
  return b;
}

}  // namespace bench
