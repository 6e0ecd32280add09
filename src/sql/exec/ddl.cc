#include "sql/exec/ddl.h"

#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "facet/relational/keys.h"
#include "facet/relational/records.h"
#include "facet/relational/validate.h"
#include "sql/eval/datetime.h"
#include "sql/exec/facet_upkeep.h"
#include "sql/exec/literals.h"
#include "sql/exec/select_source.h"
#include "sql/parser/text.h"
#include "util/json_text.h"

namespace quenlordb::sql::exec {

namespace rel = facet::relational;
using parser::ColumnDef;
using parser::eq_ignore_ascii_case;
using parser::Statement;
using parser::SqlType;

namespace {

using Ts = std::optional<std::uint64_t>;

SqlResult done(Ts ts, std::string message) { return SqlResult{SqlResult::Affected{1, ts, std::move(message)}}; }

Result<bool> key_exists(Database& db, SqlSession& session, std::string_view key) {
  return live_key_exists(db, session, key);
}

std::string_view type_text(SqlType type) {
  switch (type) {
    case SqlType::Integer: return "INTEGER";
    case SqlType::Real: return "REAL";
    case SqlType::Text: return "TEXT";
    case SqlType::Boolean: return "BOOLEAN";
    case SqlType::Blob: return "BLOB";
    case SqlType::Json: return "JSON";
  }
  return "TEXT";
}

std::vector<rel::TableColumnMetadata> declared_columns(const std::vector<ColumnDef>& columns) {
  std::vector<rel::TableColumnMetadata> out;
  out.reserve(columns.size());
  for (const ColumnDef& c : columns) out.push_back({c.name, std::string(type_text(c.type_name))});
  return out;
}

const ColumnDef* first_primary_key(const std::vector<ColumnDef>& columns) {
  for (const ColumnDef& c : columns) {
    if (c.primary_key) return &c;
  }
  return nullptr;
}

Result<void> check_table_absent(Database& db, SqlSession& session, const std::string& table) {
  if (TRY(key_exists(db, session, rel::schema_key(table)))) {
    return fail(QuenlorError::sql_execution("table " + table + " already exists"));
  }
  return {};
}

bool is_schema_column(const rel::TableSchemaMetadata& schema, std::string_view name) {
  for (const rel::TableColumnMetadata& c : schema.columns) {
    if (eq_ignore_ascii_case(c.name, name)) return true;
  }
  return false;
}

std::string missing_column(std::string_view column, std::string_view table) {
  return "column " + std::string(column) + " does not exist on table " + std::string(table);
}

std::string joined(const std::vector<std::string>& items) {
  std::string out;
  for (const std::string& item : items) {
    if (!out.empty()) out += ", ";
    out += item;
  }
  return out;
}

bool is_numeric(SqlType type) { return type == SqlType::Integer || type == SqlType::Real; }

// Tombstones every live key under prefix in ascending order; returns how many and the last
// write's timestamp.
Result<std::pair<std::uint64_t, Ts>> tombstone_prefix(Database& db, SqlSession& session, std::string_view prefix,
                                                     Ts last) {
  std::vector<LiveEntry> entries = TRY(collect_visible_by_prefix(db, session, prefix));
  for (LiveEntry& e : entries) last = TRY(write_put(db, session, std::move(e.key), ""));
  return std::pair{static_cast<std::uint64_t>(entries.size()), last};
}

}  // namespace

Result<SqlResult> execute_create_table(Database& db, SqlSession& session, const Statement::CreateTable& stmt) {
  TRY(rel::validate_identifier_kind("table", stmt.table));
  TRY(check_table_absent(db, session, stmt.table));
  rel::TableSchemaMetadata schema;
  if (stmt.columns.size() == 1 && eq_ignore_ascii_case(stmt.columns[0].name, "pk") &&
      stmt.columns[0].type_name == SqlType::Text && stmt.columns[0].primary_key) {
    schema = {"pk", "json", {{"pk", "TEXT"}, {"doc", "JSON"}}, "legacy"};
  } else {
    const ColumnDef* pk = first_primary_key(stmt.columns);
    if (!pk) return fail(QuenlorError::sql_execution("CREATE TABLE requires at least one PRIMARY KEY column"));
    schema = {pk->name, "typed", declared_columns(stmt.columns), "typed"};
  }
  std::string bytes = TRY(rel::encode_schema_metadata(schema));
  Ts ts = TRY(write_put(db, session, rel::schema_key(stmt.table), std::move(bytes)));
  return done(ts, "created table " + stmt.table);
}

Result<SqlResult> execute_create_view(Database& db, SqlSession& session, const Statement::CreateView& stmt) {
  TRY(rel::validate_identifier_kind("view", stmt.view));
  TRY(rel::validate_identifier_kind("table", stmt.source));
  if (!TRY(key_exists(db, session, rel::schema_key(stmt.source)))) {
    return fail(QuenlorError::sql_execution("source table " + stmt.source + " does not exist"));
  }
  const std::string key = rel::view_key(stmt.view);
  if (TRY(key_exists(db, session, key))) {
    return fail(QuenlorError::sql_execution("view " + stmt.view + " already exists"));
  }
  std::string query = "SELECT doc FROM " + stmt.source + " WHERE pk='" + escape_sql_literal(stmt.pk) + "'";
  if (stmt.as_of) query += " AS OF " + std::to_string(*stmt.as_of);
  if (stmt.valid_at) query += " VALID AT " + std::to_string(*stmt.valid_at);
  std::string bytes = TRY(rel::encode_view_metadata({stmt.view, std::move(query), {stmt.source}}));
  Ts ts = TRY(write_put(db, session, key, std::move(bytes)));
  return done(ts, "created view " + stmt.view);
}

Result<SqlResult> execute_create_index(Database& db, SqlSession& session, const Statement::CreateIndex& stmt) {
  TRY(rel::validate_identifier_kind("index", stmt.index));
  TRY(rel::validate_identifier_kind("table", stmt.table));
  TRY(rel::validate_identifier_kind("identifier", stmt.column));
  rel::TableSchemaMetadata schema = TRY(load_table_schema(db, session, stmt.table));
  if (!eq_ignore_ascii_case(stmt.column, schema.pk) && !eq_ignore_ascii_case(stmt.column, "doc") &&
      !is_schema_column(schema, stmt.column)) {
    return fail(QuenlorError::sql_execution(missing_column(stmt.column, stmt.table)));
  }
  const std::string key = rel::index_meta_key(stmt.table, stmt.index);
  if (TRY(key_exists(db, session, key))) {
    return fail(QuenlorError::sql_execution("index " + stmt.index + " already exists"));
  }
  std::string bytes = TRY(rel::encode_index_metadata({stmt.index, stmt.table, {stmt.column}, false}));
  Ts ts = TRY(write_put(db, session, key, std::move(bytes)));
  return done(ts, "created index " + stmt.index + " (metadata-only)");
}

Result<SqlResult> execute_drop_index(Database& db, SqlSession& session, const Statement::DropIndex& stmt) {
  TRY(rel::validate_identifier_kind("index", stmt.index));
  TRY(rel::validate_identifier_kind("table", stmt.table));
  const std::string key = rel::index_meta_key(stmt.table, stmt.index);
  if (!TRY(key_exists(db, session, key))) {
    return fail(QuenlorError::sql_execution("index " + stmt.index + " does not exist"));
  }
  Ts ts = TRY(write_put(db, session, key, ""));
  return done(ts, "dropped index " + stmt.index + " on " + stmt.table);
}

Result<SqlResult> execute_create_fulltext_index(Database& db, SqlSession& session,
                                                const Statement::CreateFulltextIndex& stmt) {
  TRY(rel::validate_identifier_kind("index", stmt.index));
  TRY(rel::validate_identifier_kind("table", stmt.table));
  rel::TableSchemaMetadata schema = TRY(load_table_schema(db, session, stmt.table));
  for (const std::string& column : stmt.columns) {
    if (!eq_ignore_ascii_case(column, "doc") && !is_schema_column(schema, column)) {
      return fail(QuenlorError::sql_execution(missing_column(column, stmt.table)));
    }
  }
  const std::string key = rel::fts_index_meta_key(stmt.table, stmt.index);
  if (TRY(key_exists(db, session, key))) {
    return fail(QuenlorError::sql_execution("fulltext index " + stmt.index + " already exists on " + stmt.table));
  }
  std::string bytes = TRY(rel::encode_fts_index_metadata({stmt.index, stmt.table, stmt.columns}));
  // The existing rows, in primary-key order, staged ones included, read as the scan hands them
  // over; the lists are staged once the scan has ended, and the definition is written after them
  // (write_put holds it back behind the staged lists), so that no crash leaves a definition whose
  // table's rows are missing from its lists.
  PostingAdditions additions({stmt.columns});
  std::size_t rows = 0;
  TRY(visit_table_rows(db, session, stmt.table, std::nullopt, std::nullopt, [&](eval::RowView row) {
    additions.add_row(row.pk, row.doc);
    ++rows;
    return Result<void>{};
  }));
  TRY(additions.write(db, session, stmt.table));
  Ts ts = TRY(write_put(db, session, key, std::move(bytes)));
  return done(ts, "created fulltext index " + stmt.index + " on " + stmt.table + "(" + joined(stmt.columns) +
                      ") \u2014 indexed " + std::to_string(rows) + " rows");
}

Result<SqlResult> execute_drop_fulltext_index(Database& db, SqlSession& session,
                                              const Statement::DropFulltextIndex& stmt) {
  TRY(rel::validate_identifier_kind("index", stmt.index));
  TRY(rel::validate_identifier_kind("table", stmt.table));
  const std::string key = rel::fts_index_meta_key(stmt.table, stmt.index);
  if (!TRY(key_exists(db, session, key))) {
    return fail(QuenlorError::sql_execution("fulltext index " + stmt.index + " does not exist on " + stmt.table));
  }
  TRY(write_put(db, session, key, ""));
  return done(std::nullopt, "dropped fulltext index " + stmt.index + " on " + stmt.table);
}

Result<SqlResult> execute_create_timeseries_table(Database& db, SqlSession& session,
                                                  const Statement::CreateTimeseriesTable& stmt) {
  TRY(rel::validate_identifier_kind("table", stmt.table));
  TRY(check_table_absent(db, session, stmt.table));
  const std::optional<std::uint64_t> bucket_seconds = eval::parse_interval_seconds(stmt.bucket_interval);
  if (!bucket_seconds || *bucket_seconds == 0) {
    return fail(QuenlorError::sql_execution("invalid bucket_size interval: '" + stmt.bucket_interval + "'"));
  }
  std::optional<std::string> ts_column;
  for (const ColumnDef& c : stmt.columns) {
    if (eq_ignore_ascii_case(c.name, "timestamp") || eq_ignore_ascii_case(c.name, "ts")) {
      ts_column = c.name;
      break;
    }
  }
  if (!ts_column) {
    for (const ColumnDef& c : stmt.columns) {
      if (is_numeric(c.type_name) && !c.primary_key) {
        ts_column = c.name;
        break;
      }
    }
  }
  if (!ts_column) ts_column = "ts";
  std::vector<std::string> value_columns;
  for (const ColumnDef& c : stmt.columns) {
    if (!c.primary_key && is_numeric(c.type_name) && !eq_ignore_ascii_case(c.name, *ts_column)) {
      value_columns.push_back(c.name);
    }
  }
  const ColumnDef* pk = first_primary_key(stmt.columns);
  if (!pk) return fail(QuenlorError::sql_execution("CREATE TIMESERIES TABLE requires at least one PRIMARY KEY column"));

  std::string schema = TRY(rel::encode_schema_metadata({pk->name, "typed", declared_columns(stmt.columns), "timeseries"}));
  Ts ts = TRY(write_put(db, session, rel::schema_key(stmt.table), std::move(schema)));
  std::string meta = TRY(rel::encode_timeseries_metadata(
      {stmt.table, stmt.bucket_interval, *bucket_seconds, *ts_column, value_columns}));
  TRY(write_put(db, session, rel::timeseries_meta_key(stmt.table), std::move(meta)));
  std::string message = "created timeseries table " + stmt.table + " (bucket_size=" + stmt.bucket_interval +
                        ", ts_column=" + *ts_column;
  if (!value_columns.empty()) message += ", value columns: " + joined(value_columns);
  return done(ts, message + ")");
}

Result<SqlResult> execute_alter_add_column(Database& db, SqlSession& session,
                                           const Statement::AlterTableAddColumn& stmt) {
  TRY(rel::validate_identifier_kind("table", stmt.table));
  TRY(rel::validate_identifier_kind("identifier", stmt.column));
  rel::TableSchemaMetadata schema = TRY(load_table_schema(db, session, stmt.table));
  if (is_schema_column(schema, stmt.column)) {
    return SqlResult{SqlResult::Affected{
        0, std::nullopt, "column " + stmt.column + " already exists on table " + stmt.table}};
  }
  schema.columns.push_back({stmt.column, stmt.column_type});
  std::string bytes = TRY(rel::encode_schema_metadata(schema));
  Ts ts = TRY(write_put(db, session, rel::schema_key(stmt.table), std::move(bytes)));
  return done(ts, "altered table " + stmt.table + ": added column " + stmt.column + " " + stmt.column_type +
                      " (metadata-only)");
}

Result<SqlResult> execute_drop_table(Database& db, SqlSession& session, const Statement::DropTable& stmt) {
  TRY(rel::validate_identifier_kind("table", stmt.table));
  const std::string key = rel::schema_key(stmt.table);
  if (!TRY(key_exists(db, session, key))) {
    return fail(QuenlorError::sql_execution("table " + stmt.table + " does not exist"));
  }
  auto [rows, ts] = TRY(tombstone_prefix(db, session, rel::row_prefix(stmt.table), std::nullopt));
  ts = TRY(write_put(db, session, key, ""));
  auto [indexes, last] = TRY(tombstone_prefix(db, session, rel::index_meta_prefix(stmt.table), ts));
  return SqlResult{SqlResult::Affected{1 + rows + indexes, last,
                                       "dropped table " + stmt.table + " (metadata + row tombstones)"}};
}

Result<SqlResult> execute_drop_view(Database& db, SqlSession& session, const Statement::DropView& stmt) {
  TRY(rel::validate_identifier_kind("view", stmt.view));
  const std::string key = rel::view_key(stmt.view);
  if (!TRY(key_exists(db, session, key))) {
    return fail(QuenlorError::sql_execution("view " + stmt.view + " does not exist"));
  }
  Ts ts = TRY(write_put(db, session, key, ""));
  return done(ts, "dropped view " + stmt.view);
}

Result<SqlResult> execute_show_tables(Database& db, SqlSession& session) {
  std::vector<LiveEntry> entries = TRY(collect_visible_by_prefix(db, session, rel::kSchemaPrefix));
  SqlResult::Rows out;
  out.text = true;
  out.rows.reserve(entries.size());
  for (const LiveEntry& e : entries) out.rows.push_back(e.key.substr(rel::kSchemaPrefix.size()));
  return SqlResult{std::move(out)};
}

Result<SqlResult> execute_describe(Database& db, SqlSession& session, const Statement::Describe& stmt) {
  TRY(rel::validate_identifier_kind("table", stmt.table));
  rel::TableSchemaMetadata schema = TRY(load_table_schema(db, session, stmt.table));
  std::vector<rel::TableColumnMetadata> columns = schema.columns;
  if (columns.empty()) columns = {{schema.pk, "TEXT"}, {"doc", "JSON"}};
  SqlResult::Rows out;
  for (const rel::TableColumnMetadata& c : columns) {
    std::string row = "{\"column\":";
    util::append_json_string(row, c.name);
    row += eq_ignore_ascii_case(c.name, schema.pk) ? ",\"primary_key\":true" : ",\"primary_key\":false";
    row += ",\"type\":";
    util::append_json_string(row, c.type);
    row += "}";
    out.rows.push_back(std::move(row));
  }
  return SqlResult{std::move(out)};
}

}  // namespace quenlordb::sql::exec
