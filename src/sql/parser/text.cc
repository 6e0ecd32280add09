#include "sql/parser/text.h"

#include "util/utf8.h"

namespace quenlordb::sql::parser {

Result<void> check_utf8(std::string_view s) {
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
