#include "facet/relational/keys.h"

#include "facet/fts/postings.h"

#include <charconv>
#include <initializer_list>

namespace quenlordb::facet::relational {

namespace {

std::string concat(std::initializer_list<std::string_view> parts) {
  std::size_t size = 0;
  for (std::string_view p : parts) size += p.size();
  std::string out;
  out.reserve(size);
  for (std::string_view p : parts) out.append(p);
  return out;
}

}  // namespace

std::string row_key(std::string_view table, std::string_view pk) { return concat({"table/", table, "/", pk}); }

std::string row_prefix(std::string_view table) { return concat({"table/", table, "/"}); }

std::string schema_key(std::string_view table) { return concat({kSchemaPrefix, table}); }

std::string view_key(std::string_view view) { return concat({"__meta/view/", view}); }

std::string index_meta_key(std::string_view table, std::string_view index) {
  return concat({"__meta/index/", table, "/", index});
}

std::string index_meta_prefix(std::string_view table) { return concat({"__meta/index/", table, "/"}); }

std::string fts_index_meta_key(std::string_view table, std::string_view index) {
  return concat({"__meta/fts_index/", table, "/", index});
}

std::string fts_index_meta_prefix(std::string_view table) { return concat({"__meta/fts_index/", table, "/"}); }

std::string timeseries_meta_key(std::string_view table) { return concat({"__meta/ts_table/", table}); }

std::string stats_key(std::string_view table) { return concat({"__meta/stats/", table}); }

std::string posting_key(std::string_view table, std::string_view term) { return fts::posting_key(table, term); }

std::string bucket_key(std::string_view table, std::string_view column, std::uint64_t bucket) {
  char digits[20];
  auto [end, ec] = std::to_chars(digits, digits + sizeof digits, bucket);
  (void)ec;  // 20 digits hold every u64
  const std::size_t n = static_cast<std::size_t>(end - digits);
  constexpr std::string_view kZeros = "0000000000000000";
  static_assert(kZeros.size() == kBucketDigits);
  const std::string_view padding = kZeros.substr(0, n < kBucketDigits ? kBucketDigits - n : 0);
  return concat({"__ts/", table, "/", column, "/", padding, std::string_view(digits, n)});
}

}  // namespace quenlordb::facet::relational
