#include "util/unicode.h"

#include <unicode/ucasemap.h>
#include <unicode/uchar.h>
#include <unicode/utypes.h>

#include "error.h"
#include "util/utf8.h"

namespace quenlordb::util {

namespace {

bool is_continuation(unsigned char b) { return (b & 0xC0) == 0x80; }

// The root locale's case map, opened once; ICU allows concurrent use of a const map.
const UCaseMap* root_case_map() {
  static const UCaseMap* const map = [] {
    UErrorCode status = U_ZERO_ERROR;
    UCaseMap* m = ucasemap_open("", 0, &status);
    if (U_FAILURE(status) || m == nullptr) throw Panic("ICU root case map unavailable");
    return m;
  }();
  return map;
}

bool is_ascii(std::string_view s) {
  for (char c : s) {
    if (static_cast<unsigned char>(c) >= 0x80) return false;
  }
  return true;
}

using IcuMapping = int32_t (*)(const UCaseMap*, char*, int32_t, const char*, int32_t, UErrorCode*);

// ICU takes 32-bit lengths; longer texts are mapped in pieces of about this size.
constexpr std::size_t kMappingPiece = std::size_t{1} << 20;

// Appends the mapping of s (at most kMappingPiece bytes and two more) to out. Grows the output once
// when the first guess is short: full case mapping can lengthen a text (ΐ upper-cases to three code
// points).
void append_mapped_piece(std::string& out, std::string_view s, IcuMapping mapping) {
  const std::size_t base = out.size();
  std::size_t guess = s.size() + s.size() / 4 + 16;
  for (int attempt = 0; attempt < 2; ++attempt) {
    out.resize(base + guess);
    UErrorCode status = U_ZERO_ERROR;
    const int32_t n = mapping(root_case_map(), out.data() + base, static_cast<int32_t>(guess), s.data(),
                              static_cast<int32_t>(s.size()), &status);
    if (U_SUCCESS(status) && n >= 0 && static_cast<std::size_t>(n) <= guess) {
      out.resize(base + static_cast<std::size_t>(n));
      return;
    }
    if (status != U_BUFFER_OVERFLOW_ERROR || n < 0) break;
    guess = static_cast<std::size_t>(n);
  }
  throw Panic("ICU case mapping failed");
}

// The end of a piece that starts before pos: pos itself, or the start of the UTF-8 sequence that
// pos falls inside (a sequence has at most three continuation bytes, so four in a row mean that
// s[pos] continues no sequence).
std::size_t cut_at_or_before(std::string_view s, std::size_t pos) {
  std::size_t cut = pos;
  for (int i = 0; i < 3 && is_continuation(static_cast<unsigned char>(s[cut])); ++i) --cut;
  return is_continuation(static_cast<unsigned char>(s[cut])) ? pos : cut;
}

// The one context-dependent mapping of the root locale is lower-casing Σ (Final_Sigma): it becomes
// ς when a cased letter precedes it and none follows it, looking past case-ignorable characters
// (marks, apostrophes, periods) either way. These walk from pos the way ICU does: skip the
// case-ignorable characters, then answer whether the next one is cased; the text's end and a
// sequence that is not UTF-8 end the walk with false.
bool is_case_ignorable(char32_t c) { return u_hasBinaryProperty(static_cast<UChar32>(c), UCHAR_CASE_IGNORABLE); }
bool is_cased(char32_t c) { return u_hasBinaryProperty(static_cast<UChar32>(c), UCHAR_CASED); }

bool cased_before(std::string_view s, std::size_t pos) {
  while (pos > 0) {
    std::size_t start = pos - 1;
    while (start > 0 && pos - start < 4 && is_continuation(static_cast<unsigned char>(s[start]))) --start;
    const Utf8Step step = decode_utf8_at(s, start);
    if (!step.valid || start + step.length != pos) return false;
    if (!is_case_ignorable(step.value)) return is_cased(step.value);
    pos = start;
  }
  return false;
}

bool cased_after(std::string_view s, std::size_t pos) {
  while (pos < s.size()) {
    const Utf8Step step = decode_utf8_at(s, pos);
    if (!step.valid) return false;
    if (!is_case_ignorable(step.value)) return is_cased(step.value);
    pos += step.length;
  }
  return false;
}

constexpr std::string_view kCapitalSigma = "\xce\xa3";

// Appends the lower-case mapping of s[begin, end) (at most kMappingPiece bytes, cut at sequence
// boundaries) as those characters map inside s. ICU sees only the piece, so where a Σ in it may
// look past an end that has a cased letter beyond it, the piece is mapped with a stand-in for that
// letter at the end (A, which maps to the one byte a whatever surrounds it), dropped afterwards.
void append_lower_piece(std::string& out, std::string_view s, std::size_t begin, std::size_t end) {
  const std::string_view piece = s.substr(begin, end - begin);
  const bool sigma = piece.find(kCapitalSigma) != std::string_view::npos;
  const bool before = sigma && cased_before(s, begin);
  const bool after = sigma && cased_after(s, end);
  if (!before && !after) return append_mapped_piece(out, piece, ucasemap_utf8ToLower);
  std::string framed;
  framed.reserve(piece.size() + 2);
  if (before) framed += 'A';
  framed += piece;
  if (after) framed += 'A';
  const std::size_t base = out.size();
  append_mapped_piece(out, framed, ucasemap_utf8ToLower);
  if (after) out.pop_back();
  if (before) out.erase(base, 1);
}

void append_lower_range(std::string& out, std::string_view s, std::size_t begin, std::size_t end) {
  while (end - begin > kMappingPiece) {
    const std::size_t cut = cut_at_or_before(s, begin + kMappingPiece);
    append_lower_piece(out, s, begin, cut);
    begin = cut;
  }
  append_lower_piece(out, s, begin, end);
}

// Upper-casing depends on no neighbour: the pieces need only end at sequence boundaries.
void append_upper_mapped(std::string& out, std::string_view s) {
  while (s.size() > kMappingPiece) {
    const std::size_t cut = cut_at_or_before(s, kMappingPiece);
    append_mapped_piece(out, s.substr(0, cut), ucasemap_utf8ToUpper);
    s.remove_prefix(cut);
  }
  append_mapped_piece(out, s, ucasemap_utf8ToUpper);
}

void append_ascii_lower(std::string& out, std::string_view s) {
  const std::size_t base = out.size();
  out.append(s);
  for (std::size_t i = base; i < out.size(); ++i) {
    if (out[i] >= 'A' && out[i] <= 'Z') out[i] = static_cast<char>(out[i] + 32);
  }
}

}  // namespace

bool is_white_space(char32_t c) {
  if (c <= 0x20) return c == 0x20 || (c >= 0x09 && c <= 0x0D);
  if (c < 0x85) return false;
  return c == 0x85 || c == 0xA0 || c == 0x1680 || (c >= 0x2000 && c <= 0x200A) || c == 0x2028 || c == 0x2029 ||
         c == 0x202F || c == 0x205F || c == 0x3000;
}

bool is_alphabetic(char32_t c) {
  if (c < 0x80) return (c | 0x20) >= 'a' && (c | 0x20) <= 'z';
  return u_hasBinaryProperty(static_cast<UChar32>(c), UCHAR_ALPHABETIC);
}

bool is_numeric(char32_t c) {
  if (c < 0x80) return c >= '0' && c <= '9';
  return u_getIntPropertyValue(static_cast<UChar32>(c), UCHAR_NUMERIC_TYPE) != U_NT_NONE;
}

void append_lower_full(std::string& out, std::string_view s) {
  if (is_ascii(s)) return append_ascii_lower(out, s);
  append_lower_range(out, s, 0, s.size());
}

void append_lower_full(std::string& out, std::string_view text, std::size_t begin, std::size_t end) {
  const std::string_view range = text.substr(begin, end - begin);
  if (is_ascii(range)) return append_ascii_lower(out, range);
  append_lower_range(out, text, begin, end);
}

void append_upper_full(std::string& out, std::string_view s) {
  if (!is_ascii(s)) return append_upper_mapped(out, s);
  const std::size_t base = out.size();
  out.append(s);
  for (std::size_t i = base; i < out.size(); ++i) {
    if (out[i] >= 'a' && out[i] <= 'z') out[i] = static_cast<char>(out[i] - 32);
  }
}

std::string to_lower_full(std::string_view s) {
  std::string out;
  append_lower_full(out, s);
  return out;
}

std::string to_upper_full(std::string_view s) {
  std::string out;
  append_upper_full(out, s);
  return out;
}

std::string_view trim_white_space_start(std::string_view s) {
  std::size_t begin = 0;
  while (begin < s.size()) {
    const Utf8Step step = decode_utf8_at(s, begin);
    if (!step.valid || !is_white_space(step.value)) break;
    begin += step.length;
  }
  return s.substr(begin);
}

std::string_view trim_white_space_end(std::string_view s) {
  std::size_t end = s.size();
  while (end > 0) {
    std::size_t start = end - 1;
    while (start > 0 && end - start < 4 && is_continuation(static_cast<unsigned char>(s[start]))) --start;
    const Utf8Step step = decode_utf8_at(s, start);
    if (!step.valid || start + step.length != end || !is_white_space(step.value)) break;
    end = start;
  }
  return s.substr(0, end);
}

std::string_view trim_white_space(std::string_view s) { return trim_white_space_end(trim_white_space_start(s)); }

}  // namespace quenlordb::util
