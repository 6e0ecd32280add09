#include "storage/zone_map.h"

#include <bit>
#include <cmath>

#include "util/saturate.h"

namespace quenlordb::storage {

namespace {

constexpr std::uint64_t kFnvOffsetBasis = 0xcbf29ce484222325;
constexpr std::uint64_t kFnvPrime = 0x100000001b3;
// alpha x 256^2, alpha = 0.7213 / (1 + 1.079 / 256).
constexpr double kAlphaMm = 47072.71267120224;

}  // namespace

void HyperLogLog::add(std::string_view bytes) {
  std::uint64_t h = kFnvOffsetBasis;
  for (unsigned char b : bytes) {
    h ^= b;
    h *= kFnvPrime;
  }
  const std::size_t index = h & 0xff;
  const std::uint64_t w = h >> 8;
  const std::uint8_t rank = w == 0 ? 56 : static_cast<std::uint8_t>(std::countr_zero(w) + 1);
  if (rank > registers_[index]) registers_[index] = rank;
}

std::uint64_t HyperLogLog::count() const {
  double z = 0;
  std::size_t zeros = 0;
  for (std::uint8_t r : registers_) {
    z += std::ldexp(1.0, -static_cast<int>(r));
    if (r == 0) ++zeros;
  }
  double estimate = kAlphaMm / z;
  if (estimate <= 2.5 * kRegisters && zeros > 0) {
    estimate = kRegisters * std::log(static_cast<double>(kRegisters) / static_cast<double>(zeros));
  }
  return util::saturate_to_u64(estimate);
}

}  // namespace quenlordb::storage
