#include "sql/parser/splitter.h"

#include <cstring>

#include "sql/parser/text.h"
#include "util/unicode.h"

namespace quenlordb::sql::parser {

Result<std::vector<std::string_view>> split_sql_statements(std::string_view script) {
  // Only ASCII characters steer the scan, and in valid UTF-8 no byte of a longer sequence is
  // ASCII, so after validation a byte-wise scan sees exactly the characters.
  TRY(check_utf8(script));

  std::vector<std::string_view> pieces;
  const auto take = [&](std::size_t begin, std::size_t end) {
    const std::string_view piece = util::trim_white_space(script.substr(begin, end - begin));
    if (!piece.empty()) pieces.emplace_back(piece);
  };

  // The scan jumps from one byte that matters to the next: outside a literal a semicolon or a
  // quote, inside one a backslash or a quote. The next quote is looked for again only once passed,
  // so each byte is searched a bounded number of times.
  const std::size_t n = script.size();
  const auto find = [&](std::size_t from, std::size_t to, char c) -> std::size_t {
    if (from >= to) return to;
    const void* found = std::memchr(script.data() + from, c, to - from);
    return found ? static_cast<std::size_t>(static_cast<const char*>(found) - script.data()) : to;
  };
  bool in_string = false;
  std::size_t start = 0;
  std::size_t i = 0;
  std::size_t quote = find(0, n, '\'');
  while (i < n) {
    if (quote < i) quote = find(i, n, '\'');
    if (!in_string) {
      const std::size_t semicolon = find(i, quote, ';');
      if (semicolon < quote) {
        take(start, semicolon);
        start = semicolon + 1;
        i = semicolon + 1;
        continue;
      }
      if (quote == n) break;
      in_string = true;
      i = quote + 1;
      continue;
    }
    // Inside a literal a backslash escapes the next byte (past the end: the literal is open).
    const std::size_t backslash = find(i, quote, '\\');
    if (backslash < quote) {
      i = backslash + 2;
      continue;
    }
    if (quote == n) break;
    in_string = false;
    i = quote + 1;
  }
  if (in_string) return fail(QuenlorError::sql_parse("unterminated string literal"));
  take(start, script.size());
  if (pieces.empty()) return fail(QuenlorError::sql_parse("no SQL statements found"));
  return pieces;
}

}  // namespace quenlordb::sql::parser
