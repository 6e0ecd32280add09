#include "sql/exec/facet_upkeep.h"

#include <algorithm>
#include <unordered_map>
#include <unordered_set>

#include "facet/fts/analysis.h"
#include "facet/fts/postings.h"
#include "facet/relational/keys.h"
#include "facet/relational/records.h"
#include "facet/timeseries/bucket.h"
#include "sql/parser/text.h"
#include "util/json_document.h"
#include "util/json_members.h"
#include "util/saturate.h"
#include "util/utf8.h"

namespace quenlordb::sql::exec {

namespace rel = facet::relational;
namespace ts = facet::timeseries;

namespace {

// The text an index over columns reads from a document: its pieces joined by single spaces. parsed
// is the document read as JSON, null when it is not JSON (the whole text is then read).
std::string index_text(std::string_view doc, const nlohmann::json* parsed, const std::vector<std::string>& columns) {
  if (!parsed) return util::decode_utf8_lossy(doc);
  std::vector<std::string> pieces;
  for (const std::string& column : columns) {
    if (parser::eq_ignore_ascii_case(column, "doc")) {
      collect_json_strings(*parsed, pieces);
      continue;
    }
    if (!parsed->is_object()) continue;
    auto it = parsed->find(column);
    if (it == parsed->end()) continue;
    if (it->is_string()) pieces.push_back(it->get<std::string>());
    else collect_json_strings(*it, pieces);
  }
  std::string text;
  for (std::size_t i = 0; i < pieces.size(); ++i) {
    if (i) text.push_back(' ');
    text += pieces[i];
  }
  return text;
}

// A JSON number as a double; integers round to the nearest double.
double number_value(const nlohmann::json& value) { return value.get<double>(); }

// A document read for the text of its full-text indexes: the members a column names are found by
// the index of its members, and a tree is parsed only for a column reading the whole document
// (or a document too large to index). The texts are those of index_text over the tree.
class IndexedDocument {
 public:
  explicit IndexedDocument(std::string_view doc) : doc_(doc), members_(doc) {}

  // Whether the document is JSON (else its whole text is read, whatever the columns).
  bool is_json() { return members_.indexed() ? members_.is_document() : tree() != nullptr; }

  // The same text as text(columns), viewed in the document itself when it is one member's plain
  // string, else built in buffer.
  std::string_view text_view(const std::vector<std::string>& columns, std::string& buffer) {
    if (columns.size() == 1 && members_.indexed() && members_.is_document() &&
        !parser::eq_ignore_ascii_case(columns[0], "doc")) {
      const std::optional<util::JsonMembers::Value> v = members_.find(columns[0]);
      if (!v) return {};
      if (v->kind == util::JsonKind::String && v->text.find('\\') == std::string_view::npos) {
        return v->text.substr(1, v->text.size() - 2);
      }
    }
    buffer = text(columns);
    return buffer;
  }

  std::string text(const std::vector<std::string>& columns) {
    const bool whole = std::any_of(columns.begin(), columns.end(),
                                   [](const std::string& c) { return parser::eq_ignore_ascii_case(c, "doc"); });
    if (whole || !members_.indexed()) return index_text(doc_, tree(), columns);
    if (!members_.is_document()) return util::decode_utf8_lossy(doc_);
    std::string out;
    bool first = true;
    auto add = [&](std::string_view piece) {
      if (!first) out.push_back(' ');
      out.append(piece);
      first = false;
    };
    std::vector<std::string> pieces;
    for (const std::string& column : columns) {
      const std::optional<util::JsonMembers::Value> v = members_.find(column);
      if (!v) continue;
      if (v->kind == util::JsonKind::String && v->text.find('\\') == std::string_view::npos) {
        add(v->text.substr(1, v->text.size() - 2));
        continue;
      }
      // Any other member (a string with escapes included) is parsed on its own; it is part of a
      // valid document, so it parses.
      pieces.clear();
      if (Result<nlohmann::json> value = util::parse_json_document(v->text)) collect_json_strings(*value, pieces);
      for (const std::string& piece : pieces) add(piece);
    }
    return out;
  }

 private:
  const nlohmann::json* tree() {
    if (!tree_read_) {
      tree_read_ = true;
      if (Result<nlohmann::json> parsed = util::parse_json_document(doc_)) tree_ = std::move(*parsed);
    }
    return tree_ ? &*tree_ : nullptr;
  }

  std::string_view doc_;
  util::JsonMembers members_;
  bool tree_read_ = false;
  std::optional<nlohmann::json> tree_;
};

}  // namespace

void collect_json_strings(const nlohmann::json& value, std::vector<std::string>& out) {
  switch (value.type()) {
    case nlohmann::json::value_t::boolean: out.push_back(value.get<bool>() ? "true" : "false"); break;
    case nlohmann::json::value_t::number_integer:
    case nlohmann::json::value_t::number_unsigned:
    case nlohmann::json::value_t::number_float: out.push_back(value.dump()); break;
    case nlohmann::json::value_t::string: out.push_back(value.get<std::string>()); break;
    case nlohmann::json::value_t::array:
      for (const nlohmann::json& element : value) collect_json_strings(element, out);
      break;
    case nlohmann::json::value_t::object:  // nlohmann::json keeps members in ascending byte order
      for (const auto& member : value.items()) collect_json_strings(member.value(), out);
      break;
    default: break;
  }
}

std::vector<std::string> fts_terms_of_document(std::string_view doc, const std::vector<std::string>& columns) {
  IndexedDocument document(doc);
  return facet::fts::query_terms(document.text(columns));
}

bool document_holds_terms(std::string_view doc, const std::vector<std::vector<std::string>>& indexes,
                          const std::vector<std::string>& terms) {
  if (terms.empty()) return true;
  IndexedDocument document(doc);
  std::vector<bool> found(terms.size(), false);
  std::size_t missing = terms.size();
  std::string buffer;
  for (const std::vector<std::string>& columns : indexes) {
    facet::fts::for_each_term(document.text_view(columns, buffer), [&](std::string_view term) {
      for (std::size_t i = 0; i < terms.size(); ++i) {
        if (!found[i] && terms[i] == term) {
          found[i] = true;
          --missing;
        }
      }
      return missing > 0;
    });
    if (missing == 0) return true;
    if (!document.is_json()) break;  // the whole text, read once, whatever the columns
  }
  return false;
}

Result<void> index_row_for_fts(Database& db, SqlSession& session, std::string_view table, std::string_view pk,
                               std::string_view doc, const std::vector<std::string>& columns) {
  for (const std::string& term : fts_terms_of_document(doc, columns)) {
    std::string key = rel::posting_key(table, term);
    std::optional<std::string> current = TRY(read_live_key(db, session, key));
    std::string merged = current ? facet::fts::merge_posting(std::string_view(*current), pk)
                                 : facet::fts::merge_posting(std::nullopt, pk);
    TRY(write_put(db, session, std::move(key), std::move(merged)));
  }
  return {};
}

Result<void> index_rows_for_fts(Database& db, SqlSession& session, std::string_view table,
                                const std::vector<eval::VisibleRow>& rows, const std::vector<std::string>& columns) {
  return index_rows_for_fts(db, session, table, rows, std::vector<std::vector<std::string>>{columns});
}

PostingAdditions::PostingAdditions(std::vector<std::vector<std::string>> indexes) : indexes_(std::move(indexes)) {}

void PostingAdditions::add_row(std::string_view pk, std::string_view doc) {
  const auto row = static_cast<std::uint32_t>(pks_.size());
  if (ascending_ && !pks_.empty() && !(pks_.back() < pk)) ascending_ = false;
  pks_.emplace_back(pk);
  IndexedDocument document(doc);
  for (const std::vector<std::string>& columns : indexes_) {
    facet::fts::for_each_term(document.text_view(columns, text_), [&](std::string_view term) {
      auto it = numbers_.find(term);
      if (it == numbers_.end()) {
        it = numbers_.emplace(std::string(term), static_cast<std::uint32_t>(terms_.size())).first;
        terms_.push_back(&it->first);
        rows_of_term_.emplace_back();
      }
      // A term the row yields again, under this index or another, adds nothing.
      std::vector<std::uint32_t>& rows = rows_of_term_[it->second];
      if (rows.empty() || rows.back() != row) rows.push_back(row);
      return true;
    });
    if (!document.is_json()) break;  // the whole text, read once, whatever the columns
  }
}

Result<void> PostingAdditions::write(Database& db, SqlSession& session, std::string_view table) const {
  std::vector<std::string_view> pks;
  for (std::size_t t = 0; t < terms_.size(); ++t) {
    std::string key = rel::posting_key(table, *terms_[t]);
    std::vector<std::string> listed;
    if (std::optional<std::string> current = TRY(read_live_key(db, session, key))) {
      // A list that does not decode starts again, as merge_posting does.
      if (Result<std::vector<std::string>> decoded = facet::fts::decode_posting_list(*current)) {
        listed = std::move(*decoded);
      }
    }
    // The listed keys as they are, then each added key not among them, once.
    pks.assign(listed.begin(), listed.end());
    const std::vector<std::uint32_t>& rows = rows_of_term_[t];
    if (listed.empty() && ascending_) {
      for (std::uint32_t row : rows) pks.emplace_back(pks_[row]);
    } else {
      std::unordered_set<std::string_view> seen(listed.begin(), listed.end());
      for (std::uint32_t row : rows) {
        if (seen.insert(pks_[row]).second) pks.emplace_back(pks_[row]);
      }
    }
    TRY(write_put(db, session, std::move(key), facet::fts::encode_posting_views(pks)));
  }
  return {};
}

Result<void> index_rows_for_fts(Database& db, SqlSession& session, std::string_view table,
                                const std::vector<eval::VisibleRow>& rows,
                                const std::vector<std::vector<std::string>>& indexes) {
  PostingAdditions additions(indexes);
  for (const eval::VisibleRow& row : rows) additions.add_row(row.pk, row.doc);
  return additions.write(db, session, table);
}

Result<std::vector<std::vector<std::string>>> fts_index_columns(Database& db, std::string_view table) {
  engine::PrefixScanRows records = TRY(db.scan_prefix(rel::fts_index_meta_prefix(table)));
  std::vector<std::vector<std::string>> out;
  for (const engine::PrefixScanRow& record : records) {
    Result<rel::FtsIndexMetadata> index = rel::parse_fts_index_metadata(record.doc);
    if (!index || index->table != table || index->columns.empty()) continue;
    out.push_back(std::move(index->columns));
  }
  return out;
}

Result<void> update_fts_indexes(Database& db, SqlSession& session, std::string_view table, std::string_view pk,
                                std::string_view doc) {
  SqlSession::FtsColumns indexes = session.listed_fts_indexes(table);
  if (!indexes) {
    indexes = std::make_shared<const std::vector<std::vector<std::string>>>(TRY(fts_index_columns(db, table)));
    session.remember_fts_indexes(table, indexes);
  }
  for (const std::vector<std::string>& columns : *indexes) {
    TRY(index_row_for_fts(db, session, table, pk, doc, columns));
  }
  return {};
}

Result<void> update_ts_buckets(Database& db, SqlSession& session, std::string_view table, std::string_view doc) {
  if (!session.table_facts(table).timeseries_record) {
    std::optional<std::string> record = TRY(read_catalog_key(db, session, rel::timeseries_meta_key(table)));
    session.table_facts(table).timeseries_record = std::move(record);
  }
  if (!*session.table_facts(table).timeseries_record) return {};
  const std::optional<std::string> meta_bytes = *session.table_facts(table).timeseries_record;
  Result<rel::TimeseriesMetadata> meta = rel::parse_timeseries_metadata(*meta_bytes);
  if (!meta) return fail(QuenlorError::sql_execution("invalid timeseries metadata: " + meta.error().message()));
  if (meta->bucket_seconds == 0) {
    return fail(QuenlorError::sql_execution("invalid timeseries metadata: bucket_seconds must be at least 1"));
  }
  Result<nlohmann::json> row = util::parse_json_document(doc);
  if (!row) return fail(QuenlorError::sql_execution("invalid JSON for timeseries row: " + row.error().message()));
  if (!row->is_object()) return {};
  auto ts_member = row->find(meta->ts_column);
  if (ts_member == row->end() || !ts_member->is_number()) return {};
  const std::uint64_t timestamp = util::saturate_to_u64(number_value(*ts_member));
  const std::uint64_t bucket_number = timestamp / meta->bucket_seconds;
  for (const std::string& column : meta->value_columns) {
    auto member = row->find(column);
    if (member == row->end() || !member->is_number()) continue;
    std::string key = rel::bucket_key(table, column, bucket_number);
    std::optional<std::string> current = TRY(read_live_key(db, session, key));
    ts::Bucket bucket;
    if (current) bucket = TRY(ts::Bucket::decode(*current));
    bucket.points.push_back({timestamp, number_value(*member)});
    TRY(write_put(db, session, std::move(key), ts::Bucket::encode(bucket)));
  }
  return {};
}

Result<void> upkeep_inserted_row(Database& db, SqlSession& session, std::string_view table, std::string_view pk,
                                 std::string_view doc) {
  TRY(update_fts_indexes(db, session, table, pk, doc));
  return update_ts_buckets(db, session, table, doc);
}

}  // namespace quenlordb::sql::exec
