#include "sql/exec/row_writes.h"

#include <algorithm>
#include <optional>
#include <string>

#include <nlohmann/json.hpp>

#include "facet/relational/keys.h"
#include "facet/relational/validate.h"
#include "sql/eval/sql_value.h"
#include "sql/exec/literals.h"
#include "sql/parser/text.h"
#include "util/json_record.h"

namespace quenlordb::sql::exec {

namespace rel = facet::relational;

namespace {

SqlResult inserted_one(std::optional<std::uint64_t> ts) {
  return SqlResult{SqlResult::Affected{1, ts, "inserted 1 row"}};
}

}  // namespace

Result<SqlResult> execute_insert(Database& db, SqlSession& session, const parser::Statement::Insert& stmt) {
  TRY(rel::validate_identifier_kind("table", stmt.table));
  TRY(load_table_schema(db, session, stmt.table));
  TRY(rel::validate_pk(stmt.pk));
  TRY(rel::validate_json_bytes(stmt.doc));
  const std::optional<std::uint64_t> ts = TRY(write_put(db, session, rel::row_key(stmt.table, stmt.pk), stmt.doc));
  // The full-text and time-series upkeep of the inserted row runs here once those facets exist.
  return inserted_one(ts);
}

Result<SqlResult> execute_insert_typed(Database& db, SqlSession& session, const parser::Statement::InsertTyped& stmt) {
  TRY(rel::validate_identifier_kind("table", stmt.table));
  const rel::TableSchemaMetadata schema = TRY(load_table_schema(db, session, stmt.table));

  std::optional<std::string> pk;
  nlohmann::json doc = nlohmann::json::object();
  const std::size_t pairs = std::min(stmt.columns.size(), stmt.values.size());
  for (std::size_t i = 0; i < pairs; ++i) {
    eval::SqlValue value = TRY(eval_const_expr(stmt.values[i]));
    const std::string& column = stmt.columns[i];
    if (parser::eq_ignore_ascii_case(column, schema.pk)) {
      if (value.is_text()) {
        pk = value.text_value();
      } else if (value.is_number()) {
        pk = eval::to_sort_string(value);
      } else {
        return fail(QuenlorError::sql_execution("primary key must be text or number"));
      }
    }
    doc[column] = eval::sql_value_to_json(value);
  }
  if (!pk) return fail(QuenlorError::sql_execution("INSERT must include primary key column '" + schema.pk + "'"));
  TRY(rel::validate_pk(*pk));
  std::string bytes = TRY(util::dump_json_compact(doc));
  const std::optional<std::uint64_t> ts = TRY(write_put(db, session, rel::row_key(stmt.table, *pk), std::move(bytes)));
  // The full-text and time-series upkeep of the inserted row runs here once those facets exist.
  return inserted_one(ts);
}

}  // namespace quenlordb::sql::exec
