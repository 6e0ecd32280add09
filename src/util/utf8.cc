#include "util/utf8.h"

#include <cstdint>
#include <cstring>

namespace quenlordb::util {

namespace {

bool is_continuation(unsigned char b) { return (b & 0xC0) == 0x80; }

// Index of the first byte at or after pos that is not ASCII, or s.size(); eight bytes at a time.
std::size_t skip_ascii(std::string_view s, std::size_t pos) {
  constexpr std::uint64_t kHigh = 0x8080808080808080ULL;
  for (; pos + 8 <= s.size(); pos += 8) {
    std::uint64_t word;
    std::memcpy(&word, s.data() + pos, sizeof word);
    if ((word & kHigh) != 0) break;
  }
  while (pos < s.size() && static_cast<unsigned char>(s[pos]) < 0x80) ++pos;
  return pos;
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
    if (b0 == 0xE0) lo = 0xA0;  // over-long
    if (b0 == 0xED) hi = 0x9F;  // surrogates
  } else if (b0 >= 0xF0 && b0 <= 0xF4) {
    need = 3;
    value = b0 & 0x07;
    if (b0 == 0xF0) lo = 0x90;  // over-long
    if (b0 == 0xF4) hi = 0x8F;  // above U+10FFFF
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

Result<void> validate_utf8(std::string_view text) {
  std::size_t i = skip_ascii(text, 0);
  while (i < text.size()) {
    const Utf8Step step = decode_utf8_at(text, i);
    if (!step.valid) {
      if (step.incomplete) return fail(QuenlorError::utf8_incomplete(i));
      return fail(QuenlorError::utf8_invalid(step.length, i));
    }
    i = skip_ascii(text, i + step.length);
  }
  return {};
}

std::string decode_utf8_lossy(std::string_view bytes) {
  std::size_t i = skip_ascii(bytes, 0);
  std::string out;
  std::size_t copied = 0;  // bytes before this index are in out already, when out is used
  bool replaced = false;
  while (i < bytes.size()) {
    const Utf8Step step = decode_utf8_at(bytes, i);
    if (!step.valid) {
      if (!replaced) out.reserve(bytes.size() + 2);
      replaced = true;
      out.append(bytes, copied, i - copied);
      out.append("\xEF\xBF\xBD");
      copied = i + step.length;
    }
    i = skip_ascii(bytes, i + step.length);
  }
  if (!replaced) return std::string(bytes);
  out.append(bytes, copied);
  return out;
}

void append_utf8(std::string& out, char32_t c) {
  if (c < 0x80) {
    out += static_cast<char>(c);
  } else if (c < 0x800) {
    out += static_cast<char>(0xC0 | (c >> 6));
    out += static_cast<char>(0x80 | (c & 0x3F));
  } else if (c < 0x10000) {
    out += static_cast<char>(0xE0 | (c >> 12));
    out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (c & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (c >> 18));
    out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (c & 0x3F));
  }
}

std::size_t count_code_points(std::string_view s) {
  std::size_t count = 0;
  std::size_t i = 0;
  while (i < s.size()) {
    i += static_cast<unsigned char>(s[i]) < 0x80 ? 1 : decode_utf8_at(s, i).length;
    ++count;
  }
  return count;
}

}  // namespace quenlordb::util
