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
// Inline: keyword tests of the parser and name tests of evaluation call it at every turn.
inline bool eq_ignore_ascii_case(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    unsigned char x = static_cast<unsigned char>(a[i]);
    unsigned char y = static_cast<unsigned char>(b[i]);
    if (x >= 'a' && x <= 'z') x = static_cast<unsigned char>(x - 32);
    if (y >= 'a' && y <= 'z') y = static_cast<unsigned char>(y - 32);
    if (x != y) return false;
  }
  return true;
}

}  // namespace quenlordb::sql::parser
