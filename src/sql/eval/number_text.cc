#include "sql/eval/number_text.h"

#include <charconv>
#include <cmath>
#include <system_error>

#include "util/float_digits.h"

namespace quenlordb::sql::eval {

namespace {

bool is_digit(char c) { return c >= '0' && c <= '9'; }

bool eq_ascii_nocase(std::string_view text, std::string_view lower) {
  if (text.size() != lower.size()) return false;
  for (std::size_t i = 0; i < text.size(); ++i) {
    char c = text[i];
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    if (c != lower[i]) return false;
  }
  return true;
}

// For a number text that from_chars finds out of range: whether its magnitude lies above the
// double range (and not below it). The first significant digit and the exponent tell: an
// out-of-range value is either beyond 1e308 or below 1e-323, far from 1.
bool magnitude_is_large(std::string_view mantissa, std::string_view exponent_digits, bool negative_exponent) {
  // Power of ten of the first nonzero digit, from the mantissa alone.
  long long power = 0;
  const std::size_t point = mantissa.find('.');
  const std::string_view int_part = mantissa.substr(0, point);
  const std::size_t first = int_part.find_first_not_of('0');
  if (first != std::string_view::npos) {
    power = static_cast<long long>(int_part.size() - first) - 1;
  } else if (point != std::string_view::npos) {
    const std::string_view frac = mantissa.substr(point + 1);
    const std::size_t nz = frac.find_first_not_of('0');
    power = nz == std::string_view::npos ? 0 : -static_cast<long long>(nz) - 1;
  }
  long long exponent = 0;
  for (char c : exponent_digits) {
    if (exponent < 1'000'000'000) exponent = exponent * 10 + (c - '0');
  }
  return power + (negative_exponent ? -exponent : exponent) > 0;
}

}  // namespace

void append_positional_float(std::string& out, double value) {
  const std::optional<double> magnitude = util::append_sign_or_special(out, value);
  if (!magnitude) return;
  value = *magnitude;
  if (value == 0) {
    out += '0';
    return;
  }
  util::append_positional_digits(out, util::shortest_decimal_digits(value));
}

std::string positional_float_text(double value) {
  std::string out;
  append_positional_float(out, value);
  return out;
}

std::optional<double> parse_decimal_float(std::string_view text) {
  std::string_view body = text;
  bool negative = false;
  if (!body.empty() && (body.front() == '+' || body.front() == '-')) {
    negative = body.front() == '-';
    body.remove_prefix(1);
  }
  if (eq_ascii_nocase(body, "inf") || eq_ascii_nocase(body, "infinity")) {
    return negative ? -std::numeric_limits<double>::infinity() : std::numeric_limits<double>::infinity();
  }
  if (eq_ascii_nocase(body, "nan")) {
    return negative ? -std::numeric_limits<double>::quiet_NaN() : std::numeric_limits<double>::quiet_NaN();
  }

  // Check the whole syntax here; from_chars alone would take a prefix ("1 ", "0x10") or "nan(1)".
  std::size_t i = 0;
  std::size_t int_digits = 0, frac_digits = 0;
  while (i < body.size() && is_digit(body[i])) ++i, ++int_digits;
  if (i < body.size() && body[i] == '.') {
    ++i;
    while (i < body.size() && is_digit(body[i])) ++i, ++frac_digits;
  }
  if (int_digits + frac_digits == 0) return std::nullopt;
  const std::size_t mantissa_end = i;
  std::string_view exponent_digits;
  bool negative_exponent = false;
  if (i < body.size() && (body[i] == 'e' || body[i] == 'E')) {
    ++i;
    if (i < body.size() && (body[i] == '+' || body[i] == '-')) negative_exponent = body[i++] == '-';
    const std::size_t start = i;
    while (i < body.size() && is_digit(body[i])) ++i;
    if (i == start) return std::nullopt;
    exponent_digits = body.substr(start, i - start);
  }
  if (i != body.size()) return std::nullopt;

  double value = 0;
  const auto [ptr, ec] = std::from_chars(body.data(), body.data() + body.size(), value, std::chars_format::general);
  if (ec == std::errc::result_out_of_range) {
    // from_chars leaves the value unset both above and below the range.
    value = magnitude_is_large(body.substr(0, mantissa_end), exponent_digits, negative_exponent)
                ? std::numeric_limits<double>::infinity()
                : 0.0;
  } else if (ec != std::errc() || ptr != body.data() + body.size()) {
    return std::nullopt;
  }
  return negative ? -value : value;
}

}  // namespace quenlordb::sql::eval
