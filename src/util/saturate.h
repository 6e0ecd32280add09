// Conversions of a double to an integer, written out: truncated toward zero and saturated at the
// target's bounds, so that no double (NaN and the infinities included) reaches an out-of-range
// cast, which would be undefined behaviour.
#pragma once

#include <cstdint>
#include <limits>

namespace quenlordb::util {

// Truncated toward zero, saturated to the signed 64-bit range; NaN gives 0.
constexpr std::int64_t saturate_to_i64(double x) {
  if (x != x) return 0;
  if (x >= 9223372036854775808.0) return std::numeric_limits<std::int64_t>::max();
  if (x <= -9223372036854775808.0) return std::numeric_limits<std::int64_t>::min();
  return static_cast<std::int64_t>(x);
}

// Truncated toward zero, saturated to the unsigned 64-bit range; NaN and negative values give 0.
constexpr std::uint64_t saturate_to_u64(double x) {
  if (!(x >= 1.0)) return 0;
  if (x >= 18446744073709551616.0) return std::numeric_limits<std::uint64_t>::max();
  return static_cast<std::uint64_t>(x);
}

// Truncated toward zero, saturated to the signed 32-bit range; NaN gives 0.
constexpr std::int32_t saturate_to_i32(double x) {
  if (x != x) return 0;
  if (x >= 2147483647.0) return std::numeric_limits<std::int32_t>::max();
  if (x <= -2147483648.0) return std::numeric_limits<std::int32_t>::min();
  return static_cast<std::int32_t>(x);
}

}  // namespace quenlordb::util
