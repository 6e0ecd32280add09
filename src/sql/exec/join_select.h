// The join path of a SELECT: the FROM table joined with the JOIN table, WHERE over the joined rows,
// and the count, grouped or plain finish. The pipeline hands over any SELECT over a table or view
// that has a JOIN, with the folded temporal pair.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "engine/database.h"
#include "error.h"
#include "sql/exec/session.h"
#include "sql/exec/sql_result.h"
#include "sql/parser/ast.h"

namespace quenlordb::sql::exec {

// True when ON is `=` between the two sides' primary keys, in either order: each operand `pk`,
// `pk.pk` or `<table>.pk` (the right side also by its alias), in any ASCII letter case.
bool is_pk_eq_join(const std::optional<parser::Expr>& on, std::string_view left_table, std::string_view right_table,
                   const std::optional<std::string>& right_alias);

Result<SqlResult> execute_join_select(Database& db, SqlSession& session, std::string_view left_table,
                                      const parser::Statement::Select& select, std::optional<std::uint64_t> as_of,
                                      std::optional<std::uint64_t> valid_at);

}  // namespace quenlordb::sql::exec
