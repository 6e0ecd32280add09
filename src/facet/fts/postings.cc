#include "facet/fts/postings.h"

#include <algorithm>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif
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

// plain_list_holds one key at a time.
bool plain_list_holds_by_key(std::string_view bytes, std::string_view pk) {
  bool held = false;
  return scan_plain_list(bytes, [&](std::string_view key) { held = held || key == pk; }) && held;
}

#if defined(__SSE2__)

// The bytes of one 64-byte block of a list, as bit masks (bit k for byte k).
struct BlockMasks {
  std::uint64_t quote = 0, comma = 0, bad = 0, high = 0;  // bad: a backslash or a byte below 0x20
  std::uint64_t last = 0, before_last = 0;                // the bytes equal to two given ones
};

BlockMasks block_masks(const unsigned char* block, char last, char before_last) {
  const __m128i quote = _mm_set1_epi8('"'), comma = _mm_set1_epi8(','), backslash = _mm_set1_epi8('\\');
  const __m128i below_space = _mm_set1_epi8(0x1f), last_v = _mm_set1_epi8(last);
  const __m128i before_last_v = _mm_set1_epi8(before_last);
  BlockMasks m;
  for (int k = 0; k < 4; ++k) {
    const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(block + 16 * k));
    auto bits = [&](__m128i eq) {
      return static_cast<std::uint64_t>(static_cast<std::uint16_t>(_mm_movemask_epi8(eq))) << (16 * k);
    };
    m.quote |= bits(_mm_cmpeq_epi8(v, quote));
    m.comma |= bits(_mm_cmpeq_epi8(v, comma));
    m.bad |= bits(_mm_or_si128(_mm_cmpeq_epi8(v, backslash), _mm_cmpeq_epi8(_mm_min_epu8(v, below_space), v)));
    m.high |= bits(v);
    m.last |= bits(_mm_cmpeq_epi8(v, last_v));
    m.before_last |= bits(_mm_cmpeq_epi8(v, before_last_v));
  }
  return m;
}

// Bit k of the result: the parity of the bits 0..k of x.
std::uint64_t prefix_parity(std::uint64_t x) {
  for (int shift = 1; shift < 64; shift *= 2) x ^= x << shift;
  return x;
}

// plain_list_holds 64 bytes at a time. With no backslash, every quote delimits a key: the quotes
// that leave an odd count open a key, the others close one, and the list is in the form exactly
// when every byte outside the keys is a comma between a closing and an opening quote, every
// closing quote but the last is followed by such a comma, and the last quote closes. A key is pk
// exactly when a byte inside a key that ends pk is followed by a quote and pk's length before it
// stands a quote, with pk between (pk holds no quote); the places where pk's last two bytes stand
// are found with the masks.
bool plain_list_holds_by_block(std::string_view bytes, std::string_view pk) {
  const auto* text = reinterpret_cast<const unsigned char*>(bytes.data());
  const std::size_t body_end = bytes.size() - 1;  // the list between its brackets: [1, body_end)
  const std::size_t length = pk.size();
  const auto last_byte = static_cast<char>(pk[length - 1]);
  const auto before_last = static_cast<char>(length > 1 ? pk[length - 2] : '"');
  bool found = false;
  std::uint64_t parity = 0;        // all ones when the quotes before the block leave a key open
  std::uint64_t outside_last = 0;  // bit 0: the last byte of the block before was a comma outside
  std::uint64_t closing_last = 0;  // bit 0: it was a closing quote
  std::uint64_t before_last_carry = 0;  // bit 0: it was before_last
  std::uint64_t high = 0;
  unsigned char tail[64];
  for (std::size_t base = 1; base < body_end; base += 64) {
    const std::size_t size = std::min<std::size_t>(64, body_end - base);
    const unsigned char* block = text + base;
    std::uint64_t valid = ~std::uint64_t{0};
    if (size < 64) {
      std::memset(tail, 0, sizeof tail);
      std::memcpy(tail, block, size);
      block = tail;
      valid = (std::uint64_t{1} << size) - 1;
    }
    const BlockMasks m = block_masks(block, last_byte, before_last);
    const std::uint64_t quote = m.quote & valid;
    const std::uint64_t open = prefix_parity(quote) ^ parity;  // bytes inside a key, opening quotes included
    const std::uint64_t outside = ~open & ~quote & valid;
    const std::uint64_t closing = quote & ~open;
    if ((m.bad & valid) || (outside & ~m.comma) || (((outside << 1) | outside_last) & ~quote & valid) ||
        (((closing << 1) | closing_last) & ~outside & valid)) {
      return false;
    }
    high |= m.high & valid;
    if (!found) {
      std::uint64_t ends = m.last & ((m.before_last << 1) | before_last_carry) & open & ~quote & valid;
      for (; ends && !found; ends &= ends - 1) {
        const std::size_t at = base + static_cast<std::size_t>(__builtin_ctzll(ends));
        found = at >= length && text[at + 1] == '"' && text[at - length] == '"' &&
                std::memcmp(text + at + 1 - length, pk.data(), length) == 0;
      }
    }
    parity = ((open >> (size - 1)) & 1) ? ~std::uint64_t{0} : 0;
    outside_last = (outside >> (size - 1)) & 1;
    closing_last = (closing >> (size - 1)) & 1;
    before_last_carry = (m.before_last >> (size - 1)) & 1;
  }
  // The last quote must close a key.
  return !parity && found && (!high || util::validate_utf8(bytes).has_value());
}

#endif

}  // namespace

bool plain_list_holds(std::string_view bytes, std::string_view pk) {
  const std::size_t n = bytes.size();
  if (n < 4 || bytes[0] != '[' || bytes[1] != '"' || bytes[n - 2] != '"' || bytes[n - 1] != ']') return false;
  if (!is_plain_key(pk)) return false;
#if defined(__SSE2__)
  if (!pk.empty()) return plain_list_holds_by_block(bytes, pk);
#endif
  return plain_list_holds_by_key(bytes, pk);
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

void PostingList::add_ascending(std::span<const std::string_view> pks) {
  if (pks.empty()) return;
  if (!ascending_ || (!keys_.empty() && !(keys_.back() < pks.front()))) {
    for (std::string_view pk : pks) add(pk);
    return;
  }
  keys_.insert(keys_.end(), pks.begin(), pks.end());
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
