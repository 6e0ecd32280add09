#include "facet/fts/postings.h"

#include <algorithm>
#include <unordered_set>

#include "facet/fts/analysis.h"
#include "util/json_record.h"
#include "util/json_text.h"

namespace quenlordb::facet::fts {

std::string posting_key(std::string_view table, std::string_view term) {
  std::string key;
  key.reserve(6 + table.size() + 1 + term.size());
  key.append("__fts/").append(table).append("/").append(term);
  return key;
}

std::string encode_posting_list(const std::vector<std::string>& pks) {
  std::string out = "[";
  for (std::size_t i = 0; i < pks.size(); ++i) {
    if (i) out.push_back(',');
    util::append_json_string(out, pks[i]);
  }
  out.push_back(']');
  return out;
}

Result<std::vector<std::string>> decode_posting_list(std::string_view bytes) {
  auto as_sql = [](const QuenlorError& e) { return QuenlorError::sql_execution(e.message()); };
  Result<util::OrderedJson> value = util::parse_json_record(bytes);
  if (!value) return fail(as_sql(value.error()));
  Result<std::vector<std::string>> pks = util::read_json_strings(*value);
  if (!pks) return fail(as_sql(pks.error()));
  return std::move(*pks);
}

std::string merge_posting(std::optional<std::string_view> current, std::string_view pk) {
  std::vector<std::string> pks;
  if (current) {
    if (Result<std::vector<std::string>> decoded = decode_posting_list(*current)) pks = std::move(*decoded);
  }
  if (std::find(pks.begin(), pks.end(), pk) == pks.end()) pks.emplace_back(pk);
  return encode_posting_list(pks);
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
