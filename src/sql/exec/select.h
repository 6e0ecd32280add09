// The SELECT arm of the executor: one parsed SELECT turned into its output rows.
//
// Stages, in order: the statement's temporal clauses are folded into one (as_of, valid_at); every
// CTE and a FROM subquery or table function run into the statement's table of derived rows; the
// FROM name is dispatched (the insight virtual tables, a derived source, a JOIN, a table or view);
// a table's rows are fetched (the rows MATCH lists, one point read for a primary-key literal, else
// one scan in key order) and WHERE applied; then one finishing path: grouped (grouped_select.h),
// the bare count(*) answer, windows (window_select.h) or plain (ORDER BY, LIMIT, projection).
//
// The seams later paths fill, one function each: execute_grouped_select, execute_window_select,
// execute_join_select, extract_match_filter, execute_table_function, execute_ai_top_risks and
// execute_ai_cluster_summary (their headers beside this one).
//
// Cost: a primary-key literal is one key read; otherwise one scan of the table's live rows and one
// evaluation of WHERE per row. A row's document is parsed at most once by WHERE, ORDER BY and
// projection together (twice for rows that ORDER BY ... LIMIT keeps), and not at all when no
// expression reads a document member.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "engine/database.h"
#include "error.h"
#include "sql/eval/eval_context.h"
#include "sql/exec/select_source.h"
#include "sql/exec/session.h"
#include "sql/exec/sql_result.h"
#include "sql/parser/ast.h"
#include "sql/parser/parser.h"

namespace quenlordb::sql::exec {

Result<SqlResult> execute_select(Database& db, SqlSession& session, const parser::Statement::Select& select);

// The SELECT of one row by its primary key, straight from the statement's parts: the same rows,
// errors and reads as execute_select of select_of(text) and the upkeep written before it, without
// building the statement when the name is a table (a view or an unknown name takes that path).
Result<SqlResult> execute_pk_select(Database& db, SqlSession& session, const parser::PkSelect& text);

// The one row of pk when given (none when it is not visible), else every live row of the table.
Result<std::vector<eval::VisibleRow>> fetch_rows_for_table(Database& db, SqlSession& session, std::string_view table,
                                                           std::optional<std::string_view> pk,
                                                           std::optional<std::uint64_t> as_of,
                                                           std::optional<std::uint64_t> valid_at);

// True when the whole filter is `pk = 'literal'` (either order, pk in any letter case).
bool is_simple_pk_eq(const std::optional<parser::Expr>& filter);

}  // namespace quenlordb::sql::exec
