// Values that statements take from SQL text as constants, and text that goes back into SQL.
#pragma once

#include <string>
#include <string_view>

#include "error.h"
#include "sql/eval/sql_value.h"
#include "sql/parser/ast.h"

namespace quenlordb::sql::exec {

// The value of an expression that reads no row: a literal as it stands (no evaluation), anything
// else evaluated against an empty primary key and the document {} (so a column reads as a missing
// member, Null, and pk as the empty text). Evaluation failures pass unchanged.
Result<eval::SqlValue> eval_const_expr(const parser::Expr& expr);

// The text with every backslash doubled and then every single quote preceded by a backslash; put
// between single quotes, the lexer reads it back as the text given.
std::string escape_sql_literal(std::string_view text);

}  // namespace quenlordb::sql::exec
