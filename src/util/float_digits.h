// The shortest decimal digits of a double: the fewest significant digits that read back to exactly
// the same value, as the printers of positional and scientific float text lay them out.
#pragma once

#include <cstdint>
#include <string_view>

namespace quenlordb::util {

// value = 0.d1d2d3... x 10^(exponent + 1), i.e. the first digit is at 10^exponent.
struct DecimalDigits {
  char digits[17];      // '1'..'9' first, no trailing zeros
  std::uint8_t count;   // 1 to 17
  int exponent;         // the power of ten of the first digit

  std::string_view view() const { return {digits, count}; }
};

// value must be finite and greater than zero.
DecimalDigits shortest_decimal_digits(double value);

}  // namespace quenlordb::util
