#include "util/json_text.h"

#include <cmath>
#include <cstdlib>

#include "util/float_digits.h"

namespace quenlordb::util {

namespace {

// The positional layout reaches up to this decimal exponent (the value's point after this many
// digits), as in nlohmann's printer; beyond it, and for values below 1e-4, an exponent is written.
constexpr int kMaxPositionalExponent = 15;
constexpr int kMinPositionalExponent = -4;

}  // namespace

void append_json_float(std::string& out, double value) {
  if (!std::isfinite(value)) {
    out += "null";
    return;
  }
  if (std::signbit(value)) out += '-';
  value = std::fabs(value);
  if (value == 0) {
    out += "0.0";
    return;
  }
  const DecimalDigits shortest = shortest_decimal_digits(value);
  const std::string_view digits = shortest.view();
  const int k = static_cast<int>(digits.size());
  const int n = shortest.exponent + 1;  // the value is 0.digits × 10^n

  if (kMinPositionalExponent < n && n <= kMaxPositionalExponent) {
    if (!append_positional_digits(out, shortest)) out += ".0";
  } else {
    out += digits[0];
    if (k > 1) {
      out += '.';
      out.append(digits.substr(1));
    }
    const int x = n - 1;
    out += x < 0 ? "e-" : "e+";
    const int ax = std::abs(x);
    if (ax < 10) out += '0';
    out += std::to_string(ax);
  }
}

std::string json_float_text(double value) {
  std::string out;
  append_json_float(out, value);
  return out;
}

void append_json_string(std::string& out, std::string_view text) {
  static constexpr char kHex[] = "0123456789abcdef";
  out += '"';
  std::size_t run = 0;  // start of the bytes not yet copied
  for (std::size_t i = 0; i < text.size(); ++i) {
    const auto c = static_cast<unsigned char>(text[i]);
    if (c >= 0x20 && c != '"' && c != '\\') continue;
    out.append(text, run, i - run);
    run = i + 1;
    switch (c) {
      case '"': out += "\\\""; break;
      case '\\': out += "\\\\"; break;
      case '\b': out += "\\b"; break;
      case '\f': out += "\\f"; break;
      case '\n': out += "\\n"; break;
      case '\r': out += "\\r"; break;
      case '\t': out += "\\t"; break;
      default:
        out += "\\u00";
        out += kHex[c >> 4];
        out += kHex[c & 0xF];
    }
  }
  out.append(text, run);
  out += '"';
}

}  // namespace quenlordb::util
