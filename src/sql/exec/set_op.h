// Set operations: UNION, UNION ALL, INTERSECT and EXCEPT over the rows of two queries. Rows are
// compared as bytes, so rows equal as values but written differently ({"a":1} and {"a":1.0}) are
// different rows. Both sides must be queries (SELECT or another set operation); that is checked
// through the whole tree before either side runs, so a statement that writes is never executed.
#pragma once

#include "error.h"
#include "sql/exec/session.h"
#include "sql/exec/sql_result.h"
#include "sql/parser/ast.h"

namespace quenlordb::sql::exec {

// Runs left, then right, through execute_stmt in the session, and combines their rows: UNION ALL
// concatenates; UNION, INTERSECT and EXCEPT keep each distinct row once at its first place.
Result<SqlResult> execute_set_op(Database& db, SqlSession& session, parser::SetOpType op, parser::Statement left,
                                 parser::Statement right);

}  // namespace quenlordb::sql::exec
