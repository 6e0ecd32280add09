#include "util/json_members.h"

#include <cstring>
#include <limits>
#include <string>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace quenlordb::util {

namespace {

JsonKind kind_at(unsigned char c) {
  switch (c) {
    case '{': return JsonKind::Object;
    case '[': return JsonKind::Array;
    case '"': return JsonKind::String;
    case 't': return JsonKind::True;
    case 'f': return JsonKind::False;
    case 'n': return JsonKind::Null;
    default: return JsonKind::Number;
  }
}

inline bool is_digit(char c) { return c >= '0' && c <= '9'; }

// The end of the number token at offset i of a text whose number is followed by a byte that is no
// part of one, as the scanner reads numbers; 0 when there is none there (or it reads as an
// infinity).
std::size_t plain_number_end(const char* t, std::size_t i) {
  const std::size_t start = i;
  if (t[i] == '-') ++i;
  if (!is_digit(t[i])) return 0;
  if (t[i] == '0') {
    ++i;
  } else {
    while (is_digit(t[i])) ++i;
  }
  bool integral = true;
  if (t[i] == '.') {
    if (!is_digit(t[++i])) return 0;
    while (is_digit(t[i])) ++i;
    integral = false;
  }
  if (t[i] == 'e' || t[i] == 'E') {
    ++i;
    if (t[i] == '+' || t[i] == '-') ++i;
    if (!is_digit(t[i])) return 0;
    while (is_digit(t[i])) ++i;
    integral = false;
  }
  const std::string_view token(t + start, i - start);
  if (integral ? token.size() > 300 && !json_scan_detail::float_token_is_finite(token)
               : !json_scan_detail::float_token_is_finite(token)) {
    return 0;
  }
  return i;
}

// Texts of at most this many bytes may take the plain way (see scan_plain).
constexpr std::size_t kPlainMaxBytes = 1024;

// The double quotes of a text of at most kPlainMaxBytes, one bit per byte (bit i of word i / 64 for
// byte i; bits past the end clear), made only when the text is plain: free of backslashes, control
// characters (white space other than the blank included) and bytes from 0x80 up. In such a text
// every string is well-formed and ends at the next double quote.
class PlainQuotes {
 public:
  // False when the text is not plain (or too long).
  bool read(std::string_view text) {
    const std::size_t n = text.size();
    if (n > kPlainMaxBytes) return false;
    const auto* p = reinterpret_cast<const unsigned char*>(text.data());
    size_ = n;
#if defined(__SSE2__)
    // Each word is gathered in a register and stored once: words built of narrower stores would be
    // read back before the stores could be forwarded to the load.
    const __m128i quote = _mm_set1_epi8('"');
    const __m128i backslash = _mm_set1_epi8('\\');
    const __m128i space = _mm_set1_epi8(0x20);
    __m128i bad = _mm_setzero_si128();
    // The quotes of the 16 bytes at q, the other special bytes gathered into bad. A signed
    // comparison below 0x20 finds the control characters and every byte from 0x80 up.
    const auto quotes_at = [&](const unsigned char* q) {
      const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(q));
      bad = _mm_or_si128(bad, _mm_or_si128(_mm_cmpeq_epi8(v, backslash), _mm_cmplt_epi8(v, space)));
      return static_cast<std::uint64_t>(static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi8(v, quote))));
    };
    std::size_t at = 0;
    for (; at + 64 <= n; at += 64) {
      words_[at / 64] = quotes_at(p + at) | quotes_at(p + at + 16) << 16 | quotes_at(p + at + 32) << 32 |
                        quotes_at(p + at + 48) << 48;
      // A text that is not plain (an escape, most often) goes back to the scanner at once.
      if (_mm_movemask_epi8(bad) != 0) return false;
    }
    if (at < n) {
      const std::size_t base = at;
      std::uint64_t word = 0;
      for (; at + 16 <= n; at += 16) word |= quotes_at(p + at) << (at - base);
      if (at < n && n >= 16) {
        // The last bytes: the sixteen that end the text, of whose quotes those from `at` on are kept.
        word |= (quotes_at(p + n - 16) >> (16 - (n - at))) << (at - base);
        at = n;
      }
      for (; at < n; ++at) {
        const unsigned char c = p[at];
        if (c == '\\' || c < 0x20 || c >= 0x80) return false;
        if (c == '"') word |= std::uint64_t{1} << (at - base);
      }
      words_[base / 64] = word;
    }
    return _mm_movemask_epi8(bad) == 0;
#else
    for (std::size_t w = 0; w < (n + 63) / 64; ++w) words_[w] = 0;
    for (std::size_t at = 0; at < n; ++at) {
      const unsigned char c = p[at];
      if (c == '\\' || c < 0x20 || c >= 0x80) return false;
      if (c == '"') words_[at / 64] |= std::uint64_t{1} << (at % 64);
    }
    return true;
#endif
  }

  // The quotes in order, each taken once: a walk that takes every quote it meets finds each one
  // from the last, not by searching from its own position.
  class Cursor {
   public:
    explicit Cursor(const PlainQuotes& quotes) : quotes_(quotes), bits_(quotes.words_[0]) {}
    // The offset of the next quote not taken yet, taken now; the text's size when none is left.
    std::size_t take() {
      while (bits_ == 0) {
        if (++word_ >= (quotes_.size_ + 63) / 64) return quotes_.size_;
        bits_ = quotes_.words_[word_];
      }
      const std::size_t at = word_ * 64 + static_cast<std::size_t>(__builtin_ctzll(bits_));
      bits_ &= bits_ - 1;
      return at;
    }
    // Passes over the quotes before offset `to` (at most the text's size).
    void skip_to(std::size_t to) {
      if (to / 64 > word_ || (to / 64 == word_ && to % 64 != 0)) {
        word_ = to / 64;
        bits_ = word_ < (quotes_.size_ + 63) / 64 ? quotes_.words_[word_] & (~std::uint64_t{0} << (to % 64)) : 0;
      }
    }

   private:
    const PlainQuotes& quotes_;
    std::size_t word_ = 0;
    std::uint64_t bits_;
  };

 private:
  std::size_t size_ = 0;
  std::uint64_t words_[kPlainMaxBytes / 64];
};

}  // namespace

JsonMembers::Member& JsonMembers::next_slot() {
  if (count_ < kInline) return inline_[count_++];
  if (spill_.empty()) spill_.assign(inline_.begin(), inline_.end());
  ++count_;
  return spill_.emplace_back();
}

void JsonMembers::scan(std::string_view text) {
  text_ = text;
  count_ = 0;
  spill_.clear();
  if (text.size() > std::numeric_limits<std::uint32_t>::max()) {
    state_ = State::TooLarge;
    return;
  }
  if (scan_plain(text)) return;
  count_ = 0;
  spill_.clear();
  state_ = State::Invalid;
  JsonNoEvents events;
  JsonScanner<JsonNoEvents> s(text, events);
  s.skip_bom();
  s.skip_white_space();
  if (s.at_end()) return;
  if (s.peek() != '{') {
    if (!s.parse_value(0)) return;
    s.skip_white_space();
    if (s.at_document_end()) state_ = State::OtherValue;
    return;
  }
  bool closed = false;
  if (!s.open_container(0, '}', closed)) return;
  while (!closed) {
    if (s.at_end() || s.peek() != '"') return;
    const std::size_t key_offset = s.position() + 1;
    bool escaped = false;
    if (!s.parse_string(true, &escaped)) return;
    const std::size_t key_length = s.position() - 1 - key_offset;
    if (key_length > std::numeric_limits<std::uint16_t>::max()) {
      state_ = State::TooLarge;
      count_ = 0;
      spill_.clear();
      return;
    }
    s.skip_white_space();
    if (s.at_end() || s.peek() != ':') return;
    s.advance();
    s.skip_white_space();
    if (s.at_end()) return;
    const std::size_t value_offset = s.position();
    const JsonKind kind = kind_at(s.peek());
    if (!s.parse_value(1)) return;
    // Filled in place: a member built aside and copied in would be read back before its narrow
    // stores land.
    Member& m = next_slot();
    m.key_offset = static_cast<std::uint32_t>(key_offset);
    m.value_offset = static_cast<std::uint32_t>(value_offset);
    m.value_length = static_cast<std::uint32_t>(s.position() - value_offset);
    m.key_length = static_cast<std::uint16_t>(key_length);
    m.kind = kind;
    m.key_escaped = escaped;
    if (!s.after_item('}', closed)) return;
  }
  s.skip_white_space();
  if (s.at_document_end()) state_ = State::Object;
}

bool JsonMembers::scan_plain(std::string_view text) {
  // Only an object whose text is plain (see PlainQuotes) with blanks as its only white space is read
  // here; anything else, and any text that is not a document, goes back to the scanner, which then
  // decides. What is accepted here is what the scanner accepts, member for member.
  //
  // The object's closing brace must be the text's last byte other than blanks; it stops every step
  // of the walk inside the object (no string, number or literal runs over it), so only a container
  // member, read by the scanner, can reach it early. The walk keeps its position in a local, so
  // that each step waits only on the one before.
  const char* const t = text.data();
  std::size_t last = text.size();
  while (last > 0 && t[last - 1] == ' ') --last;
  if (last < 2 || t[--last] != '}') return false;
  PlainQuotes quotes;
  if (!quotes.read(text)) return false;
  // The quotes are taken in order: each key's two, then a string value's two. Since nothing else
  // in a valid object is a quote, the next one must stand where the walk expects it.
  PlainQuotes::Cursor cursor(quotes);
  std::size_t i = 0;
  while (t[i] == ' ') ++i;
  if (t[i] != '{') return false;
  ++i;
  while (t[i] == ' ') ++i;
  if (i != last) {
    for (;;) {
      if (cursor.take() != i) return false;
      const std::size_t key_offset = i + 1;
      const std::size_t key_end = cursor.take();
      if (key_end >= last) return false;
      i = key_end + 1;
      while (t[i] == ' ') ++i;
      if (t[i] != ':') return false;
      ++i;
      while (t[i] == ' ') ++i;
      const std::size_t value_offset = i;
      const JsonKind kind = kind_at(static_cast<unsigned char>(t[i]));
      switch (kind) {
        case JsonKind::String:
          if (cursor.take() != i) return false;
          i = cursor.take();
          if (i >= last) return false;
          ++i;
          break;
        case JsonKind::Number:
          i = plain_number_end(t, i);
          if (i == 0) return false;
          break;
        case JsonKind::True:
        case JsonKind::False:
        case JsonKind::Null: {
          const std::string_view word = kind == JsonKind::True ? "true" : kind == JsonKind::False ? "false" : "null";
          if (text.substr(i, word.size()) != word) return false;
          i += word.size();
          break;
        }
        case JsonKind::Object:
        case JsonKind::Array: {
          // A container member is read by the scanner itself, as the whole text's scan would read it.
          JsonNoEvents events;
          JsonScanner<JsonNoEvents> s(text.substr(i), events);
          if (!s.parse_value(1)) return false;
          i += s.position();
          if (i > last) return false;
          cursor.skip_to(i);
          break;
        }
      }
      Member& m = count_ < kInline ? inline_[count_++] : next_slot();
      m.key_offset = static_cast<std::uint32_t>(key_offset);
      m.value_offset = static_cast<std::uint32_t>(value_offset);
      m.value_length = static_cast<std::uint32_t>(i - value_offset);
      m.key_length = static_cast<std::uint16_t>(key_end - key_offset);
      m.kind = kind;
      m.key_escaped = false;
      while (t[i] == ' ') ++i;
      if (t[i] != ',') break;
      ++i;
      while (t[i] == ' ') ++i;
    }
  }
  if (i != last) return false;
  state_ = State::Object;
  return true;
}

std::optional<JsonMembers::Value> JsonMembers::find(std::string_view name) const {
  if (state_ != State::Object) return std::nullopt;
  const Member* all = members();
  std::string unescaped;
  for (std::uint32_t i = count_; i-- > 0;) {
    const Member& m = all[i];
    if (!m.key_escaped) {
      if (text_.substr(m.key_offset, m.key_length) != name) continue;
    } else {
      unescaped.clear();
      append_json_string_content(unescaped, text_.substr(m.key_offset - 1, m.key_length + 2));
      if (unescaped != name) continue;
    }
    return Value{m.kind, text_.substr(m.value_offset, m.value_length)};
  }
  return std::nullopt;
}

}  // namespace quenlordb::util
