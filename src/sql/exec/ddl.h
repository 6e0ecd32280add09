// The statements that define, remove and describe tables, views and index definitions. The
// catalog is the set of records under "__meta/" (facet/relational/records.h); every statement reads
// it through the session and writes it with write_put, so inside a transaction its checks see the
// definitions staged earlier and its writes are staged like row writes. A removal writes a
// tombstone, so a dropped name can be created again.
//
// Unless said otherwise a statement answers Affected {1, the timestamp of its (last) write, which
// is none inside a transaction, a message}. A statement that writes several keys stops at the first
// failing write; outside a transaction the writes before it stay applied.
#pragma once

#include "error.h"
#include "sql/exec/session.h"
#include "sql/exec/sql_result.h"
#include "sql/parser/ast.h"

namespace quenlordb::sql::exec {

// A table of one column pk TEXT PRIMARY KEY (pk in any case) is a document table (pk "pk", doc
// "json", columns pk TEXT and doc JSON, mode "legacy"); any other column list makes a typed table
// whose primary key is the first column marked PRIMARY KEY. "created table {t}".
Result<SqlResult> execute_create_table(Database& db, SqlSession& session, const parser::Statement::CreateTable& stmt);

// Stores "SELECT doc FROM {source} WHERE pk='{escaped pk}'[ AS OF n][ VALID AT n]" as the view's
// query; the source must be a table. "created view {v}".
Result<SqlResult> execute_create_view(Database& db, SqlSession& session, const parser::Statement::CreateView& stmt);

// A definition only, scoped by table: nothing builds or consults an index from it.
Result<SqlResult> execute_create_index(Database& db, SqlSession& session, const parser::Statement::CreateIndex& stmt);
Result<SqlResult> execute_drop_index(Database& db, SqlSession& session, const parser::Statement::DropIndex& stmt);

// Writes the full-text definition and counts the table's live rows, which the message reports.
Result<SqlResult> execute_create_fulltext_index(Database& db, SqlSession& session,
                                                const parser::Statement::CreateFulltextIndex& stmt);
// Tombstones the definition; the table's posting lists stay. Reports no timestamp.
Result<SqlResult> execute_drop_fulltext_index(Database& db, SqlSession& session,
                                              const parser::Statement::DropFulltextIndex& stmt);

// Writes a typed schema in mode "timeseries", then the time-series record (bucket width, the
// timestamp column and the numeric value columns). The result carries the schema write's timestamp.
Result<SqlResult> execute_create_timeseries_table(Database& db, SqlSession& session,
                                                  const parser::Statement::CreateTimeseriesTable& stmt);

// Appends a column (type word kept as written) to the schema; no row is touched. A column already
// there (ASCII case ignored) is a success that writes nothing: {0, none, "column {c} already exists
// on table {t}"}.
Result<SqlResult> execute_alter_add_column(Database& db, SqlSession& session,
                                           const parser::Statement::AlterTableAddColumn& stmt);

// Tombstones every live row, then the schema record, then the table's index definitions; reports
// 1 + rows + index definitions. Full-text, time-series and statistics records stay, as do views.
Result<SqlResult> execute_drop_table(Database& db, SqlSession& session, const parser::Statement::DropTable& stmt);
Result<SqlResult> execute_drop_view(Database& db, SqlSession& session, const parser::Statement::DropView& stmt);

// One row per table, its name as it stands in the schema key, in byte order. Views are not listed.
Result<SqlResult> execute_show_tables(Database& db, SqlSession& session);

// One row per column: {"column":name,"primary_key":bool,"type":type}; a schema without columns
// describes its pk as TEXT and doc as JSON.
Result<SqlResult> execute_describe(Database& db, SqlSession& session, const parser::Statement::Describe& stmt);

}  // namespace quenlordb::sql::exec
