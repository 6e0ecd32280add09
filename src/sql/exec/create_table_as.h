// CREATE TABLE t AS query: runs the query in the statement's session and stores each result row,
// unchanged, as a row of a new document table.
//
// The schema's columns come from the first row: an object gives one column per member in ascending
// byte order of the names, typed BOOLEAN, REAL (a number) or TEXT (anything else), the first one
// suffixed " (pk)" when no member is named pk or id (ASCII case ignored); an empty object gives
// none; no row, or a first row that is not an object, gives pk TEXT and doc JSON. The primary-key
// column is the first named pk or id, else the first column, else "pk".
//
// A row's key is its member named exactly as the primary-key column: a text as itself, a number
// written as an integer as its own digits (1234567890123456789 stays apart from its neighbours),
// any other number as its positional text (7.0 gives "7", 2.5 gives "2.5", as a typed INSERT keys
// it); any other row, or member, gives "row_{position}". Every key, and every row's nesting, is
// checked before the first write: a row whose key is empty or holds NUL, or that nests deeper than
// a document may (as INSERT refuses it), fails the statement with nothing written, and so do two
// rows under one key ("CREATE TABLE AS result has two rows with primary key {k} (column {c});
// select a unique column as pk"), which would store fewer rows than the count. The rows join the
// posting lists of full-text indexes already defined for the table's name.
#pragma once

#include "error.h"
#include "sql/exec/session.h"
#include "sql/exec/sql_result.h"
#include "sql/parser/ast.h"

namespace quenlordb::sql::exec {

// "table {t} already exists" is checked before the query runs; a query whose result is not rows
// fails with "CREATE TABLE AS requires a SELECT statement". Answers {rows written, no timestamp,
// "created table {t} with {n} row(s)"}.
Result<SqlResult> execute_create_table_as(Database& db, SqlSession& session, parser::Statement::CreateTableAs stmt);

}  // namespace quenlordb::sql::exec
