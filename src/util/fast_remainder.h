// x % d for a divisor fixed in advance, by multiplications instead of a division (the method of
// Lemire, Kaser and Kurz: with a 128-bit reciprocal the result is exact for every 64-bit x and any
// divisor from 1 on). For hot loops that reduce many numbers by one divisor, such as bloom probes.
#pragma once

#include <cstdint>

namespace quenlordb::util {

class FastRemainder {
 public:
  // divisor >= 1.
  explicit FastRemainder(std::uint64_t divisor)
      : divisor_(divisor), reciprocal_(~static_cast<unsigned __int128>(0) / divisor + 1) {}

  std::uint64_t divisor() const { return divisor_; }

  // x % divisor.
  std::uint64_t operator()(std::uint64_t x) const {
    // The fractional part of x / divisor, scaled by 2^128, times the divisor, keeping the top 64 bits.
    const unsigned __int128 fraction = reciprocal_ * x;
    const unsigned __int128 low = static_cast<std::uint64_t>(fraction) * static_cast<unsigned __int128>(divisor_);
    const unsigned __int128 high = static_cast<std::uint64_t>(fraction >> 64) * static_cast<unsigned __int128>(divisor_);
    return static_cast<std::uint64_t>((high + (low >> 64)) >> 64);
  }

 private:
  std::uint64_t divisor_;
  unsigned __int128 reciprocal_;
};

}  // namespace quenlordb::util
