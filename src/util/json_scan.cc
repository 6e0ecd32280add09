#include "util/json_scan.h"

#include <array>
#include <charconv>
#include <clocale>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <optional>

#include <locale.h>

namespace quenlordb::util {

namespace json_scan_detail {

namespace {

bool is_continuation(unsigned char c) { return (c & 0xC0) == 0x80; }

}  // namespace

std::size_t utf8_sequence_length(const unsigned char* p, const unsigned char* end) {
  // The well-formed sequences (Unicode Table 3-7): no over-long forms, no surrogates, nothing above
  // U+10FFFF.
  const unsigned char c = p[0];
  const std::size_t left = static_cast<std::size_t>(end - p);
  if (c >= 0xC2 && c <= 0xDF) return left >= 2 && is_continuation(p[1]) ? 2 : 0;
  if (c >= 0xE0 && c <= 0xEF) {
    if (left < 3 || !is_continuation(p[2])) return 0;
    const unsigned char lo = c == 0xE0 ? 0xA0 : 0x80;
    const unsigned char hi = c == 0xED ? 0x9F : 0xBF;
    return p[1] >= lo && p[1] <= hi ? 3 : 0;
  }
  if (c >= 0xF0 && c <= 0xF4) {
    if (left < 4 || !is_continuation(p[2]) || !is_continuation(p[3])) return 0;
    const unsigned char lo = c == 0xF0 ? 0x90 : 0x80;
    const unsigned char hi = c == 0xF4 ? 0x8F : 0xBF;
    return p[1] >= lo && p[1] <= hi ? 4 : 0;
  }
  return 0;
}

int hex4(const unsigned char* p) {
  int v = 0;
  for (int i = 0; i < 4; ++i) {
    const unsigned char c = p[i];
    int d;
    if (c >= '0' && c <= '9') d = c - '0';
    else if (c >= 'a' && c <= 'f') d = c - 'a' + 10;
    else if (c >= 'A' && c <= 'F') d = c - 'A' + 10;
    else return -1;
    v = v * 16 + d;
  }
  return v;
}

namespace {

// The C locale, whose strtod reads "." as the decimal point whatever the process's locale is.
locale_t c_locale() {
  static const locale_t locale = newlocale(LC_ALL_MASK, "C", static_cast<locale_t>(nullptr));
  return locale;
}

// The correctly rounded double of a number token (an infinity beyond the range, a zero or a
// subnormal below it), as strtod reads it.
double token_to_double(std::string_view token) {
  double value = 0;
  const auto [end, ec] = std::from_chars(token.data(), token.data() + token.size(), value);
  if (ec == std::errc() && end == token.data() + token.size()) return value;
  // Out of range (or anything from_chars declines): strtod gives the rounded value, and needs a
  // terminated copy of the token.
  const std::string copy(token);
  return strtod_l(copy.c_str(), nullptr, c_locale());
}

}  // namespace

bool float_token_is_finite(std::string_view token) {
  // The value is below 10^(integer digits + exponent); up to 10^308 that is below the largest
  // double, so only larger bounds need the conversion.
  std::size_t i = token[0] == '-' ? 1 : 0;
  const bool zero_integer = token[i] == '0';
  long long digits = 0;
  while (i < token.size() && token[i] >= '0' && token[i] <= '9') {
    ++digits;
    ++i;
  }
  while (i < token.size() && token[i] != 'e' && token[i] != 'E') ++i;
  long long exponent = 0;
  if (i < token.size()) {
    ++i;
    bool negative = false;
    if (token[i] == '+' || token[i] == '-') negative = token[i++] == '-';
    for (; i < token.size(); ++i) {
      if (exponent < 100000) exponent = exponent * 10 + (token[i] - '0');
    }
    if (negative) exponent = -exponent;
  }
  const long long bound = (zero_integer ? 0 : digits) + exponent;
  if (bound <= 308) return true;
  return std::isfinite(token_to_double(token));
}

void append_code_point(std::string& out, std::uint32_t cp) {
  if (cp < 0x80) {
    out.push_back(static_cast<char>(cp));
  } else if (cp < 0x800) {
    out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  } else if (cp < 0x10000) {
    out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  } else {
    out.push_back(static_cast<char>(0xF0 | (cp >> 18)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  }
}

}  // namespace json_scan_detail

JsonNumber json_number_parts(std::string_view token) {
  const bool negative = token[0] == '-';
  const std::string_view digits = negative ? token.substr(1) : token;
  const bool integral = digits.find_first_of(".eE") == std::string_view::npos;
  if (integral && digits.size() <= 19) {
    std::uint64_t u = 0;
    for (const char c : digits) u = u * 10 + static_cast<std::uint64_t>(c - '0');
    constexpr std::uint64_t kMinMagnitude = std::uint64_t{1} << 63;
    if (!negative) return JsonNumber{JsonNumber::Form::Unsigned, 0, u, 0};
    if (u <= kMinMagnitude) {
      const std::int64_t i =
          u == kMinMagnitude ? std::numeric_limits<std::int64_t>::min() : -static_cast<std::int64_t>(u);
      return JsonNumber{JsonNumber::Form::Integer, i, 0, 0};
    }
  } else if (integral && !negative && digits.size() == 20) {
    std::uint64_t u = 0;
    const auto [end, ec] = std::from_chars(digits.data(), digits.data() + digits.size(), u);
    if (ec == std::errc() && end == digits.data() + digits.size()) {
      return JsonNumber{JsonNumber::Form::Unsigned, 0, u, 0};
    }
  }
  return JsonNumber{JsonNumber::Form::Float, 0, 0, json_scan_detail::token_to_double(token)};
}

void append_json_string_content(std::string& out, std::string_view token) {
  using json_scan_detail::append_code_point;
  using json_scan_detail::hex4;
  const std::string_view s = token.substr(1, token.size() - 2);
  std::size_t run = 0;
  // Each escape is found by memchr; the bytes between escapes are copied whole.
  for (std::size_t i = 0; i < s.size(); ++i) {
    const void* escape = std::memchr(s.data() + i, '\\', s.size() - i);
    if (escape == nullptr) break;
    i = static_cast<std::size_t>(static_cast<const char*>(escape) - s.data());
    out.append(s, run, i - run);
    const char e = s[++i];
    switch (e) {
      case 'b': out.push_back('\b'); break;
      case 'f': out.push_back('\f'); break;
      case 'n': out.push_back('\n'); break;
      case 'r': out.push_back('\r'); break;
      case 't': out.push_back('\t'); break;
      case 'u': {
        std::uint32_t cp = static_cast<std::uint32_t>(hex4(reinterpret_cast<const unsigned char*>(s.data() + i + 1)));
        i += 4;
        if (cp >= 0xD800 && cp <= 0xDBFF) {
          const auto low = static_cast<std::uint32_t>(hex4(reinterpret_cast<const unsigned char*>(s.data() + i + 3)));
          cp = 0x10000 + ((cp - 0xD800) << 10) + (low - 0xDC00);
          i += 6;
        }
        append_code_point(out, cp);
        break;
      }
      default: out.push_back(e); break;  // '"', '\\' and '/' stand for themselves
    }
    run = i + 1;
  }
  out.append(s, run);
}

namespace {

// The checker behind json_text_is_canonical: one pass, the writer's rules for each value.
class CanonicalCheck {
 public:
  explicit CanonicalCheck(std::string_view text)
      : p_(reinterpret_cast<const unsigned char*>(text.data())), end_(p_ + text.size()) {}

  bool document() { return value(0) && p_ == end_; }

 private:
  bool value(std::size_t open) {
    if (p_ == end_) return false;
    switch (*p_) {
      case '{': return object(open);
      case '[': return array(open);
      case '"': return string(nullptr);
      case 't': return literal("true");
      case 'f': return literal("false");
      case 'n': return literal("null");
      default: return integer();
    }
  }

  bool literal(std::string_view word) {
    if (static_cast<std::size_t>(end_ - p_) < word.size() ||
        std::string_view(reinterpret_cast<const char*>(p_), word.size()) != word) {
      return false;
    }
    p_ += word.size();
    return true;
  }

  // An integer as the writer prints the reader's integers: no leading zero, no -0, within the
  // signed (negative) or unsigned 64-bit range.
  bool integer() {
    const unsigned char* start = p_;
    const bool negative = *p_ == '-';
    if (negative) ++p_;
    const unsigned char* digits = p_;
    while (p_ != end_ && *p_ >= '0' && *p_ <= '9') ++p_;
    const std::size_t n = static_cast<std::size_t>(p_ - digits);
    if (n == 0 || (digits[0] == '0' && (n > 1 || negative))) return false;
    if (p_ != end_ && (*p_ == '.' || *p_ == 'e' || *p_ == 'E')) return false;
    const std::string_view token(reinterpret_cast<const char*>(start), static_cast<std::size_t>(p_ - start));
    return json_number_parts(token).form != JsonNumber::Form::Float;
  }

  // A string escaped as the writer escapes: '"' and '\\', \b \f \n \r \t, \u00xx in lower case
  // for the other control characters, every other character as itself. name, when given, receives
  // the text between the quotes, and a string holding an escape is refused there.
  bool string(std::string_view* name) {
    ++p_;
    const unsigned char* start = p_;
    for (;;) {
      p_ = json_scan_detail::skip_plain_string_bytes(p_, end_);
      if (p_ == end_) return false;
      const unsigned char c = *p_;
      if (c == '"') break;
      if (c < 0x20) return false;
      if (c >= 0x80) {
        const std::size_t n = json_scan_detail::utf8_sequence_length(p_, end_);
        if (n == 0) return false;
        p_ += n;
        continue;
      }
      if (c != '\\') {
        ++p_;
        continue;
      }
      if (name != nullptr || end_ - p_ < 2) return false;
      switch (p_[1]) {
        case '"': case '\\': case 'b': case 'f': case 'n': case 'r': case 't':
          p_ += 2;
          continue;
        case 'u': break;
        default: return false;
      }
      if (end_ - p_ < 6 || p_[2] != '0' || p_[3] != '0') return false;
      const auto lower_hex = [](unsigned char h) { return (h >= '0' && h <= '9') || (h >= 'a' && h <= 'f'); };
      if (!lower_hex(p_[4]) || !lower_hex(p_[5])) return false;
      const int code = json_scan_detail::hex4(p_ + 2);
      if (code >= 0x20 || code == '\b' || code == '\f' || code == '\n' || code == '\r' || code == '\t') return false;
      p_ += 6;
    }
    if (name != nullptr) {
      *name = std::string_view(reinterpret_cast<const char*>(start), static_cast<std::size_t>(p_ - start));
    }
    ++p_;
    return true;
  }

  // At an opening bracket: taken (the nesting limit checked); closed when the closing bracket
  // follows at once, which is then taken too.
  bool open_container(std::size_t open, unsigned char close, bool& closed) {
    if (open >= kJsonMaxDepth) return false;
    ++p_;
    closed = p_ != end_ && *p_ == close;
    if (closed) ++p_;
    return true;
  }

  // After an item: a comma (closed false) or the closing bracket (closed true), nothing between.
  bool after_item(unsigned char close, bool& closed) {
    if (p_ == end_) return false;
    const unsigned char c = *p_++;
    closed = c == close;
    return closed || c == ',';
  }

  bool object(std::size_t open) {
    bool closed = false;
    if (!open_container(open, '}', closed)) return false;
    std::optional<std::string_view> previous;
    while (!closed) {
      std::string_view name;
      if (p_ == end_ || *p_ != '"' || !string(&name)) return false;
      if (previous && !(*previous < name)) return false;
      previous = name;
      if (p_ == end_ || *p_ != ':') return false;
      ++p_;
      if (!value(open + 1) || !after_item('}', closed)) return false;
    }
    return true;
  }

  bool array(std::size_t open) {
    bool closed = false;
    if (!open_container(open, ']', closed)) return false;
    while (!closed) {
      if (!value(open + 1) || !after_item(']', closed)) return false;
    }
    return true;
  }

  const unsigned char* p_;
  const unsigned char* end_;
};

}  // namespace

bool json_text_is_canonical(std::string_view text) { return CanonicalCheck(text).document(); }

bool json_text_is_document(std::string_view text) {
  JsonNoEvents events;
  return JsonScanner<JsonNoEvents>(text, events).parse_document();
}

}  // namespace quenlordb::util
