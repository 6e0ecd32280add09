// Table functions in FROM: READ_CSV('path'), READ_JSON('path') and READ_NDJSON('path') read a
// whole file into rows that the SELECT pipeline then treats like a subquery's; nothing is stored.
// READ_PARQUET is recognised and refused. Any file the process can read may be named; a relative
// path is resolved against the process's working directory.
//
// Each row's pk is a decimal index from 0 and its doc a compact JSON text:
// - READ_CSV: the first record is the header (fields trimmed of white space as member names); every
//   later record is one object, a member per header field (a later field of the same name wins),
//   each value inferred from the field's text: empty null, a decimal integer in the signed 64-bit
//   range that integer, the decimal float syntax a finite double, "true" or "false" (any ASCII case)
//   a boolean, anything else (infinities included) the text. Records are read quote-aware as COPY
//   FROM reads them: a line feed inside quotes belongs to the field.
// - READ_JSON: the file is one JSON array; element i is row i, any JSON value.
// - READ_NDJSON: every line is one JSON value.
// Records are indexed over all lines after the header (READ_CSV) or all lines (READ_NDJSON), blank
// lines included, and blank lines yield no row. One byte-order mark (U+FEFF) at the very start of
// the file is skipped in every format; one anywhere else is data.
#pragma once

#include <string_view>
#include <vector>

#include "error.h"
#include "sql/eval/eval_context.h"
#include "sql/parser/ast.h"

namespace quenlordb::sql::exec {

// The rows of the function named name (any letter case) over args, in file order. Failures, all of
// which end the statement: "unknown table function: {name}()", the Parquet refusal, "read_csv()
// requires a file path as first argument" (and the same for read_json and read_ndjson) when the
// first argument is not a string literal, "failed to read file '{path}': {why}" (unreadable or not
// UTF-8), "CSV file is empty", and SerdeJson for JSON that does not parse or a READ_JSON file that
// is not an array.
Result<std::vector<eval::VisibleRow>> execute_table_function(std::string_view name,
                                                             const std::vector<parser::Expr>& args);

}  // namespace quenlordb::sql::exec
