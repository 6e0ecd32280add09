// Posting lists of the full-text index: for every stemmed term of a table, the JSON array of the
// primary keys of the rows whose indexed text holds the term, in the order the keys were first
// added, each key once. The lists live in the ordinary key space under "__fts/{table}/{term}" and
// only grow. match_query_pks answers a query from the committed lists.
#pragma once

#include <cstddef>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <unordered_set>
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
// posting_key into out, replacing what it held.
void assign_posting_key(std::string& out, std::string_view table, std::string_view term);
// Whether the key of term's list in table is no longer than a key may be (kMaxKeyBytes). The index
// leaves out a term that fails this (a token of about 64 KiB or more): its list is never written,
// and a query for it finds nothing.
bool posting_key_fits(std::string_view table, std::string_view term);

// The compact JSON array of the keys.
std::string encode_posting_list(const std::vector<std::string>& pks);
std::string encode_posting_views(std::span<const std::string_view> pks);

// The keys of a stored list; anything that is not a JSON array of texts (an empty value included)
// fails with SqlExecution carrying the JSON reader's message.
Result<std::vector<std::string>> decode_posting_list(std::string_view bytes);

// Whether bytes are a list in the form encode_posting_list writes when no key needs an escape (see
// scan_plain_list in the source) and pk is one of its keys: exactly when adding pk to the list
// leaves its bytes as they are. Reads the bytes once, in place, copying and allocating nothing.
bool plain_list_holds(std::string_view bytes, std::string_view pk);

// The list with pk appended unless it is already there. A current value that does not decode
// (absent, empty, or not an array of texts) counts as the empty list, so the next write repairs it.
std::string merge_posting(std::optional<std::string_view> current, std::string_view pk);

// A posting list held decoded while keys are added to it, so that many additions cost one read and
// one write of the stored list: the keys in the order they were first added (the stored ones
// first), membership found by binary search while the keys ascend and in a hash set once they do
// not. encode() gives the bytes merge_posting of each added key in turn would leave, and changed()
// whether they differ from the stored bytes.
//
// The stored bytes are kept inside and an added key is viewed, not copied: it must outlive the
// list. Not copyable or movable, since the keys view the list's own storage.
class PostingList {
 public:
  // The value stored under the list's key (none when absent); a value that does not decode counts
  // as the empty list, which the next write replaces.
  explicit PostingList(std::optional<std::string> stored);
  PostingList(const PostingList&) = delete;
  PostingList& operator=(const PostingList&) = delete;

  bool contains(std::string_view pk) const;
  // Appends pk unless it is listed.
  void add(std::string_view pk);
  // add() of each key in turn, for keys that ascend, each once: when they all come above the
  // listed keys they are appended without looking each up.
  void add_ascending(std::span<const std::string_view> pks);
  // False only for a list stored as this module writes it, to which nothing was added.
  bool changed() const { return !stored_plain_ || keys_.size() > stored_count_; }
  std::string encode() const;
  std::size_t size() const { return keys_.size(); }

 private:
  void build_members();

  std::string stored_;                // the stored bytes, when they are in the plain form
  std::vector<std::string> decoded_;  // the stored keys, when they are not
  std::vector<std::string_view> keys_;
  std::unordered_set<std::string_view> members_;  // every key, once the keys do not ascend
  std::size_t stored_count_ = 0;
  bool stored_plain_ = false;
  bool ascending_ = true;  // each key above the one before
};

// The stemmed terms of the query's tokens, in order, each once.
std::vector<std::string> query_terms(std::string_view query);

// The primary keys whose committed lists hold every term of the query, in the order of the first
// term's list; empty when the query has no tokens. Writes staged in an open transaction are not
// seen. A read error, or a list that does not decode, is the result.
Result<std::vector<std::string>> match_query_pks(std::string_view query, std::string_view table, engine::Database& db);

}  // namespace quenlordb::facet::fts
