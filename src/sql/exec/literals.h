// Values that statements take from SQL text as constants, and text that goes back into SQL.
#pragma once

#include <string>
#include <string_view>

namespace quenlordb::sql::exec {

// The text with every backslash doubled and then every single quote preceded by a backslash; put
// between single quotes, the lexer reads it back as the text given.
std::string escape_sql_literal(std::string_view text);

}  // namespace quenlordb::sql::exec
