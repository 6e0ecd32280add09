#include "util/utf8.h"

#include <cstdint>

namespace quenlordb::util {

Result<void> validate_utf8(std::string_view text) {
  const auto* p = reinterpret_cast<const unsigned char*>(text.data());
  const std::size_t n = text.size();
  std::size_t i = 0;
  while (i < n) {
    const unsigned char b = p[i];
    if (b < 0x80) {
      ++i;
      continue;
    }
    std::size_t width;
    unsigned char lo = 0x80, hi = 0xBF;  // allowed range of the second byte
    if (b >= 0xC2 && b <= 0xDF) {
      width = 2;
    } else if (b >= 0xE0 && b <= 0xEF) {
      width = 3;
      if (b == 0xE0) lo = 0xA0;
      if (b == 0xED) hi = 0x9F;
    } else if (b >= 0xF0 && b <= 0xF4) {
      width = 4;
      if (b == 0xF0) lo = 0x90;
      if (b == 0xF4) hi = 0x8F;
    } else {
      return fail(QuenlorError::utf8_invalid(1, i));
    }
    // Count the bytes that continue the sequence correctly.
    std::size_t good = 1;
    while (good < width && i + good < n) {
      const unsigned char c = p[i + good];
      const bool ok = good == 1 ? (c >= lo && c <= hi) : (c >= 0x80 && c <= 0xBF);
      if (!ok) break;
      ++good;
    }
    if (good == width) {
      i += width;
      continue;
    }
    if (i + good == n) return fail(QuenlorError::utf8_incomplete(i));
    return fail(QuenlorError::utf8_invalid(good, i));
  }
  return {};
}

}  // namespace quenlordb::util
