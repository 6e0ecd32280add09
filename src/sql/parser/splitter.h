// Cuts an SQL script into statement texts at the semicolons that stand outside single-quoted
// literals. Stateless; safe from any thread.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "error.h"

namespace quenlordb::sql::parser {

// The statements of script in order, each trimmed of white space, none empty. Only single quotes
// protect a semicolon: inside a literal a backslash escapes the next character, and a doubled
// quote leaves and re-enters the literal. Double quotes and "--" mean nothing here.
// Fails (SqlParse) with "unterminated string literal" when the script ends inside a literal, with
// "no SQL statements found" when every piece is empty, and on text that is not valid UTF-8.
// The pieces view script, which must outlive them; each is valid UTF-8.
Result<std::vector<std::string_view>> split_sql_statements(std::string_view script);

}  // namespace quenlordb::sql::parser
