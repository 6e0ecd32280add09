// Substring search for the text functions and the pattern matchers, on UTF-8 bytes, in time
// linear in the text: glibc's memmem, which compares at most 256 bytes per text position for short
// needles and runs the two-way algorithm for longer ones (a naive search is |text| x |needle|).
//
// In well-formed UTF-8 a byte match of a well-formed needle is a match of whole code points: a
// needle starts with a byte that starts a sequence, and a lead byte fixes its sequence's length.
#pragma once

#include <cstddef>
#include <string_view>

namespace quenlordb::sql::eval {

// The byte offset of the first occurrence of needle in text at or after from, or npos. An empty
// needle occurs at from (when from <= text.size()).
std::size_t find_text(std::string_view text, std::string_view needle, std::size_t from = 0);

}  // namespace quenlordb::sql::eval
