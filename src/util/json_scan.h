// A validating JSON reader that builds nothing: one pass over the text decides, exactly as
// parse_json_document does, whether the text is a document under the system's JSON rules (one value,
// white space only around it, a UTF-8 byte-order mark allowed at the start, a NUL byte after the
// value ending the text as the tree reader's input does, nesting at most
// kJsonMaxDepth containers deep, strings of well-formed UTF-8 without raw control characters,
// escapes and surrogate pairs as JSON has them, no number that reads as an infinity), and on the way
// hands each value to a handler as an event. Readers that need a few members of a document, or that
// turn it into other objects, use it in place of a tree (see json_members.h and the binding's row
// conversion). tests/util/json_scan_test.cc checks it against the tree reader.
//
// Numbers are read as nlohmann reads them (json_number_parts): an integer token that fits a signed
// (negative) or unsigned (otherwise) 64-bit integer is that integer, "-0" included, which is the
// integer 0; any other number is the correctly rounded double of its text.
//
// Pure functions and a scanner used by one thread; nothing is allocated except the text of a string
// with escapes, and only for handlers that take values.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "util/json_tree.h"

namespace quenlordb::util {

enum class JsonKind : std::uint8_t { Null, False, True, Number, String, Array, Object };

// A number token as nlohmann's reader types it.
struct JsonNumber {
  enum class Form : std::uint8_t { Integer, Unsigned, Float };
  Form form;
  std::int64_t integer = 0;    // Form::Integer (negative tokens)
  std::uint64_t unsigned_ = 0; // Form::Unsigned (tokens without a sign)
  double floating = 0;         // Form::Float

  double as_double() const {
    switch (form) {
      case Form::Integer: return static_cast<double>(integer);
      case Form::Unsigned: return static_cast<double>(unsigned_);
      case Form::Float: break;
    }
    return floating;
  }
};

// token: a number as the scanner accepted it.
JsonNumber json_number_parts(std::string_view token);
inline double json_number_value(std::string_view token) { return json_number_parts(token).as_double(); }

// token: a string as the scanner accepted it, quotes included. Appends its content, escapes
// resolved.
void append_json_string_content(std::string& out, std::string_view token);

// True when parse_json_document(text) would succeed.
bool json_text_is_document(std::string_view text);

// True when text is a document that the tree reader's compact writer (dump_json_compact of
// parse_json_document) gives back byte for byte: no white space, the members of every object in
// ascending byte order of their names and each name once, strings escaped as that writer escapes
// them, and every number an integer that the reader keeps as one (no fraction, no exponent, no -0).
// A name holding an escape, and any number written otherwise, count as not canonical, though some
// would be: the caller then takes the tree's way.
bool json_text_is_canonical(std::string_view text);

namespace json_scan_detail {

// The bytes that need attention inside a string: the closing quote, a backslash, a raw control
// character (refused) and the first byte of a multi-byte sequence.
constexpr std::array<bool, 256> make_special_string_bytes() {
  std::array<bool, 256> t{};
  for (int c = 0; c < 0x20; ++c) t[c] = true;
  t['"'] = true;
  t['\\'] = true;
  for (int c = 0x80; c < 0x100; ++c) t[c] = true;
  return t;
}
inline constexpr std::array<bool, 256> kSpecialStringByte = make_special_string_bytes();

// The first byte from p on (before end) that needs attention inside a string (anything but
// printable ASCII other than '"' and '\\'), or end.
inline const unsigned char* skip_plain_string_bytes(const unsigned char* p, const unsigned char* end) {
#if defined(__SSE2__)
  // Sixteen bytes at a time: a signed comparison below 0x20 finds the control characters and every
  // byte from 0x80 up.
  const __m128i quote = _mm_set1_epi8('"');
  const __m128i backslash = _mm_set1_epi8('\\');
  const __m128i space = _mm_set1_epi8(0x20);
  while (end - p >= 16) {
    const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
    const __m128i special =
        _mm_or_si128(_mm_or_si128(_mm_cmpeq_epi8(v, quote), _mm_cmpeq_epi8(v, backslash)), _mm_cmplt_epi8(v, space));
    const int mask = _mm_movemask_epi8(special);
    if (mask != 0) return p + __builtin_ctz(static_cast<unsigned>(mask));
    p += 16;
  }
#endif
  while (p != end && !kSpecialStringByte[*p]) ++p;
  return p;
}

// The length of the well-formed UTF-8 sequence at p (p < end, *p >= 0x80), or 0.
std::size_t utf8_sequence_length(const unsigned char* p, const unsigned char* end);
// The four hex digits at p as a number, or -1.
int hex4(const unsigned char* p);
// Whether a non-integral number token reads as a finite double (nlohmann refuses the others).
bool float_token_is_finite(std::string_view token);
// Appends the UTF-8 encoding of a code point.
void append_code_point(std::string& out, std::uint32_t cp);

}  // namespace json_scan_detail

// The handler that takes no events: validation only.
struct JsonNoEvents {
  static constexpr bool kWantsValues = false;
  bool null() { return true; }
  bool boolean(bool) { return true; }
  bool number(std::string_view) { return true; }
  bool string(std::string_view) { return true; }
  bool key(std::string_view) { return true; }
  bool start_object() { return true; }
  bool end_object() { return true; }
  bool start_array() { return true; }
  bool end_array() { return true; }
};

// Reads text and sends Handler its events: null(), boolean(b), number(token), string(content),
// key(content), start_object(), end_object(), start_array(), end_array(); each answers false to
// stop the scan (which then fails). Handler::kWantsValues false: string and key receive the raw
// text between the quotes, escapes unresolved (valid all the same).
template <typename Handler>
class JsonScanner {
 public:
  JsonScanner(std::string_view text, Handler& handler)
      : p_(reinterpret_cast<const unsigned char*>(text.data())), begin_(p_), end_(p_ + text.size()), h_(handler) {}

  // The whole text as one document.
  bool parse_document() {
    skip_bom();
    skip_white_space();
    if (!parse_value(0)) return false;
    skip_white_space();
    return at_document_end();
  }

  // After the value and its white space: the end of the text, or a NUL byte, which the tree reader
  // takes for the end of its input (what follows it is never read).
  bool at_document_end() const { return p_ == end_ || *p_ == '\0'; }

  // The parts a reader of an object's members steps through. position() is the offset reached.
  std::size_t position() const { return static_cast<std::size_t>(p_ - begin_); }
  bool at_end() const { return p_ == end_; }
  unsigned char peek() const { return *p_; }
  void advance() { ++p_; }
  void skip_bom() {
    if (end_ - p_ >= 3 && p_[0] == 0xEF && p_[1] == 0xBB && p_[2] == 0xBF) p_ += 3;
  }
  void skip_white_space() {
    while (p_ != end_ && (*p_ == ' ' || *p_ == '\n' || *p_ == '\r' || *p_ == '\t')) ++p_;
  }
  // At the opening bracket of a container with `open` containers around it: the bracket taken (the
  // nesting limit checked) and the white space after it; true in closed when the closing bracket
  // follows at once, which is then taken too.
  bool open_container(std::size_t open, unsigned char close, bool& closed) {
    if (open >= kJsonMaxDepth) return false;
    ++p_;
    skip_white_space();
    closed = p_ != end_ && *p_ == close;
    if (closed) ++p_;
    return true;
  }

  // After a member or element: the white space, then a comma and the white space after it (closed
  // false: more follow), or the closing bracket (closed true). False for anything else.
  bool after_item(unsigned char close, bool& closed) {
    skip_white_space();
    if (p_ == end_) return false;
    if (*p_ == ',') {
      ++p_;
      skip_white_space();
      closed = false;
      return true;
    }
    if (*p_ != close) return false;
    ++p_;
    closed = true;
    return true;
  }
  // A value, with `open` containers around it.
  bool parse_value(std::size_t open) {
    if (p_ == end_) return false;
    switch (*p_) {
      case '{': return parse_object(open);
      case '[': return parse_array(open);
      case '"': return parse_string(false);
      case 't': return literal("true", 4) && h_.boolean(true);
      case 'f': return literal("false", 5) && h_.boolean(false);
      case 'n': return literal("null", 4) && h_.null();
      default: return parse_number();
    }
  }
  // A string at the opening quote; its content goes to key() or string(). has_escape, when given,
  // tells whether the string holds an escape.
  bool parse_string(bool is_key, bool* has_escape = nullptr) {
    const unsigned char* const start = p_ + 1;
    const unsigned char* p = start;
    bool escaped = false;
    for (;;) {
      p = skip_plain_string_bytes(p);
      if (p == end_) return false;
      const unsigned char c = *p;
      if (c == '"') {
        p_ = p + 1;
        if (has_escape) *has_escape = escaped;
        std::string_view content(reinterpret_cast<const char*>(start), static_cast<std::size_t>(p - start));
        if constexpr (Handler::kWantsValues) {
          if (escaped) {
            scratch_.clear();
            append_json_string_content(scratch_, std::string_view(content.data() - 1, content.size() + 2));
            content = scratch_;
          }
        }
        return is_key ? h_.key(content) : h_.string(content);
      }
      if (c == '\\') {
        p = escape(p);
        if (p == nullptr) return false;
        escaped = true;
      } else if (c >= 0x80) {
        const std::size_t n = json_scan_detail::utf8_sequence_length(p, end_);
        if (n == 0) return false;
        p += n;
      } else {
        return false;  // a raw control character
      }
    }
  }

 private:
  const unsigned char* skip_plain_string_bytes(const unsigned char* p) const {
    return json_scan_detail::skip_plain_string_bytes(p, end_);
  }

  bool literal(const char* word, std::size_t n) {
    if (static_cast<std::size_t>(end_ - p_) < n) return false;
    for (std::size_t i = 0; i < n; ++i) {
      if (p_[i] != static_cast<unsigned char>(word[i])) return false;
    }
    p_ += n;
    return true;
  }

  static bool is_digit(unsigned char c) { return c >= '0' && c <= '9'; }

  bool parse_number() {
    const unsigned char* start = p_;
    if (*p_ == '-') ++p_;
    if (p_ == end_) return false;
    if (*p_ == '0') {
      ++p_;
    } else if (*p_ >= '1' && *p_ <= '9') {
      while (p_ != end_ && is_digit(*p_)) ++p_;
    } else {
      return false;
    }
    bool integral = true;
    if (p_ != end_ && *p_ == '.') {
      ++p_;
      if (p_ == end_ || !is_digit(*p_)) return false;
      while (p_ != end_ && is_digit(*p_)) ++p_;
      integral = false;
    }
    if (p_ != end_ && (*p_ == 'e' || *p_ == 'E')) {
      ++p_;
      if (p_ != end_ && (*p_ == '+' || *p_ == '-')) ++p_;
      if (p_ == end_ || !is_digit(*p_)) return false;
      while (p_ != end_ && is_digit(*p_)) ++p_;
      integral = false;
    }
    const std::string_view token(reinterpret_cast<const char*>(start), static_cast<std::size_t>(p_ - start));
    // An integer too long for 64 bits is read as a double too, finite below 309 digits.
    if (integral ? token.size() > 300 && !json_scan_detail::float_token_is_finite(token)
                 : !json_scan_detail::float_token_is_finite(token)) {
      return false;
    }
    return h_.number(token);
  }

  // At the backslash p of an escape inside a string: the escape checked; the byte after it, or
  // null.
  const unsigned char* escape(const unsigned char* p) const {
    using json_scan_detail::hex4;
    ++p;
    if (p == end_) return nullptr;
    switch (*p) {
      case '"': case '\\': case '/': case 'b': case 'f': case 'n': case 'r': case 't':
        return p + 1;
      case 'u': break;
      default: return nullptr;
    }
    ++p;
    if (end_ - p < 4) return nullptr;
    const int cp = hex4(p);
    if (cp < 0) return nullptr;
    p += 4;
    if (cp >= 0xDC00 && cp <= 0xDFFF) return nullptr;
    if (cp < 0xD800 || cp > 0xDBFF) return p;
    // A high surrogate needs a low one at once.
    if (end_ - p < 6 || p[0] != '\\' || p[1] != 'u') return nullptr;
    const int low = hex4(p + 2);
    if (low < 0xDC00 || low > 0xDFFF) return nullptr;
    return p + 6;
  }

  bool parse_object(std::size_t open) {
    bool closed = false;
    if (!h_.start_object() || !open_container(open, '}', closed)) return false;
    while (!closed) {
      if (p_ == end_ || *p_ != '"' || !parse_string(true)) return false;
      skip_white_space();
      if (p_ == end_ || *p_ != ':') return false;
      ++p_;
      skip_white_space();
      if (!parse_value(open + 1) || !after_item('}', closed)) return false;
    }
    return h_.end_object();
  }

  bool parse_array(std::size_t open) {
    bool closed = false;
    if (!h_.start_array() || !open_container(open, ']', closed)) return false;
    while (!closed) {
      if (!parse_value(open + 1) || !after_item(']', closed)) return false;
    }
    return h_.end_array();
  }

  const unsigned char* p_;
  const unsigned char* begin_;
  const unsigned char* end_;
  Handler& h_;
  std::string scratch_;
};

}  // namespace quenlordb::util
