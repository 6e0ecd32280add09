// The text analysis of full-text search: tokenize cuts a text into lower-case alphanumeric
// tokens, stem strips one suffix by a fixed rule list, and highlight_text marks the words of a text
// whose stems are terms of a query. The index, MATCH and HIGHLIGHT all use these, so a highlighted
// word is exactly a word that matched. Pure functions, safe to call from any thread.
#pragma once

#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "util/function_ref.h"

namespace quenlordb::facet::fts {

// The tokens of text in order, duplicates kept: each run of non-white-space characters keeps only
// its Alphabetic and Numeric characters, lower-cased with the full mapping, and counts as a token
// when that is at least 2 bytes of UTF-8 (a lone ASCII letter or digit is dropped, a lone é kept).
std::vector<std::string> tokenize(std::string_view text);

// token lower-cased, then with the first rule that fits applied, lengths in bytes: at 6 bytes or
// more a final "ing", else "tion", "ness" or "ment" is removed; otherwise at 5 or more a final
// "ed", "ly" or "es"; otherwise at 4 or more a final "s" not preceded by another "s".
std::string stem(std::string_view token);

// Calls visit with the stem of each token of text, in order, duplicates kept, while visit answers
// true: stem of each element of tokenize(text), without building the list.
void for_each_term(std::string_view text, util::FunctionRef<bool(std::string_view)> visit);

// Marks the terms that text yields: sets found[k] when for_each_term(text) gives terms[k] (terms and
// found of one size; flags already set stay set, and their terms are not looked for). Answers
// whether every flag is set. The usual text is not tokenised whole: an ASCII term is first looked
// for as its letters in either case, and a word found so, when all ASCII, is reduced to its term
// on the spot; only terms not met that way take a pass of for_each_term, which stops once every
// flag is set.
bool mark_terms(std::string_view text, std::span<const std::string> terms, std::span<bool> found);

// mark_terms of the text a JSON string holds, given as the string's token (quotes included) as the
// JSON reader accepted it. The words are met in the token itself, escapes unresolved (an escape of
// white space ends a word; a word holding another escape is passed over); only when some term is
// not met that way is the text resolved, in scratch, and read as mark_terms reads it.
bool mark_json_string_terms(std::string_view token, std::span<const std::string> terms, std::span<bool> found,
                            std::string& scratch);

// The words of text (runs of non-white-space characters) joined by single spaces, each word whose
// normalised stem is the stem of a token of query wrapped as "<<word>>", the word kept as written.
std::string highlight_text(std::string_view text, std::string_view query);

}  // namespace quenlordb::facet::fts
