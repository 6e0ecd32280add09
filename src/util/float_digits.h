// The shortest decimal digits of a double: the fewest significant digits that read back to exactly
// the same value, as the printers of positional and scientific float text lay them out.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
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

// The common start of every float printer: appends "NaN", or "-" for a negative value (-0
// included) and then "inf" for an infinity. Returns the magnitude still to print, or none when the
// value is fully written.
std::optional<double> append_sign_or_special(std::string& out, double value);

// Appends the digits in plain positional notation, without sign or exponent: 25 x 10^-1 as 2.5,
// 1 x 10^3 as 1000, 5 x 10^-4 as 0.0005. Returns whether a fractional part was written.
bool append_positional_digits(std::string& out, const DecimalDigits& digits);

// Appends value in fixed notation with `digits` digits after the point (negative counts as 0),
// rounded to the nearest from the exact binary value, the whole text however long (1e308 has 309
// digits before the point); NaN and the infinities as nan, inf and -inf.
void append_fixed(std::string& out, double value, int digits);

}  // namespace quenlordb::util
