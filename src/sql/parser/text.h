// Character-level helpers of the SQL front end: strict UTF-8 decoding, the dialect's white-space
// set, ASCII case-insensitive comparison and full Unicode upper-casing. Pure functions, safe to call
// from any thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "error.h"

namespace quenlordb::sql::parser {

// One step of UTF-8 decoding at a byte offset.
struct Utf8Step {
  char32_t value;       // the code point (U+FFFD when not valid)
  std::uint8_t length;  // bytes taken: the sequence, or the maximal invalid prefix (at least 1)
  bool valid;
  bool incomplete;      // not valid because the text ends inside the sequence
};

// Decodes the sequence that starts at s[pos] (pos < s.size()). Never reads past s; refuses
// over-long forms, surrogates and code points above U+10FFFF.
Utf8Step decode_utf8_at(std::string_view s, std::size_t pos);

// Ok when s is well-formed UTF-8; otherwise an SqlParse error naming the first bad sequence
// ("invalid utf-8 sequence of {n} bytes from index {i}" or "incomplete utf-8 byte sequence from
// index {i}").
Result<void> check_utf8(std::string_view s);

// The white space of the dialect (the Unicode White_Space property): U+0009-U+000D, U+0020, U+0085,
// U+00A0, U+1680, U+2000-U+200A, U+2028, U+2029, U+202F, U+205F, U+3000.
bool is_sql_white_space(char32_t c);

// s without leading and trailing white space; s must be valid UTF-8.
std::string_view trim_sql_white_space(std::string_view s);

// True when a and b have the same length and are equal with ASCII letters compared without case.
bool eq_ignore_ascii_case(std::string_view a, std::string_view b);

// s upper-cased with full Unicode case mapping (root locale): "straße" gives "STRASSE". Text that
// is not valid UTF-8 has only its ASCII letters upper-cased.
std::string to_upper_full(std::string_view s);

}  // namespace quenlordb::sql::parser
