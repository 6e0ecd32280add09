#include "facet/fts/postings.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <unordered_set>

#include "config.h"
#include "facet/fts/analysis.h"
#include "util/json_record.h"
#include "util/json_text.h"
#include "util/utf8.h"

namespace quenlordb::facet::fts {

namespace {

// Calls on_pk with each key of a list in the form encode_posting_list writes when no key needs an
// escape: "[", the keys in quotes separated by ",", "]", nothing else; valid UTF-8, and no key
// holding '"', a backslash or a byte below 0x20. Such a key reads back as its own bytes, so the keys
// are those the JSON reader would give. False, having called on_pk for some keys or none, for
// anything else.
template <typename OnPk>
bool scan_plain_list(std::string_view bytes, OnPk&& on_pk) {
  const std::size_t n = bytes.size();
  if (n < 2 || bytes[0] != '[' || bytes[n - 1] != ']') return false;
  bool high = false;
  std::size_t i = 1;
  if (i == n - 1) return true;  // []
  for (;;) {
    if (bytes[i] != '"') return false;
    const std::size_t start = ++i;
    for (; i < n; ++i) {
      const auto c = static_cast<unsigned char>(bytes[i]);
      if (c == '"') break;
      if (c < 0x20 || c == '\\') return false;
      high |= c >= 0x80;
    }
    if (i >= n - 1) return false;  // no closing quote before the final "]"
    if (high && !util::validate_utf8(bytes.substr(start, i - start))) return false;
    high = false;
    on_pk(bytes.substr(start, i - start));
    ++i;
    if (bytes[i] == ']') return i == n - 1;
    if (bytes[i] != ',') return false;
    ++i;
  }
}

// Whether a key is written as its own bytes in quotes: valid UTF-8 without '"', a backslash or a
// byte below 0x20.
bool is_plain_key(std::string_view pk) {
  bool high = false;
  for (const char ch : pk) {
    const auto c = static_cast<unsigned char>(ch);
    if (c < 0x20 || c == '"' || c == '\\') return false;
    high |= c >= 0x80;
  }
  return !high || util::validate_utf8(pk).has_value();
}

// The bytes a plain key may hold (1 for ASCII, 2 for bytes of multi-byte characters); 0 for '"',
// the backslash and the bytes below 0x20, which end a run of key bytes.
constexpr std::array<unsigned char, 256> kKeyByte = [] {
  std::array<unsigned char, 256> t{};
  for (int c = 0x20; c < 0x80; ++c) t[c] = 1;
  for (int c = 0x80; c < 0x100; ++c) t[c] = 2;
  t['"'] = 0;
  t['\\'] = 0;
  return t;
}();

}  // namespace

bool plain_list_holds(std::string_view bytes, std::string_view pk) {
  // The same form scan_plain_list accepts, read without a call per key: the last key's closing
  // quote is checked first, so that every run of key bytes ends inside the list.
  const std::size_t n = bytes.size();
  if (n < 4 || bytes[0] != '[' || bytes[1] != '"' || bytes[n - 2] != '"' || bytes[n - 1] != ']') return false;
  if (!is_plain_key(pk)) return false;
  const auto* p = reinterpret_cast<const unsigned char*>(bytes.data()) + 1;
  const unsigned char* const last_quote = p + n - 3;
  const auto* want = reinterpret_cast<const unsigned char*>(pk.data());
  const std::size_t want_size = pk.size();
  unsigned char seen = 0;  // the kKeyByte values met, or-ed
  bool found = false;
  for (;;) {
    const unsigned char* const start = ++p;  // past the opening quote
    while (const unsigned char v = kKeyByte[*p]) {
      seen |= v;
      ++p;
    }
    if (*p != '"') return false;
    const auto size = static_cast<std::size_t>(p - start);
    if (!found && size == want_size && (size == 0 || (start[size - 1] == want[size - 1] &&
                                                      std::memcmp(start, want, size) == 0))) {
      found = true;
    }
    if (p == last_quote) break;
    if (p[1] != ',' || p[2] != '"' || p + 2 == last_quote) return false;
    p += 2;
  }
  if (!found) return false;
  // The delimiters are ASCII, so the keys are valid UTF-8 exactly when the whole list is.
  return !(seen & 2) || util::validate_utf8(bytes).has_value();
}

namespace {

constexpr std::string_view kPostingPrefix = "__fts/";

}  // namespace

std::string posting_key(std::string_view table, std::string_view term) {
  std::string key;
  assign_posting_key(key, table, term);
  return key;
}

void assign_posting_key(std::string& out, std::string_view table, std::string_view term) {
  out.clear();
  out.reserve(kPostingPrefix.size() + table.size() + 1 + term.size());
  out.append(kPostingPrefix).append(table).append("/").append(term);
}

bool posting_key_fits(std::string_view table, std::string_view term) {
  return kPostingPrefix.size() + table.size() + 1 + term.size() <= kMaxKeyBytes;
}

std::string encode_posting_views(std::span<const std::string_view> pks) {
  std::size_t size = 2;
  for (std::string_view pk : pks) size += pk.size() + 3;
  std::string out;
  out.reserve(size);  // exact when no key needs an escape
  out.push_back('[');
  for (std::size_t i = 0; i < pks.size(); ++i) {
    if (i) out.push_back(',');
    util::append_json_string(out, pks[i]);
  }
  out.push_back(']');
  return out;
}

std::string encode_posting_list(const std::vector<std::string>& pks) {
  const std::vector<std::string_view> views(pks.begin(), pks.end());
  return encode_posting_views(views);
}

Result<std::vector<std::string>> decode_posting_list(std::string_view bytes) {
  std::vector<std::string> plain;
  if (scan_plain_list(bytes, [&](std::string_view pk) { plain.emplace_back(pk); })) return plain;
  auto as_sql = [](const QuenlorError& e) { return QuenlorError::sql_execution(e.message()); };
  Result<util::OrderedJson> value = util::parse_json_record(bytes);
  if (!value) return fail(as_sql(value.error()));
  Result<std::vector<std::string>> pks = util::read_json_strings(*value);
  if (!pks) return fail(as_sql(pks.error()));
  return std::move(*pks);
}

std::string merge_posting(std::optional<std::string_view> current, std::string_view pk) {
  // A list as this module writes it is merged on its bytes, without decoding it.
  bool listed = false;
  if (current && scan_plain_list(*current, [&](std::string_view key) { listed = listed || key == pk; })) {
    std::string out;
    if (listed) {
      out = *current;
      return out;
    }
    out.reserve(current->size() + pk.size() + 3);
    out.append(*current, 0, current->size() - 1);
    if (current->size() > 2) out.push_back(',');
    util::append_json_string(out, pk);
    out.push_back(']');
    return out;
  }
  std::vector<std::string> pks;
  if (current) {
    if (Result<std::vector<std::string>> decoded = decode_posting_list(*current)) pks = std::move(*decoded);
  }
  if (std::find(pks.begin(), pks.end(), pk) == pks.end()) pks.emplace_back(pk);
  return encode_posting_list(pks);
}

PostingList::PostingList(std::optional<std::string> stored) {
  if (!stored) return;
  auto take = [this](std::string_view pk) {
    if (ascending_ && !keys_.empty() && !(keys_.back() < pk)) ascending_ = false;
    keys_.push_back(pk);
  };
  stored_ = std::move(*stored);
  stored_plain_ = scan_plain_list(stored_, take);
  if (!stored_plain_) {
    keys_.clear();
    ascending_ = true;
    if (Result<std::vector<std::string>> decoded = decode_posting_list(stored_)) decoded_ = std::move(*decoded);
    stored_.clear();
    for (const std::string& pk : decoded_) take(pk);
  }
  stored_count_ = keys_.size();
  if (!ascending_) build_members();
}

bool PostingList::contains(std::string_view pk) const {
  if (ascending_) return std::binary_search(keys_.begin(), keys_.end(), pk);
  return members_.contains(pk);
}

void PostingList::build_members() {
  members_.reserve(keys_.size() * 2);
  members_.insert(keys_.begin(), keys_.end());
}

void PostingList::add(std::string_view pk) {
  if (!keys_.empty()) {
    const std::string_view last = keys_.back();
    if (pk == last) return;
    if (ascending_ && !(last < pk)) {
      if (std::binary_search(keys_.begin(), keys_.end(), pk)) return;
      ascending_ = false;
      build_members();
    }
    if (!ascending_ && !members_.insert(pk).second) return;
  }
  keys_.push_back(pk);
}

std::string PostingList::encode() const {
  if (!stored_plain_) return encode_posting_views(keys_);
  // The stored bytes are what encoding their keys gives; the added keys follow them.
  std::size_t size = stored_.size();
  for (std::size_t i = stored_count_; i < keys_.size(); ++i) size += keys_[i].size() + 3;
  std::string out;
  out.reserve(size);
  out.append(stored_, 0, stored_.size() - 1);
  for (std::size_t i = stored_count_; i < keys_.size(); ++i) {
    if (out.size() > 1) out.push_back(',');
    util::append_json_string(out, keys_[i]);
  }
  out.push_back(']');
  return out;
}

std::vector<std::string> query_terms(std::string_view query) {
  std::vector<std::string> terms;
  for (const std::string& token : tokenize(query)) {
    std::string term = stem(token);
    if (std::find(terms.begin(), terms.end(), term) == terms.end()) terms.push_back(std::move(term));
  }
  return terms;
}

Result<std::vector<std::string>> match_query_pks(std::string_view query, std::string_view table, engine::Database& db) {
  const std::vector<std::string> terms = query_terms(query);
  std::vector<std::string> result;
  for (std::size_t i = 0; i < terms.size(); ++i) {
    std::optional<std::string> bytes = TRY(db.get(posting_key(table, terms[i])));
    std::vector<std::string> list;
    if (bytes) list = TRY(decode_posting_list(*bytes));
    if (i == 0) {
      result = std::move(list);
      continue;
    }
    std::unordered_set<std::string_view> in_list(list.begin(), list.end());
    std::erase_if(result, [&](const std::string& pk) { return !in_list.contains(pk); });
  }
  return result;
}

}  // namespace quenlordb::facet::fts
