#include "sql/parser/text.h"

#include <unicode/ucasemap.h>
#include <unicode/utypes.h>

#include "util/utf8.h"

namespace quenlordb::sql::parser {

namespace {

bool is_continuation(unsigned char b) { return (b & 0xC0) == 0x80; }

const UCaseMap* root_case_map() {
  static const UCaseMap* const map = [] {
    UErrorCode status = U_ZERO_ERROR;
    UCaseMap* m = ucasemap_open("", 0, &status);
    return U_SUCCESS(status) ? m : nullptr;
  }();
  return map;
}

}  // namespace

Utf8Step decode_utf8_at(std::string_view s, std::size_t pos) {
  const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(s[i]); };
  const unsigned char b0 = byte(pos);
  if (b0 < 0x80) return {b0, 1, true, false};

  std::size_t need;
  char32_t value;
  unsigned char lo = 0x80, hi = 0xBF;  // allowed range of the second byte
  if (b0 >= 0xC2 && b0 <= 0xDF) {
    need = 1;
    value = b0 & 0x1F;
  } else if (b0 >= 0xE0 && b0 <= 0xEF) {
    need = 2;
    value = b0 & 0x0F;
    if (b0 == 0xE0) lo = 0xA0;   // over-long
    if (b0 == 0xED) hi = 0x9F;   // surrogates
  } else if (b0 >= 0xF0 && b0 <= 0xF4) {
    need = 3;
    value = b0 & 0x07;
    if (b0 == 0xF0) lo = 0x90;   // over-long
    if (b0 == 0xF4) hi = 0x8F;   // above U+10FFFF
  } else {
    return {0xFFFD, 1, false, false};
  }
  for (std::size_t k = 1; k <= need; ++k) {
    if (pos + k >= s.size()) return {0xFFFD, static_cast<std::uint8_t>(k), false, true};
    const unsigned char b = byte(pos + k);
    const bool ok = k == 1 ? (b >= lo && b <= hi) : is_continuation(b);
    if (!ok) return {0xFFFD, static_cast<std::uint8_t>(k), false, false};
    value = (value << 6) | (b & 0x3F);
  }
  return {value, static_cast<std::uint8_t>(need + 1), true, false};
}

Result<void> check_utf8(std::string_view s) {
  if (auto valid = util::validate_utf8(s); !valid) return fail(QuenlorError::sql_parse(valid.error().message()));
  return {};
}

bool is_sql_white_space(char32_t c) {
  if (c <= 0x20) return c == 0x20 || (c >= 0x09 && c <= 0x0D);
  if (c < 0x85) return false;
  return c == 0x85 || c == 0xA0 || c == 0x1680 || (c >= 0x2000 && c <= 0x200A) || c == 0x2028 || c == 0x2029 ||
         c == 0x202F || c == 0x205F || c == 0x3000;
}

std::string_view trim_sql_white_space(std::string_view s) {
  std::size_t begin = 0;
  while (begin < s.size()) {
    const Utf8Step step = decode_utf8_at(s, begin);
    if (!is_sql_white_space(step.value)) break;
    begin += step.length;
  }
  std::size_t end = s.size();
  while (end > begin) {
    std::size_t start = end - 1;
    while (start > begin && is_continuation(static_cast<unsigned char>(s[start]))) --start;
    if (!is_sql_white_space(decode_utf8_at(s, start).value)) break;
    end = start;
  }
  return s.substr(begin, end - begin);
}

bool eq_ignore_ascii_case(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    unsigned char x = static_cast<unsigned char>(a[i]);
    unsigned char y = static_cast<unsigned char>(b[i]);
    if (x >= 'a' && x <= 'z') x = static_cast<unsigned char>(x - 32);
    if (y >= 'a' && y <= 'z') y = static_cast<unsigned char>(y - 32);
    if (x != y) return false;
  }
  return true;
}

std::string to_upper_full(std::string_view s) {
  std::string out(s);
  bool ascii = true;
  for (char& c : out) {
    if (static_cast<unsigned char>(c) >= 0x80) ascii = false;
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 32);
  }
  const UCaseMap* map = root_case_map();
  if (ascii || map == nullptr || !check_utf8(s)) return out;

  // Full case mapping can lengthen the text (ß gives SS); retry once with the size ICU asks for.
  std::string mapped(s.size() + 16, '\0');
  for (int attempt = 0; attempt < 2; ++attempt) {
    UErrorCode status = U_ZERO_ERROR;
    const int32_t n = ucasemap_utf8ToUpper(map, mapped.data(), static_cast<int32_t>(mapped.size()), s.data(),
                                           static_cast<int32_t>(s.size()), &status);
    if (U_SUCCESS(status) && n >= 0 && static_cast<std::size_t>(n) <= mapped.size()) {
      mapped.resize(static_cast<std::size_t>(n));
      return mapped;
    }
    if (status != U_BUFFER_OVERFLOW_ERROR || n < 0) break;
    mapped.assign(static_cast<std::size_t>(n), '\0');
  }
  return out;
}

}  // namespace quenlordb::sql::parser
