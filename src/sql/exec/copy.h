// COPY t TO 'path' and COPY t FROM 'path': a whole table written to or read from one file, held
// in memory at once, as CSV, JSON (one array) or NDJSON (one value per line); Parquet is refused.
//
// A table with at most one column, or two columns one of which is named "doc", is document-style
// and moves as pairs of primary key and document; every other table is typed and moves one field
// (or member) per column. A row key made from a number is its positional text (7 and 7.0 give "7"),
// as for a typed INSERT, so a file COPY TO wrote reads back under the same keys.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include <nlohmann/json.hpp>

#include "error.h"
#include "facet/relational/records.h"
#include "sql/eval/eval_context.h"
#include "sql/exec/session.h"
#include "sql/exec/sql_result.h"
#include "sql/parser/ast.h"

namespace quenlordb::sql::exec {

// The refusal of the Parquet format, by COPY and by READ_PARQUET.
inline constexpr std::string_view kParquetMessage = "Parquet support requires --features parquet";

bool is_document_style(const facet::relational::TableSchemaMetadata& schema);

// Writes every visible row of table to path (created or replaced): {n, none, "exported n rows to
// path"}. A path that resolves inside the database's directory is refused.
Result<SqlResult> execute_copy_to(Database& db, SqlSession& session, const std::string& table,
                                  const std::string& path, parser::CopyFormat format);

// Reads path and writes one row per record: {n, ts of the last write, "imported n rows from path"}.
// Every record is read and every primary key checked before the first row is written, so a bad
// record writes nothing. The rows join the posting lists of the table's full-text indexes.
Result<SqlResult> execute_copy_from(Database& db, SqlSession& session, const std::string& table,
                                    const std::string& path, parser::CopyFormat format);

// Writes each row (pk, doc) under its row key in order, then adds the rows written to the posting
// lists of the table's full-text indexes, also when a write fails part-way, so that no
// row written is missing from them. The timestamp of the last write that returned one. The rows'
// documents may be moved from.
Result<std::optional<std::uint64_t>> write_rows_with_fts_upkeep(Database& db, SqlSession& session,
                                                                std::string_view table,
                                                                std::vector<eval::VisibleRow>& rows);

// The primary key text and document of one JSON or NDJSON record.
Result<std::pair<std::string, std::string>> extract_pk_and_doc(const nlohmann::json& record,
                                                               const facet::relational::TableSchemaMetadata& schema,
                                                               bool typed);

// The whole text as one JSON array; anything else, or text that does not parse, is SerdeJson.
Result<nlohmann::json> parse_json_array(std::string_view text);

// The row key text of a JSON member used as a primary key: a text as itself, a number as its
// positional text; none for anything else.
std::optional<std::string> json_pk_text(const nlohmann::json& value);

}  // namespace quenlordb::sql::exec
