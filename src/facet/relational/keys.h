// The key layout of SQL data in the database's one key space. Every SQL key is UTF-8 text built
// here, so that each template is written once:
//
//   table/{table}/{pk}                 a row's document
//   __meta/table/{table}               TableSchemaMetadata
//   __meta/view/{view}                 ViewMetadata
//   __meta/index/{table}/{index}       IndexMetadata
//   __meta/fts_index/{table}/{index}   FtsIndexMetadata
//   __meta/ts_table/{table}            TimeseriesMetadata
//   __meta/stats/{table}               table statistics
//   __fts/{table}/{term}               a full-text posting list
//   __ts/{table}/{column}/{bucket}     a time-series bucket; bucket number in decimal, zero-padded
//                                      to at least 16 digits
//   __ai/...                           insight records; no SQL statement writes them
//
// Table, view and index names never contain "/" (validate_identifier_kind refuses it), so each
// "{table}/" prefix holds that table's keys only. A primary key may hold any character but NUL,
// "/" included: it is everything after the row prefix. A removed record or row is a tombstone, an
// empty value under its key.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace quenlordb::facet::relational {

// The prefix of every schema record; SHOW TABLES reads each table's name as the rest of the key.
inline constexpr std::string_view kSchemaPrefix = "__meta/table/";
inline constexpr std::string_view kInsightPrefix = "__ai/";
// Bucket numbers are written with at least this many digits.
inline constexpr std::size_t kBucketDigits = 16;

// "table/{table}/{pk}" and "table/{table}/", the prefix of all rows of a table.
std::string row_key(std::string_view table, std::string_view pk);
std::string row_prefix(std::string_view table);
// The primary key of a row key found under row_prefix(table) (the key minus that prefix).
inline std::string_view pk_of_row_key(std::string_view key, std::size_t row_prefix_size) {
  return key.substr(row_prefix_size);
}

// "__meta/table/{table}".
std::string schema_key(std::string_view table);
// "__meta/view/{view}".
std::string view_key(std::string_view view);
// "__meta/index/{table}/{index}" and "__meta/index/{table}/".
std::string index_meta_key(std::string_view table, std::string_view index);
std::string index_meta_prefix(std::string_view table);
// "__meta/fts_index/{table}/{index}" and "__meta/fts_index/{table}/".
std::string fts_index_meta_key(std::string_view table, std::string_view index);
std::string fts_index_meta_prefix(std::string_view table);
// "__meta/ts_table/{table}".
std::string timeseries_meta_key(std::string_view table);
// "__meta/stats/{table}".
std::string stats_key(std::string_view table);
// "__fts/{table}/{term}".
std::string posting_key(std::string_view table, std::string_view term);
// "__ts/{table}/{column}/{bucket}", the bucket number zero-padded to kBucketDigits digits (a longer
// number is written in full).
std::string bucket_key(std::string_view table, std::string_view column, std::uint64_t bucket);

}  // namespace quenlordb::facet::relational
