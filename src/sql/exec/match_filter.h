// Full-text selection of a table query's rows: the MATCH calls of a WHERE clause turned into the
// list of primary keys whose rows the query reads.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "engine/database.h"
#include "sql/exec/session.h"
#include "error.h"
#include "sql/parser/ast.h"

namespace quenlordb::sql::exec {

// None when the filter selects no rows by MATCH; otherwise the primary keys to read, in order.
Result<std::optional<std::vector<std::string>>> extract_match_filter(const parser::Expr& filter,
                                                                     std::string_view table, Database& db);

}  // namespace quenlordb::sql::exec
