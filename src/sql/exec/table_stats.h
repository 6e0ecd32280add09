// ANALYZE: the statistics record it writes for a table under "__meta/stats/{table}", and the one
// pass over the table's rows that computes it. Nothing reads the record back; it is there for the
// user to read.
//
// The record is compact JSON with its fields in this order:
//   {"row_count":u64,"approx_byte_size":u64,"avg_row_bytes":u64,"last_updated_ms":u64,
//    "columns":[{"name":text,"distinct_count":u64,"null_count":u64,"min_value":text|null,
//                "max_value":text|null,"top_values":[[text,u64],...]},...]}
// columns holds one entry per schema column, in schema order, for typed tables only.
//
// A row's value text for a column: the primary key for the key column (its name compared without
// ASCII case); otherwise the document's member of exactly that name (last of repeated names) when
// the document is a JSON object (read under the system's JSON rules): a string gives its content, null gives no value, anything else
// its compact JSON text (7, 3.0, true, [1,2]). A document that is not JSON, or not an object, has
// no value for any other column. min and max compare value texts byte by byte; top_values holds
// the 10 most frequent texts, highest count first, equal counts in byte order of the text, so the
// record is the same on every run.
//
// Memory: one entry per distinct value text of each column, never one per row; each document is
// parsed once, whatever the number of columns.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

#include "error.h"
#include "sql/exec/session.h"
#include "sql/exec/sql_result.h"

namespace quenlordb::sql::exec {

inline constexpr std::size_t kTopValues = 10;

struct ColumnStatistics {
  std::string name;
  std::uint64_t distinct_count = 0;
  std::uint64_t null_count = 0;
  std::optional<std::string> min_value;
  std::optional<std::string> max_value;
  std::vector<std::pair<std::string, std::uint64_t>> top_values;

  friend bool operator==(const ColumnStatistics&, const ColumnStatistics&) = default;
};

struct TableStats {
  std::uint64_t row_count = 0;
  std::uint64_t approx_byte_size = 0;  // sum of the documents' lengths
  std::uint64_t avg_row_bytes = 0;     // rounded down; 0 without rows
  std::uint64_t last_updated_ms = 0;   // wall clock, milliseconds since 1970 (0 before)
  std::vector<ColumnStatistics> columns;

  friend bool operator==(const TableStats&, const TableStats&) = default;
};

// The record's compact JSON text (texts that are not valid UTF-8 have their bad bytes replaced by
// U+FFFD).
std::string encode_table_stats(const TableStats& stats);

// The counts of one column's value texts.
class ColumnStatsBuilder {
 public:
  explicit ColumnStatsBuilder(std::string name) : name_(std::move(name)) {}

  const std::string& name() const { return name_; }
  void add_null() { ++null_count_; }
  void add(std::string_view value);
  ColumnStatistics finish() &&;

 private:
  struct TextHash {
    using is_transparent = void;
    std::size_t operator()(std::string_view s) const { return std::hash<std::string_view>{}(s); }
  };

  std::string name_;
  std::uint64_t null_count_ = 0;
  std::unordered_map<std::string, std::uint64_t, TextHash, std::equal_to<>> counts_;
};

// Feed every row once, in any order, then finish.
class TableStatsBuilder {
 public:
  // column_names: the schema's columns in order when column statistics are wanted (typed tables),
  // empty otherwise; pk_column: the schema's primary-key column name.
  TableStatsBuilder(std::string_view pk_column, std::span<const std::string> column_names);

  void add_row(std::string_view pk, std::string_view doc);
  TableStats finish(std::uint64_t last_updated_ms) &&;

 private:
  struct Column {
    ColumnStatsBuilder stats;
    bool is_pk;
  };

  std::uint64_t row_count_ = 0;
  std::uint64_t byte_size_ = 0;
  std::vector<Column> columns_;
  bool needs_document_ = false;  // some column reads the document
};

// ANALYZE table: checks the name, loads the schema ("table {} does not exist"), scans the live rows
// (those staged by the open transaction included), computes the statistics (per column only when
// the schema_mode is "typed") and writes the record straight to the database, valid for all time
// and without a write tag: it is applied at once, even inside a transaction that later rolls back.
// Result: {row_count, the put's commit timestamp, "ANALYZE {}: {} rows, ~{} bytes"}, with
// ", {} column stats" added when there are column statistics.
Result<SqlResult> execute_analyze(Database& db, SqlSession& session, std::string_view table);

}  // namespace quenlordb::sql::exec
