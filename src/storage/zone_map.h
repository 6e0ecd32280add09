// HyperLogLog, the sketch behind APPROX_COUNT_DISTINCT: 256 one-byte registers (8 index bits) that
// estimate the number of distinct byte strings added. One sketch serves one aggregate over one
// group and is then dropped; it is never stored. Fixed size; not thread-safe.
//
// add: h = FNV-1a 64 of the bytes (the plain variant, not the key hasher's); register h & 0xff keeps
// the largest rank seen, the rank being the trailing zero bits of h >> 8 plus one (56 when h >> 8 is
// zero). count: E = 0.7213 / (1 + 1.079 / 256) x 256^2 / sum(2^-register); when E <= 640 and some
// registers are zero, linear counting 256 x ln(256 / zeros) instead; no large-range correction;
// truncated toward zero.
#pragma once

#include <array>
#include <cstdint>
#include <string_view>

namespace quenlordb::storage {

class HyperLogLog {
 public:
  static constexpr std::size_t kRegisters = 256;

  HyperLogLog() = default;  // every register 0

  void add(std::string_view bytes);
  std::uint64_t count() const;

  const std::array<std::uint8_t, kRegisters>& registers() const { return registers_; }

 private:
  std::array<std::uint8_t, kRegisters> registers_{};
};

}  // namespace quenlordb::storage
