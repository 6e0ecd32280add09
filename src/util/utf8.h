// UTF-8 decoding: one step at a byte offset, validation with the positions that the Utf8 error kind
// reports, and lossy decoding that replaces what is not UTF-8 by U+FFFD. Pure functions, safe to
// call from any thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "error.h"

namespace quenlordb::util {

// One step of UTF-8 decoding at a byte offset.
struct Utf8Step {
  char32_t value;       // the code point (U+FFFD when not valid)
  std::uint8_t length;  // bytes taken: the sequence, or the maximal invalid prefix (at least 1)
  bool valid;
  bool incomplete;      // not valid because the text ends inside the sequence
};

// Decodes the sequence that starts at s[pos] (pos < s.size()). Never reads past s; refuses
// over-long forms, surrogates and code points above U+10FFFF. An invalid sequence takes its maximal
// prefix that could have begun a valid one, so lossy decoding yields one U+FFFD per such prefix.
Utf8Step decode_utf8_at(std::string_view s, std::size_t pos);

// Succeeds when text is well-formed UTF-8 (no overlong forms, no surrogates, nothing above
// U+10FFFF). Otherwise Utf8 "invalid utf-8 sequence of {n} bytes from index {i}", n being the length
// of the bad sequence, or "incomplete utf-8 byte sequence from index {i}" when the text ends inside
// a sequence that could still have been valid.
Result<void> validate_utf8(std::string_view text);

// bytes as UTF-8 text: valid sequences are kept, each invalid one (as decode_utf8_at takes it)
// becomes U+FFFD. Valid input comes back unchanged.
std::string decode_utf8_lossy(std::string_view bytes);

// Appends the UTF-8 encoding of c (a Unicode scalar value) to out.
void append_utf8(std::string& out, char32_t c);

// The number of code points of s, counting each invalid sequence as one.
std::size_t count_code_points(std::string_view s);

}  // namespace quenlordb::util
