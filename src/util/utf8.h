// UTF-8 validation with the positions that the Utf8 error kind reports.
#pragma once

#include <string_view>

#include "error.h"

namespace quenlordb::util {

// Succeeds when text is well-formed UTF-8 (no overlong forms, no surrogates, nothing above
// U+10FFFF). Otherwise Utf8 "invalid utf-8 sequence of {n} bytes from index {i}", n being the length
// of the bad sequence, or "incomplete utf-8 byte sequence from index {i}" when the text ends inside
// a sequence that could still have been valid.
Result<void> validate_utf8(std::string_view text);

}  // namespace quenlordb::util
