// Character-level helpers of the SQL front end: the UTF-8 check that reports as a parse error and
// ASCII case-insensitive comparison of keywords. Decoding, white space and case mapping come from
// util/utf8.h and util/unicode.h. Pure functions, safe to call from any thread.
#pragma once

#include <string_view>

#include "error.h"

namespace quenlordb::sql::parser {

// Ok when s is well-formed UTF-8; otherwise an SqlParse error naming the first bad sequence
// ("invalid utf-8 sequence of {n} bytes from index {i}" or "incomplete utf-8 byte sequence from
// index {i}").
Result<void> check_utf8(std::string_view s);

// True when a and b have the same length and are equal with ASCII letters compared without case.
bool eq_ignore_ascii_case(std::string_view a, std::string_view b);

}  // namespace quenlordb::sql::parser
