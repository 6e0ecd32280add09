#include "sql/parser/splitter.h"

#include <cstdint>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "sql/parser/text.h"
#include "util/unicode.h"

namespace quenlordb::sql::parser {

namespace {

// Bit i set when byte base + i of text (i < 64, within the text) is a semicolon, a single quote or
// a backslash.
std::uint64_t special_bytes(std::string_view text, std::size_t base) {
  const std::size_t count = text.size() - base < 64 ? text.size() - base : 64;
  const char* p = text.data() + base;
  char tail[64];
  if (count < 64) {
    // The last bytes, padded with zeros, which match nothing.
    std::memset(tail, 0, sizeof tail);
    std::memcpy(tail, p, count);
    p = tail;
  }
#if defined(__SSE2__)
  const __m128i semicolon = _mm_set1_epi8(';');
  const __m128i quote = _mm_set1_epi8('\'');
  const __m128i backslash = _mm_set1_epi8('\\');
  std::uint64_t bits = 0;
  for (int k = 0; k < 4; ++k) {
    const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 16 * k));
    const __m128i hit =
        _mm_or_si128(_mm_or_si128(_mm_cmpeq_epi8(v, semicolon), _mm_cmpeq_epi8(v, quote)), _mm_cmpeq_epi8(v, backslash));
    bits |= static_cast<std::uint64_t>(static_cast<unsigned>(_mm_movemask_epi8(hit))) << (16 * k);
  }
  return bits;
#else
  std::uint64_t bits = 0;
  for (std::size_t i = 0; i < 64; ++i) {
    if (p[i] == ';' || p[i] == '\'' || p[i] == '\\') bits |= std::uint64_t{1} << i;
  }
  return bits;
#endif
}

}  // namespace

Result<std::vector<std::string_view>> split_sql_statements(std::string_view script) {
  // Only ASCII characters steer the scan, and in valid UTF-8 no byte of a longer sequence is
  // ASCII, so after validation a byte-wise scan sees exactly the characters.
  TRY(check_utf8(script));

  std::vector<std::string_view> pieces;
  const auto take = [&](std::size_t begin, std::size_t end) {
    const std::string_view piece = util::trim_white_space(script.substr(begin, end - begin));
    if (!piece.empty()) pieces.emplace_back(piece);
  };

  // Only semicolons, quotes and backslashes steer the scan. They are found 64 bytes at a time as
  // the bits of one word, then taken in order: outside a literal a semicolon ends a statement and a
  // quote opens a literal; inside one a quote closes it and a backslash escapes the next byte
  // (past the end: the literal is open).
  const std::size_t n = script.size();
  bool in_string = false;
  std::size_t start = 0;
  std::size_t escaped_until = 0;  // bytes before this index are escaped by a backslash
  for (std::size_t base = 0; base < n; base += 64) {
    for (std::uint64_t bits = special_bytes(script, base); bits != 0; bits &= bits - 1) {
      const std::size_t at = base + static_cast<std::size_t>(__builtin_ctzll(bits));
      if (at < escaped_until) continue;
      const char c = script[at];
      if (in_string) {
        if (c == '\\') escaped_until = at + 2;
        else if (c == '\'') in_string = false;
      } else if (c == ';') {
        take(start, at);
        start = at + 1;
      } else if (c == '\'') {
        in_string = true;
      }
    }
  }
  if (in_string) return fail(QuenlorError::sql_parse("unterminated string literal"));
  take(start, script.size());
  if (pieces.empty()) return fail(QuenlorError::sql_parse("no SQL statements found"));
  return pieces;
}

}  // namespace quenlordb::sql::parser
