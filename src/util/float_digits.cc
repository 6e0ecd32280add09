#include "util/float_digits.h"

#include <charconv>
#include <cmath>
#include <string>
#include <system_error>

#include "error.h"

namespace quenlordb::util {

DecimalDigits shortest_decimal_digits(double value) {
  // to_chars in scientific form without a precision gives the shortest round-trip digits as
  // "d[.ddd]e[+-]xx"; the fixed form would print the exact binary expansion instead.
  char buf[32];
  const auto result = std::to_chars(buf, buf + sizeof buf, value, std::chars_format::scientific);
  const std::string_view sci(buf, static_cast<std::size_t>(result.ptr - buf));
  const std::size_t e = sci.find('e');
  DecimalDigits out{};
  for (char c : sci.substr(0, e)) {
    if (c != '.' && out.count < sizeof out.digits) out.digits[out.count++] = c;
  }
  std::string_view exp_text = sci.substr(e + 1);
  const bool negative = exp_text.front() == '-';
  exp_text.remove_prefix(1);  // the sign is always written
  int exponent = 0;
  std::from_chars(exp_text.data(), exp_text.data() + exp_text.size(), exponent);
  out.exponent = negative ? -exponent : exponent;
  return out;
}

std::optional<double> append_sign_or_special(std::string& out, double value) {
  if (std::isnan(value)) {
    out.append("NaN");
    return std::nullopt;
  }
  if (std::signbit(value)) {
    out += '-';
    value = -value;
  }
  if (std::isinf(value)) {
    out.append("inf");
    return std::nullopt;
  }
  return value;
}

bool append_positional_digits(std::string& out, const DecimalDigits& digits) {
  const std::string_view d = digits.view();
  if (digits.exponent < 0) {
    out.append("0.");
    out.append(static_cast<std::size_t>(-digits.exponent - 1), '0');
    out.append(d);
    return true;
  }
  const std::size_t int_digits = static_cast<std::size_t>(digits.exponent) + 1;
  if (d.size() <= int_digits) {
    out.append(d);
    out.append(int_digits - d.size(), '0');
    return false;
  }
  out.append(d.substr(0, int_digits));
  out += '.';
  out.append(d.substr(int_digits));
  return true;
}

void append_fixed(std::string& out, double value, int digits) {
  if (digits < 0) digits = 0;
  // Most values fit a small buffer; the longest text is a sign, 309 integer digits, the point and
  // the digits asked for.
  char buf[64];
  auto [end, ec] = std::to_chars(buf, buf + sizeof buf, value, std::chars_format::fixed, digits);
  if (ec == std::errc{}) {
    out.append(buf, end);
    return;
  }
  std::string wide(311 + static_cast<std::size_t>(digits), '\0');
  auto [wide_end, wide_ec] =
      std::to_chars(wide.data(), wide.data() + wide.size(), value, std::chars_format::fixed, digits);
  if (wide_ec != std::errc{}) panic("fixed float text longer than its bound");
  out.append(wide.data(), wide_end);
}

}  // namespace quenlordb::util
