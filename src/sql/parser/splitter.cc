#include "sql/parser/splitter.h"

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

  bool in_string = false;
  bool escape_pending = false;
  std::size_t start = 0;
  for (std::size_t i = 0; i < script.size(); ++i) {
    const char c = script[i];
    if (in_string) {
      if (escape_pending) {
        escape_pending = false;
      } else if (c == '\'') {
        in_string = false;
      } else if (c == '\\') {
        escape_pending = true;
      }
    } else if (c == '\'') {
      in_string = true;
    } else if (c == ';') {
      take(start, i);
      start = i + 1;
    }
  }
  if (in_string) return fail(QuenlorError::sql_parse("unterminated string literal"));
  take(start, script.size());
  if (pieces.empty()) return fail(QuenlorError::sql_parse("no SQL statements found"));
  return pieces;
}

}  // namespace quenlordb::sql::parser
