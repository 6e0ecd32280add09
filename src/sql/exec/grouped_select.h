// The grouped path of a SELECT: GROUP BY, aggregates, HAVING, and ORDER BY and LIMIT over the
// groups' output rows. The pipeline calls it with the rows that survived WHERE (the join path with
// joined rows) whenever the SELECT list holds an aggregate or the query has GROUP BY, except for
// the bare `count(*)` answer.
#pragma once

#include <vector>

#include "error.h"
#include "sql/eval/eval_context.h"
#include "sql/exec/sql_result.h"
#include "sql/parser/ast.h"

namespace quenlordb::sql::exec {

// Reads items, group_by, having, order_by and limit of select.
Result<SqlResult> execute_grouped_select(std::vector<eval::VisibleRow> rows, const parser::Statement::Select& select);

}  // namespace quenlordb::sql::exec
