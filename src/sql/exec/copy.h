// COPY t TO 'path' and COPY t FROM 'path': a whole table written to or read from one file, held
// in memory at once, as CSV, JSON (one array) or NDJSON (one value per line); Parquet is refused.
//
// A table with at most one column, or two columns one of which is named "doc", is document-style
// and moves as pairs of primary key and document; every other table is typed and moves one field
// (or member) per column. A row key made from a JSON integer (or a CSV field read as a 64-bit
// integer) is its own digits; from any other number its positional text (7.0 gives "7"), as for a
// typed INSERT, so a file COPY TO wrote reads back under the same keys.
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
// path"}. The file opened is checked before it is changed: one whose real path lies inside the
// database's directory, or that is (by device and inode) any file of the directory's tree, is
// refused with "COPY TO target must not be inside the database directory", and a refused COPY TO
// changes no byte anywhere.
Result<SqlResult> execute_copy_to(Database& db, SqlSession& session, const std::string& table,
                                  const std::string& path, parser::CopyFormat format);

// Reads path and writes one row per record: {n, ts of the last write, "imported n rows from path"}.
// One byte-order mark (U+FEFF) at the very start of the file is skipped in every format.
// Every record is read and every primary key checked before the first row is written, so a bad
// record writes nothing. The rows join the posting lists of the table's full-text indexes.
Result<SqlResult> execute_copy_from(Database& db, SqlSession& session, const std::string& table,
                                    const std::string& path, parser::CopyFormat format);

// Checks every row's primary key (validate_pk) and that its row key is one a put takes, so that a
// statement writing many rows fails on a bad one before the first write.
Result<void> check_row_keys(std::string_view table, const std::vector<eval::VisibleRow>& rows);

// Adds the rows to the posting lists of the table's full-text indexes (staged in the session, see
// facet_upkeep.h), then writes each row (pk, doc) under its row key in order, so that no row reaches
// the log before its list entries. The timestamp of the last write that returned one. The rows'
// documents are moved from.
Result<std::optional<std::uint64_t>> write_rows_with_fts_upkeep(Database& db, SqlSession& session,
                                                                std::string_view table,
                                                                std::vector<eval::VisibleRow>& rows);

// The primary key text and document of one JSON or NDJSON record.
Result<std::pair<std::string, std::string>> extract_pk_and_doc(const nlohmann::json& record,
                                                               const facet::relational::TableSchemaMetadata& schema,
                                                               bool typed);

// The whole text as one JSON array, nested at most max_depth deep (the array's own level counted);
// anything else, or text that does not parse, is SerdeJson.
Result<nlohmann::json> parse_json_array(std::string_view text, std::size_t max_depth);

// A path that COPY or a file table function may open: one holding a NUL byte fails with "path
// must not contain NUL bytes" (the system would see only the part before it).
Result<void> check_file_path(std::string_view path);

// The row key text of a JSON member used as a primary key: a text as itself, an integer (as the
// reader keeps it, in the signed or unsigned 64-bit range) as its digits, any other number as its
// positional text; none for anything else.
std::optional<std::string> json_pk_text(const nlohmann::json& value);

}  // namespace quenlordb::sql::exec
