// The JSON records that describe SQL tables, views, indexes and facets, with their writers and
// readers. Each record is written as a compact JSON object with its fields in the order below (a
// list said to be omitted when empty is left out then). Readers follow the typed-record rules of
// util/json_record.h: unknown members are skipped whatever their value, a field given twice is
// "duplicate field `{}`", a missing required field "missing field `{}`" (a field with a default
// takes it), a wrong JSON type "invalid type: {}, expected {}" with the record's expecting text
// ("struct TableSchemaMetadata", ...), and the array form (field values in order) fails with
// "invalid length {}, expected struct X with N elements" when a required value is missing and with
// "trailing characters" when values are left over. No writer produces the array form. Every record
// failure is SerdeJson; name checks are SqlExecution.
//
//   TableSchemaMetadata   {"pk","doc","columns"?,"schema_mode"}   all fields defaulted
//   TableColumnMetadata   {"name","type"}                          both required
//   ViewMetadata          {"name","query","depends_on"?}           depends_on defaulted
//   IndexMetadata         {"name","table","columns","unique"}      written only, never read
//   FtsIndexMetadata      {"name","table","columns"}               all required
//   TimeseriesMetadata    {"table","bucket_interval","bucket_seconds","ts_column","value_columns"}
//                                                                  all required
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "error.h"

namespace quenlordb::facet::relational {

// One declared column: its name and the type name as the statement that declared it wrote it
// ("INTEGER", "REAL", "TEXT", "BOOLEAN", "BLOB", "JSON", or ALTER TABLE's type word as received).
struct TableColumnMetadata {
  std::string name;
  std::string type;

  friend bool operator==(const TableColumnMetadata&, const TableColumnMetadata&) = default;
};

// The schema of one table, under "__meta/table/{table}".
struct TableSchemaMetadata {
  std::string pk = "pk";     // name of the primary-key column
  std::string doc = "json";  // "json" for a document table, "typed" for typed and time-series tables
  std::vector<TableColumnMetadata> columns;  // declaration order; ALTER TABLE appends
  std::string schema_mode = "legacy";        // "legacy", "typed" or "timeseries"

  friend bool operator==(const TableSchemaMetadata&, const TableSchemaMetadata&) = default;
};

// Under "__meta/view/{view}".
struct ViewMetadata {
  std::string name;
  std::string query;                    // the SELECT text that CREATE VIEW generated
  std::vector<std::string> depends_on;  // the base table

  friend bool operator==(const ViewMetadata&, const ViewMetadata&) = default;
};

// Under "__meta/index/{table}/{index}": a definition only; nothing builds an index from it.
struct IndexMetadata {
  std::string name;
  std::string table;
  std::vector<std::string> columns;
  bool unique = false;

  friend bool operator==(const IndexMetadata&, const IndexMetadata&) = default;
};

// Under "__meta/fts_index/{table}/{index}"; "doc" in columns stands for the whole document.
struct FtsIndexMetadata {
  std::string name;
  std::string table;
  std::vector<std::string> columns;

  friend bool operator==(const FtsIndexMetadata&, const FtsIndexMetadata&) = default;
};

// Under "__meta/ts_table/{table}".
struct TimeseriesMetadata {
  std::string table;
  std::string bucket_interval;       // as written in the statement, e.g. "1h"
  std::uint64_t bucket_seconds = 0;  // at least 1 when written by CREATE TIMESERIES TABLE
  std::string ts_column;
  std::vector<std::string> value_columns;

  friend bool operator==(const TimeseriesMetadata&, const TimeseriesMetadata&) = default;
};

// "legacy", the schema_mode of a record that does not name one.
std::string_view default_schema_mode();

// Reads the record, replaces an empty pk by "pk" and an empty doc by "json", then checks pk and
// each column name in order as kind "identifier".
Result<TableSchemaMetadata> parse_schema_metadata(std::string_view bytes);
// Checks pk and each column name as kind "identifier" first (nothing is written on failure).
Result<std::string> encode_schema_metadata(const TableSchemaMetadata& schema);

Result<TableColumnMetadata> parse_column_metadata(std::string_view bytes);
Result<std::string> encode_column_metadata(const TableColumnMetadata& column);

Result<ViewMetadata> parse_view_metadata(std::string_view bytes);
Result<std::string> encode_view_metadata(const ViewMetadata& view);

Result<std::string> encode_index_metadata(const IndexMetadata& index);

Result<FtsIndexMetadata> parse_fts_index_metadata(std::string_view bytes);
Result<std::string> encode_fts_index_metadata(const FtsIndexMetadata& index);

Result<TimeseriesMetadata> parse_timeseries_metadata(std::string_view bytes);
Result<std::string> encode_timeseries_metadata(const TimeseriesMetadata& meta);

}  // namespace quenlordb::facet::relational
