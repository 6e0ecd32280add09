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

// Appends the mapping of s (at most kMappingPiece bytes) to out. Grows the output once when the
// first guess is short: full case mapping can lengthen a text (ΐ upper-cases to three code points).
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

// Cuts a long text after an ASCII white space where it can (a space ends the context that the
// Final_Sigma rule looks at), else at a code point boundary.
void append_mapped(std::string& out, std::string_view s, IcuMapping mapping) {
  while (s.size() > kMappingPiece) {
    std::size_t cut = kMappingPiece;
    while (cut > kMappingPiece / 2 && s[cut - 1] != ' ' && s[cut - 1] != '\n') --cut;
    if (cut == kMappingPiece / 2) {
      cut = kMappingPiece;
      while (is_continuation(static_cast<unsigned char>(s[cut]))) --cut;
    }
    append_mapped_piece(out, s.substr(0, cut), mapping);
    s.remove_prefix(cut);
  }
  append_mapped_piece(out, s, mapping);
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
  if (!is_ascii(s)) return append_mapped(out, s, ucasemap_utf8ToLower);
  const std::size_t base = out.size();
  out.append(s);
  for (std::size_t i = base; i < out.size(); ++i) {
    if (out[i] >= 'A' && out[i] <= 'Z') out[i] = static_cast<char>(out[i] + 32);
  }
}

void append_upper_full(std::string& out, std::string_view s) {
  if (!is_ascii(s)) return append_mapped(out, s, ucasemap_utf8ToUpper);
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
