// The statements that write rows: INSERT of a primary key and a document, typed INSERT (a column
// list with values), INSERT ... RETURNING, UPDATE and DELETE. A row is the value under
// "table/{table}/{pk}"; it is never changed in place: INSERT and UPDATE write a new version, DELETE
// a tombstone, each row through write_put (so inside a transaction it is staged and reported
// without a commit timestamp). An INSERT of an existing primary key writes a newer version; nothing
// checks uniqueness, and the values of a typed INSERT are checked against neither the declared
// columns nor their types.
//
// The statement's table name qualifies the names of its rows, as a FROM name does in a query: in
// UPDATE's WHERE and values, DELETE's WHERE and the RETURNING items, `t.pk` (t the table, in any
// ASCII letter case) is the row's primary key and `t.a.b` reads the document as `doc.a.b` does; a
// qualifier naming anything else reads NULL.
//
// Each row write is its own put: a statement that fails part-way keeps the rows it wrote before
// (outside a transaction). The Affected result counts the rows written and carries the timestamp
// of the last write that returned one.
#pragma once

#include "error.h"
#include "sql/exec/session.h"
#include "sql/exec/sql_result.h"
#include "sql/parser/ast.h"
#include "sql/parser/parser.h"

namespace quenlordb::sql::exec {

// Whether a number cannot be a primary key: its magnitude is 2^53 or more (read as a double, where
// neighbouring integers from there on share one, and so would share a key).
bool inexact_key_number(double value);
// The refusal of such a key, naming the number as written: "primary key number {} cannot be stored
// exactly; write it as a text".
QuenlorError inexact_key_error(std::string_view written);

// INSERT INTO t (pk, doc) VALUES ('k', 'json'): the table must exist (any kind of table), the
// primary key pass validate_pk and the document be JSON; the document is stored as written.
// {1, ts, "inserted 1 row"}.
Result<SqlResult> execute_insert(Database& db, SqlSession& session, parser::Statement::Insert&& stmt);
// The same INSERT as read straight from its text.
Result<SqlResult> execute_row_insert(Database& db, SqlSession& session, const parser::RowInsert& row);

// INSERT INTO t (c1, c2, ...) VALUES (v1, v2, ...): each value is evaluated as a constant
// expression and stored under its column's name, as written, in a new JSON object (members in byte
// order, the later of two equal names winning). The column equal to the schema's pk, ignoring ASCII
// case, gives the primary key: a text as it is, a number as its positional text (one of magnitude
// 2^53 or more, where neighbouring integers share a double, fails with inexact_key_error naming
// the number as written), anything else "primary key must be text or
// number"; without one, "INSERT must include primary key column
// '{pk}'". {1, ts, "inserted 1 row"}.
Result<SqlResult> execute_insert_typed(Database& db, SqlSession& session, const parser::Statement::InsertTyped& stmt);

// INSERT INTO t (c1, ...) VALUES (v1, ...) RETURNING item, ...: the row written as by the typed
// INSERT, facets included, then one output row built from it: `*` copies the members of the
// written document, an expression item is evaluated against the row (pk and document) and named by
// its alias or its display name, a later member replacing an earlier one of the same name. The
// output is one compact JSON object, keys in byte order; no commit timestamp is reported. A
// RETURNING expression that fails ends the statement after the row and its upkeep were written.
Result<SqlResult> execute_insert_returning(Database& db, SqlSession& session,
                                           const parser::Statement::InsertReturning& stmt);

// UPDATE t SET ... [WHERE ...] [AS OF ...] [VALID AT ...]: the live rows of the table as the
// temporal clauses choose them (staged writes included when there is no AS OF), those the filter
// keeps, in primary-key order, each written anew (valid for all time). With assignments (set_doc is
// then unused), the document read as JSON (an empty object when it does not read) gets each
// assigned member set to its value, every value computed from the row as it was before the
// statement; a document that is not an object is written back unchanged, compactly. Otherwise the
// set_doc expression must give a text ("UPDATE SET doc must evaluate to a string") that is JSON,
// stored as it is. {n, ts, "updated n row(s)"}.
Result<SqlResult> execute_update(Database& db, SqlSession& session, const parser::Statement::Update& stmt);

// DELETE FROM t [WHERE ...] [AS OF ...] [VALID AT ...]: a tombstone for each row chosen as by
// UPDATE. {n, ts, "deleted n row(s)"}.
//
// When WHERE is pk = 'k', alone or joined by AND to conditions that cannot fail on the rows before
// it (no function call or CAST evaluated ahead of it), UPDATE and DELETE read that one row through
// the session instead of scanning the table: the rows, results, errors and versions written are
// those of the scan, except that the other rows' keys are not read (one that is not UTF-8 fails
// only the scan).
Result<SqlResult> execute_delete(Database& db, SqlSession& session, const parser::Statement::Delete& stmt);

}  // namespace quenlordb::sql::exec
