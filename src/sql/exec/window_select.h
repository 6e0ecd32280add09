// The window path of a SELECT: ROW_NUMBER, RANK, DENSE_RANK, LAG and LEAD over partitions of the
// rows that survived WHERE, then ORDER BY, LIMIT and projection. The pipeline calls it when an
// item of the SELECT list holds a window function (and no aggregate).
#pragma once

#include <vector>

#include "error.h"
#include "sql/eval/eval_context.h"
#include "sql/exec/row_tables.h"
#include "sql/exec/sql_result.h"
#include "sql/parser/ast.h"

namespace quenlordb::sql::exec {

// Reads items, order_by and limit of select; tables are what the rows' qualified names read.
Result<SqlResult> execute_window_select(std::vector<eval::VisibleRow> rows, const parser::Statement::Select& select,
                                        const RowTables& tables = {});

}  // namespace quenlordb::sql::exec
