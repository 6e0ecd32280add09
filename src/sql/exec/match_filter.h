// Full-text selection of a table query's rows. Every MATCH(column, 'query') term of the top-level
// AND chain of the WHERE narrows the rows to those the posting lists name for the query; the rows
// read are then checked against their current documents (the lists only grow, so they can name a
// row that no longer holds a term). A MATCH anywhere else has no answer and fails.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "engine/database.h"
#include "error.h"
#include "sql/eval/eval_context.h"
#include "sql/exec/session.h"
#include "sql/parser/ast.h"

namespace quenlordb::sql::exec {

// None when the filter's AND chain holds no MATCH; otherwise the primary keys listed for every
// chain MATCH, in the order of the first one's list. Fails on a malformed MATCH, on a MATCH outside
// the chain, and on a posting list that cannot be read.
Result<std::optional<std::vector<std::string>>> extract_match_filter(const parser::Expr& filter,
                                                                     std::string_view table, Database& db);

// The filter with each MATCH of its AND chain replaced by TRUE, for evaluation on the matched rows.
parser::Expr without_chain_matches(const parser::Expr& filter);

// Fails when expr holds a MATCH call anywhere: for the filters of queries MATCH cannot select for.
Result<void> refuse_match(const parser::Expr& expr);

// The rows whose documents, read the way the table's committed full-text indexes read them, still
// hold every term of every chain MATCH of the filter; rows are kept in order. Without a committed
// index definition nothing is dropped.
Result<std::vector<eval::VisibleRow>> keep_rows_holding_match_terms(Database& db, std::string_view table,
                                                                    const parser::Expr& filter,
                                                                    std::vector<eval::VisibleRow> rows);

}  // namespace quenlordb::sql::exec
