// The LIKE and ILIKE pattern matchers. In a pattern, `%` matches any run of characters (a run of
// `%` acts as one), `_` exactly one character, and every other character itself; there is no escape
// character. The whole text must match. Characters are Unicode scalar values.
//
// A pattern without `_` is literal runs between runs of `%`, each found by a linear-time search, so
// it matches in time linear in the text and the pattern. A pattern with `_` is matched by a walker
// that returns to the character after the last `%` seen when a literal fails: at most |text| x
// |pattern| steps however many `%` the pattern holds (a plain backtracking matcher is exponential
// in them). Neither recurses.
#pragma once

#include <cstddef>
#include <string_view>

namespace quenlordb::sql::eval {

// Whether text[ti..] matches pattern[pi..], on sequences of code points.
bool like_match_inner(std::u32string_view text, std::u32string_view pattern, std::size_t ti, std::size_t pi);

// LIKE: text matches pattern, case-sensitively, both UTF-8.
bool like_match(std::string_view text, std::string_view pattern);

// ILIKE: both sides lower-cased with the full Unicode mapping (a character may become several),
// then matched as LIKE.
bool ilike_match(std::string_view text, std::string_view pattern);

}  // namespace quenlordb::sql::eval
