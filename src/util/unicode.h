// Unicode character properties and case mapping, from ICU with its root locale: the White_Space,
// Alphabetic and Numeric properties of a code point, full lower- and upper-case mapping of UTF-8
// text (one character may become several: ß upper-cases to SS; a word-final Σ lower-cases to ς by
// the Final_Sigma rule, whatever the length of the text) and trimming of white space. Pure
// functions, safe to call from any thread.
//
// Text arguments are UTF-8; sequences that are not UTF-8 are copied through unchanged by the case
// mappings and are never white space.
#pragma once

#include <string>
#include <string_view>

namespace quenlordb::util {

// The White_Space property: U+0009-U+000D, U+0020, U+0085, U+00A0, U+1680, U+2000-U+200A, U+2028,
// U+2029, U+202F, U+205F, U+3000.
bool is_white_space(char32_t c);

// The Alphabetic property (letters and the marks that Other_Alphabetic adds, such as the combining
// vowel signs of Indic scripts).
bool is_alphabetic(char32_t c);

// The Numeric property: a Numeric_Type other than None (digits of every script, ½, Ⅻ, 五).
bool is_numeric(char32_t c);

// s with the full lower- or upper-case mapping applied; ASCII text takes a path without ICU.
std::string to_lower_full(std::string_view s);
std::string to_upper_full(std::string_view s);

// The same, appended to out.
void append_lower_full(std::string& out, std::string_view s);
void append_upper_full(std::string& out, std::string_view s);

// Appends the lower-case mapping of text[begin, end) as those characters map inside text: a Σ near
// either end becomes σ or ς by what lies beyond it. begin and end are sequence boundaries, begin <=
// end <= text.size().
void append_lower_full(std::string& out, std::string_view text, std::size_t begin, std::size_t end);

// s without white space at both ends, at its start, or at its end.
std::string_view trim_white_space(std::string_view s);
std::string_view trim_white_space_start(std::string_view s);
std::string_view trim_white_space_end(std::string_view s);

}  // namespace quenlordb::util
