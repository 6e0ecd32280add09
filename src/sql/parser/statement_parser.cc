#include "sql/parser/parser.h"

namespace quenlordb::sql::parser {

// Statement dispatch. No statement form is recognised yet, so every statement is refused.
Result<Statement> Parser::parse_statement() {
  return fail(QuenlorError::sql_parse("unsupported SQL statement"));
}

// No set operation is recognised yet: the statement is returned as it is.
Result<Statement> Parser::try_parse_set_op(Statement left) { return left; }

}  // namespace quenlordb::sql::parser
