// Posting lists of the full-text index: for every stemmed term of a table, the JSON array of the
// primary keys of the rows whose indexed text holds the term, in the order the keys were first
// added, each key once. The lists live in the ordinary key space under "__fts/{table}/{term}" and
// only grow. match_query_pks answers a query from the committed lists.
#pragma once

#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "engine/database.h"
#include "error.h"

namespace quenlordb::facet::fts {

// The failure of a MATCH call that is not a term of the top-level AND chain of a table query's
// WHERE, where alone it can select rows.
inline constexpr std::string_view kMatchPlacementMessage =
    "MATCH() is only supported in the WHERE clause of a table query, joined by AND";

// "__fts/{table}/{term}".
std::string posting_key(std::string_view table, std::string_view term);

// The compact JSON array of the keys.
std::string encode_posting_list(const std::vector<std::string>& pks);
std::string encode_posting_views(std::span<const std::string_view> pks);

// The keys of a stored list; anything that is not a JSON array of texts (an empty value included)
// fails with SqlExecution carrying the JSON reader's message.
Result<std::vector<std::string>> decode_posting_list(std::string_view bytes);

// The list with pk appended unless it is already there. A current value that does not decode
// (absent, empty, or not an array of texts) counts as the empty list, so the next write repairs it.
std::string merge_posting(std::optional<std::string_view> current, std::string_view pk);

// The stemmed terms of the query's tokens, in order, each once.
std::vector<std::string> query_terms(std::string_view query);

// The primary keys whose committed lists hold every term of the query, in the order of the first
// term's list; empty when the query has no tokens. Writes staged in an open transaction are not
// seen. A read error, or a list that does not decode, is the result.
Result<std::vector<std::string>> match_query_pks(std::string_view query, std::string_view table, engine::Database& db);

}  // namespace quenlordb::facet::fts
