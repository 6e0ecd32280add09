#include "sql/exec/create_table_as.h"

#include <optional>
#include <string>
#include <string_view>
#include <unordered_set>
#include <utility>
#include <vector>

#include <nlohmann/json.hpp>

#include "facet/relational/keys.h"
#include "facet/relational/records.h"
#include "facet/relational/validate.h"
#include "sql/exec/copy.h"
#include "sql/exec/executor.h"
#include "sql/parser/text.h"
#include "util/json_document.h"
#include "util/json_members.h"

namespace quenlordb::sql::exec {

namespace rel = facet::relational;

namespace {

bool names_key(std::string_view name) {
  return parser::eq_ignore_ascii_case(name, "pk") || parser::eq_ignore_ascii_case(name, "id");
}

// The schema a first row (parsed, or none when there is no row or it is not JSON) gives.
rel::TableSchemaMetadata derived_schema(const std::optional<nlohmann::json>& first) {
  rel::TableSchemaMetadata schema;  // pk "pk", doc "json", mode "legacy"
  if (!first || !first->is_object()) {
    schema.columns = {{"pk", "TEXT"}, {"doc", "JSON"}};
    return schema;
  }
  const rel::TableColumnMetadata* key = nullptr;
  for (const auto& member : first->items()) {  // members in ascending byte order of the names
    const nlohmann::json& value = member.value();
    const char* type = value.is_boolean() ? "BOOLEAN" : value.is_number() ? "REAL" : "TEXT";
    schema.columns.push_back({member.key(), type});
  }
  for (const rel::TableColumnMetadata& column : schema.columns) {
    if (names_key(column.name)) {
      key = &column;
      break;
    }
  }
  if (!schema.columns.empty()) {
    schema.pk = key ? key->name : schema.columns[0].name;
    if (!key) schema.columns[0].type += " (pk)";
  }
  return schema;
}

// Whether a JSON number token is written as an integer: an optional minus, then digits.
bool is_integer_token(std::string_view token) {
  if (token.starts_with('-')) token.remove_prefix(1);
  return !token.empty() && token.find_first_not_of("0123456789") == std::string_view::npos;
}

// A row's key: its member named as the key column, a text as itself, a number written as an
// integer as its digits (the row is stored as written, so also past the 64-bit range, where the
// tree holds a double) and any other number as its positional text; "row_{i}" otherwise.
std::string row_pk(std::string_view bytes, const std::optional<nlohmann::json>& row, const std::string& pk_column,
                   std::size_t i) {
  if (row && row->is_object()) {
    if (auto it = row->find(pk_column); it != row->end()) {
      if (it->is_number_float()) {
        const util::JsonMembers members(bytes);
        const std::optional<util::JsonMembers::Value> token = members.find(pk_column);
        if (token && token->kind == util::JsonKind::Number && is_integer_token(token->text)) {
          return std::string(token->text);
        }
      }
      if (std::optional<std::string> pk = json_pk_text(*it)) return std::move(*pk);
    }
  }
  return "row_" + std::to_string(i);
}

// The row parsed; none when it is not JSON. A row nested deeper than a document may be is refused
// as INSERT refuses it.
Result<std::optional<nlohmann::json>> parsed(std::string_view bytes) {
  Result<nlohmann::json> value = util::parse_json_document(bytes);
  if (value) return std::optional<nlohmann::json>(std::move(*value));
  if (value.error().message() == util::kJsonDepthMessage) return fail(std::move(value.error()));
  return std::optional<nlohmann::json>();
}

// Two rows under one key would leave one row where the count says two: the first key met a second
// time, in row order, fails the statement.
Result<void> check_unique_keys(const std::vector<eval::VisibleRow>& records, const std::string& pk_column) {
  std::unordered_set<std::string_view> seen;
  seen.reserve(records.size());
  for (const eval::VisibleRow& record : records) {
    if (!seen.insert(record.pk).second) {
      return fail(QuenlorError::sql_execution("CREATE TABLE AS result has two rows with primary key " + record.pk +
                                              " (column " + pk_column + "); select a unique column as pk"));
    }
  }
  return {};
}

}  // namespace

Result<SqlResult> execute_create_table_as(Database& db, SqlSession& session, parser::Statement::CreateTableAs stmt) {
  const std::string& table = stmt.table;
  TRY(rel::validate_identifier_kind("table", table));
  if (TRY(read_live_key(db, session, rel::schema_key(table)))) {
    return fail(QuenlorError::sql_execution("table " + table + " already exists"));
  }
  SqlResult result = TRY(execute_stmt(db, session, std::move(stmt.query)));
  auto* rows = std::get_if<SqlResult::Rows>(&result.value);
  if (!rows) return fail(QuenlorError::sql_execution("CREATE TABLE AS requires a SELECT statement"));

  std::vector<eval::VisibleRow> records;
  records.reserve(rows->rows.size());
  rel::TableSchemaMetadata schema;
  for (std::size_t i = 0; i < rows->rows.size(); ++i) {
    const std::optional<nlohmann::json> row = TRY(parsed(rows->rows[i]));
    if (i == 0) schema = derived_schema(row);
    records.push_back({row_pk(rows->rows[i], row, schema.pk, i), std::move(rows->rows[i])});
  }
  if (records.empty()) schema = derived_schema(std::nullopt);

  // Nothing is written unless the schema encodes and every key is one a row may have.
  std::string schema_bytes = TRY(rel::encode_schema_metadata(schema));
  TRY(check_row_keys(table, records));
  TRY(check_unique_keys(records, schema.pk));
  TRY(write_put(db, session, rel::schema_key(table), std::move(schema_bytes)));
  TRY(write_rows_with_fts_upkeep(db, session, table, records));
  const std::size_t n = records.size();
  return SqlResult{SqlResult::Affected{n, std::nullopt,
                                       "created table " + table + " with " + std::to_string(n) + " row(s)"}};
}

}  // namespace quenlordb::sql::exec
