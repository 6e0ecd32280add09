// The join path of a SELECT: the FROM table joined with the JOIN table, WHERE over the joined rows,
// and the count, grouped or plain finish. The pipeline hands over any SELECT over a table or view
// that has a JOIN, with the folded temporal pair.
//
// Pairs are made one at a time and evaluated against the two rows themselves (each row's document
// read at most once per statement); a joined document {"left_doc", "right_doc"} is built only for
// an expression that reads `doc` whole and for the grouped finish's `*`. An equality in ON between
// a value of each side (`o.user = u.pk`, `a.x = b.y`) pairs a FROM row only with the JOIN rows
// whose value equals its own under `=`, found through an index of the JOIN table's values: the
// cost grows with the sum of the two tables, not their product, and the pairs are the same. The
// JOIN table is read first: whole, or, for the one FROM row a pk literal reads, at the key its
// equality with the JOIN table's pk can meet. A nested-loop INNER or LEFT join then pairs its FROM
// table's rows as the scan hands them over. count(*) keeps no pair, a LIMIT without ORDER BY ends
// the pairing once it has its rows, and only kept pairs (and their rows) are held for ORDER BY and
// grouping. Without ORDER BY the rows come in ascending key order, rows of one key in the order
// the join makes them. A window function anywhere in the statement is refused before anything is
// read, and so is a qualifier that names neither table exactly but two of different names in ASCII
// letter case ("ambiguous table qualifier {}").
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
// `pk.pk` or `<table>.pk` (the right side also by its alias), in any ASCII letter case, and not
// both naming one table (a name equal to a table's exactly names that table first).
bool is_pk_eq_join(const std::optional<parser::Expr>& on, std::string_view left_table, std::string_view right_table,
                   const std::optional<std::string>& right_alias);

// Tests only: with true, a nested-loop join reads both tables whole and tries every pair, an
// equality in ON as any other condition: the reference that the index of the JOIN table's values
// and the FROM table paired as its scan hands it over are checked against (the rows and their
// order are the same). Off by default; one switch for the process.
void use_plain_nested_loop(bool on);

Result<SqlResult> execute_join_select(Database& db, SqlSession& session, std::string_view left_table,
                                      const parser::Statement::Select& select, std::optional<std::uint64_t> as_of,
                                      std::optional<std::uint64_t> valid_at);

}  // namespace quenlordb::sql::exec
