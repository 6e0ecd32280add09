#include "sql/parser/text.h"

#include <cstdint>
#include <cstring>

#include "util/utf8.h"

namespace quenlordb::sql::parser {

namespace {

// True when no byte of s is from 0x80 up: eight bytes at a time, checked every 64.
bool all_ascii(std::string_view s) {
  constexpr std::uint64_t kHigh = 0x8080808080808080ULL;
  const char* p = s.data();
  const std::size_t n = s.size();
  std::size_t i = 0;
  for (; i + 64 <= n; i += 64) {
    std::uint64_t words[8];
    std::memcpy(words, p + i, sizeof words);
    if (((words[0] | words[1] | words[2] | words[3] | words[4] | words[5] | words[6] | words[7]) & kHigh) != 0) {
      return false;
    }
  }
  for (; i < n; ++i) {
    if (static_cast<unsigned char>(p[i]) >= 0x80) return false;
  }
  return true;
}

}  // namespace

Result<void> check_utf8(std::string_view s) {
  // ASCII is UTF-8; only a text with other bytes is decoded.
  if (all_ascii(s)) return {};
  if (auto valid = util::validate_utf8(s); !valid) return fail(QuenlorError::sql_parse(valid.error().message()));
  return {};
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

}  // namespace quenlordb::sql::parser
