// Conversion of engine results into interpreter objects. Every function returns a new reference, or
// nullptr with the interpreter's error set. Text handed to the interpreter is always decoded as
// UTF-8 with its exact length, each invalid sequence becoming U+FFFD, so embedded NULs and bad bytes
// can neither truncate nor fail a conversion. Interpreter lock held.
#pragma once

#include "py_ref.h"

#include <cstddef>
#include <string_view>

#include "sql/exec/sql_result.h"

namespace quenlordb::python {

// Fills the table of byte values (0..255) as interpreter ints; call once before bytes_to_int_list.
bool init_byte_ints();

// `str` from UTF-8 bytes, invalid sequences replaced.
PyObject* text_to_py(std::string_view text);
// `list` of `int` 0..255, one per byte (a document as get returns it).
PyObject* bytes_to_int_list(std::string_view bytes);
// One parsed JSON text: null -> None, booleans, integers in [-2^63, 2^63) -> int, other numbers ->
// float, strings, arrays -> list, objects -> dict with members in ascending byte order of their names
// (the last of repeated names). Text that is not JSON, or nests containers deeper than
// util::kJsonMaxDepth, -> its `str`.
PyObject* json_row_to_py(std::string_view row);
// Affected -> dict {"rows", "commit_ts", "message"} in this order; Rows -> list of converted rows
// (each a `str` when the rows are marked text); Explain -> str.
PyObject* sql_result_to_py(const sql::exec::SqlResult& result);

}  // namespace quenlordb::python
