#include "sql/parser/text.h"

#include "util/utf8.h"

namespace quenlordb::sql::parser {

Result<void> check_utf8(std::string_view s) {
  if (auto valid = util::validate_utf8(s); !valid) return fail(QuenlorError::sql_parse(valid.error().message()));
  return {};
}

}  // namespace quenlordb::sql::parser
