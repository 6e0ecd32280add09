#include "sql/exec/facet_upkeep.h"

#include <algorithm>
#include <memory>
#include <span>
#include <type_traits>
#include <unordered_map>
#include <unordered_set>
#include <variant>

#include "facet/fts/analysis.h"
#include "facet/fts/postings.h"
#include "facet/relational/keys.h"
#include "facet/relational/records.h"
#include "facet/timeseries/bucket.h"
#include "sql/exec/catalog_memo.h"
#include "sql/parser/text.h"
#include "util/json_document.h"
#include "util/json_members.h"
#include "util/json_scan.h"
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

// The staged posting list under key, loaded through the session on first use.
Result<facet::fts::PostingList*> staged_list(Database& db, SqlSession& session, std::string_view key) {
  UpkeepStage& stage = session.upkeep();
  if (facet::fts::PostingList* list = stage.find_list(key)) return list;
  std::optional<std::string> stored = TRY(read_live_key(db, session, key));
  return &stage.add_list(key, std::move(stored));
}

// Whether the live list under key holds pk in the form adding pk leaves unchanged, read in place
// (the newest staged write of the key, else the stored value).
Result<bool> live_list_holds(Database& db, SqlSession& session, std::string_view key, std::string_view pk) {
  if (session.has_staged()) {
    if (const PendingPut* staged = session.newest_staged(key, std::nullopt)) {
      return facet::fts::plain_list_holds(staged->value, pk);
    }
  }
  bool held = false;
  TRY(db.visit_get(key, [&](std::string_view value) { held = facet::fts::plain_list_holds(value, pk); }));
  return held;
}

// A document read for the text of its full-text indexes: the members a column names are found by
// the index of its members, and a tree is parsed only for a column reading the whole document
// (or a document too large to index). The texts are those of index_text over the tree.
class IndexedDocument {
 public:
  explicit IndexedDocument(std::string_view doc) : doc_(doc), members_(doc) {}

  // Whether the document is JSON (else its whole text is read, whatever the columns).
  bool is_json() { return members_.indexed() ? members_.is_document() : tree() != nullptr; }

  // When columns name one member and the document's member of that name is a string, its token as
  // written (quotes and escapes included); the text is then the string's. An empty token (no
  // quotes) when there is no such member: the text is then empty. None for any other columns.
  std::optional<std::string_view> string_token(const std::vector<std::string>& columns) {
    if (columns.size() != 1 || !members_.indexed() || !members_.is_document() ||
        parser::eq_ignore_ascii_case(columns[0], "doc")) {
      return std::nullopt;
    }
    const std::optional<util::JsonMembers::Value> v = members_.find(columns[0]);
    if (!v) return std::string_view();
    if (v->kind == util::JsonKind::String) return v->text;
    return std::nullopt;
  }

  // The same text as text(columns), viewed in the document itself when it is one member's string
  // without escapes, else built in buffer.
  std::string_view text_view(const std::vector<std::string>& columns, std::string& buffer) {
    if (const std::optional<std::string_view> token = string_token(columns)) {
      if (token->empty()) return {};
      if (token->find('\\') == std::string_view::npos) return token->substr(1, token->size() - 2);
      buffer.clear();
      util::append_json_string_content(buffer, *token);
      return buffer;
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
      if (v->kind == util::JsonKind::String) {
        if (!first) out.push_back(' ');
        first = false;
        util::append_json_string_content(out, v->text);
        continue;
      }
      // Any other member is parsed on its own; it is part of a valid document, so it parses.
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
  // One flag per term, on the stack for the usual query; the text buffer is the thread's own.
  constexpr std::size_t kInlineTerms = 16;
  bool inline_found[kInlineTerms] = {};
  std::unique_ptr<bool[]> more;
  if (terms.size() > kInlineTerms) more = std::make_unique<bool[]>(terms.size());
  const std::span<bool> found(more ? more.get() : inline_found, terms.size());
  thread_local std::string buffer;
  for (const std::vector<std::string>& columns : indexes) {
    // A member's string is read in the document, its escapes resolved only if need be.
    const std::optional<std::string_view> token = document.string_token(columns);
    const bool all = token ? !token->empty() && facet::fts::mark_json_string_terms(*token, terms, found, buffer)
                           : facet::fts::mark_terms(document.text_view(columns, buffer), terms, found);
    if (all) return true;
    if (!document.is_json()) break;  // the whole text, read once, whatever the columns
  }
  return false;
}

Result<void> index_row_for_fts(Database& db, SqlSession& session, std::string_view table, std::string_view pk,
                               std::string_view doc, const std::vector<std::string>& columns) {
  for (const std::string& term : fts_terms_of_document(doc, columns)) {
    if (!facet::fts::posting_key_fits(table, term)) continue;
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
  if (session.upkeep_mode() == SqlSession::UpkeepMode::RowAtATime) return write_now(db, session, table);
  UpkeepStage& stage = session.upkeep();
  std::vector<std::string_view> kept;
  kept.reserve(pks_.size());
  for (const std::string& pk : pks_) kept.push_back(stage.keep(pk));
  std::string key;
  std::vector<std::string_view> added;
  for (std::size_t t = 0; t < terms_.size(); ++t) {
    if (!facet::fts::posting_key_fits(table, *terms_[t])) continue;
    facet::fts::assign_posting_key(key, table, *terms_[t]);
    facet::fts::PostingList* list = TRY(staged_list(db, session, key));
    if (ascending_) {
      // A term's rows are each once and in order, so their keys ascend.
      added.clear();
      for (std::uint32_t row : rows_of_term_[t]) added.push_back(kept[row]);
      list->add_ascending(added);
    } else {
      for (std::uint32_t row : rows_of_term_[t]) list->add(kept[row]);
    }
  }
  return {};
}

Result<void> PostingAdditions::write_now(Database& db, SqlSession& session, std::string_view table) const {
  std::vector<std::string_view> pks;
  for (std::size_t t = 0; t < terms_.size(); ++t) {
    if (!facet::fts::posting_key_fits(table, *terms_[t])) continue;
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

namespace {

// Adds the columns of a definition record to out, unless the record does not read, names another
// table or has no columns.
void add_index_columns(std::string_view record, std::string_view table, std::vector<std::vector<std::string>>& out) {
  Result<rel::FtsIndexMetadata> index = rel::parse_fts_index_metadata(record);
  if (!index || index->table != table || index->columns.empty()) return;
  out.push_back(std::move(index->columns));
}

}  // namespace

namespace {

// The column lists of the table's committed definitions, under their prefix: listed by a scan of
// every shard, or as this thread last listed them while that listing stands (catalog_memo.h).
Result<IndexColumnLists> committed_fts_indexes(Database& db, std::string_view table, std::string_view prefix) {
  return committed_listing(db, prefix, [&]() -> Result<IndexColumnLists> {
    std::vector<std::vector<std::string>> out;
    TRY(db.visit_prefix(prefix, [&](const engine::PrefixScanRow& record) -> Result<void> {
      add_index_columns(record.doc, table, out);
      return {};
    }));
    return std::make_shared<const std::vector<std::vector<std::string>>>(std::move(out));
  });
}

}  // namespace

Result<std::vector<std::vector<std::string>>> fts_index_columns(Database& db, std::string_view table) {
  return *TRY(committed_fts_indexes(db, table, rel::fts_index_meta_prefix(table)));
}

Result<SqlSession::FtsColumns> upkeep_fts_indexes(Database& db, SqlSession& session, std::string_view table) {
  if (SqlSession::FtsColumns known = session.listed_fts_indexes(table)) return known;
  const std::string prefix = rel::fts_index_meta_prefix(table);
  SqlSession::FtsColumns indexes;
  if (!session.has_staged_under(prefix)) {
    // No definition is staged or held back: the committed ones are the session's.
    indexes = TRY(committed_fts_indexes(db, table, prefix));
  } else {
    std::vector<std::vector<std::string>> out;
    TRY(visit_live_prefix(db, session, prefix, std::nullopt, std::nullopt,
                          [&](std::string_view, std::string_view record) -> Result<void> {
                            add_index_columns(record, table, out);
                            return {};
                          }));
    indexes = std::make_shared<const std::vector<std::vector<std::string>>>(std::move(out));
  }
  session.remember_fts_indexes(table, indexes);
  return indexes;
}

bool fts_upkeep_adds(const std::vector<std::vector<std::string>>& indexes, std::optional<std::string_view> old_doc,
                     std::string_view new_doc) {
  if (indexes.empty()) return false;
  if (!old_doc) return true;
  if (*old_doc == new_doc) return false;
  IndexedDocument before(*old_doc);
  IndexedDocument after(new_doc);
  std::string before_text;
  std::string after_text;
  for (const std::vector<std::string>& columns : indexes) {
    if (before.text_view(columns, before_text) != after.text_view(columns, after_text)) return true;
  }
  return false;
}

Result<void> update_fts_indexes(Database& db, SqlSession& session, std::string_view table, std::string_view pk,
                                std::string_view doc, bool listed_before) {
  const SqlSession::FtsColumns indexes = TRY(upkeep_fts_indexes(db, session, table));
  if (indexes->empty()) return {};
  if (session.upkeep_mode() == SqlSession::UpkeepMode::RowAtATime) {
    for (const std::vector<std::string>& columns : *indexes) {
      TRY(index_row_for_fts(db, session, table, pk, doc, columns));
    }
    return {};
  }
  // Each term the row yields, under any index, adds the row to its staged list; a term met again
  // adds nothing. A list not staged yet that already holds a row written before (an UPDATE that
  // keeps the text) is only tested in place the first time: a one-row UPDATE then neither copies
  // nor decodes it. A new row would fail the test, whose pass would only add to the load.
  UpkeepStage& stage = session.upkeep();
  const std::string_view kept = stage.keep(pk);
  IndexedDocument document(doc);
  std::string text;
  std::string key;
  Result<void> status;
  auto add = [&]() -> Result<void> {
    if (listed_before && !stage.find_list(key) && stage.first_probe(key) &&
        TRY(live_list_holds(db, session, key, kept))) {
      return {};
    }
    facet::fts::PostingList* list = TRY(staged_list(db, session, key));
    list->add(kept);
    return {};
  };
  for (const std::vector<std::string>& columns : *indexes) {
    facet::fts::for_each_term(document.text_view(columns, text), [&](std::string_view term) {
      if (!facet::fts::posting_key_fits(table, term)) return true;
      facet::fts::assign_posting_key(key, table, term);
      status = add();
      return status.has_value();
    });
    TRY(status);
    if (!document.is_json()) break;  // the whole text, read once, whatever the columns
  }
  return {};
}

namespace {

// The members of a time-series row that its upkeep reads. row_at_a_time reads the row as a tree;
// otherwise its members are found in place (the same values), unless it is too large to index.
class TimeseriesRow {
 public:
  static Result<TimeseriesRow> read(std::string_view doc, bool row_at_a_time) {
    TimeseriesRow row;
    if (!row_at_a_time) row.members_.scan(doc);
    if (row_at_a_time || !row.members_.indexed() || !row.members_.is_document()) {
      // A text that is not JSON is parsed too, for the parser's message.
      Result<nlohmann::json> tree = util::parse_json_document(doc);
      if (!tree) return fail(QuenlorError::sql_execution("invalid JSON for timeseries row: " + tree.error().message()));
      row.tree_ = std::move(*tree);
    }
    return row;
  }

  // The member's number; none when the row is not an object or the member is missing or no number.
  std::optional<double> number(std::string_view name) const {
    if (tree_) {
      if (!tree_->is_object()) return std::nullopt;
      auto it = tree_->find(name);
      if (it == tree_->end() || !it->is_number()) return std::nullopt;
      return it->get<double>();  // integers round to the nearest double
    }
    const std::optional<util::JsonMembers::Value> value = members_.find(name);
    if (!value || value->kind != util::JsonKind::Number) return std::nullopt;
    return util::json_number_value(value->text);
  }

 private:
  util::JsonMembers members_;
  std::optional<nlohmann::json> tree_;
};

// Appends point to the bucket under key: to the staged bucket, loaded through the session on first
// use, or (row at a time) read, decoded, appended to and written at once.
Result<void> append_point(Database& db, SqlSession& session, std::string key, ts::DataPoint point) {
  if (session.upkeep_mode() == SqlSession::UpkeepMode::RowAtATime) {
    std::optional<std::string> current = TRY(read_live_key(db, session, key));
    ts::Bucket bucket;
    if (current) bucket = TRY(ts::Bucket::decode(*current));
    bucket.points.push_back(point);
    TRY(write_put(db, session, std::move(key), ts::Bucket::encode(bucket)));
    return {};
  }
  UpkeepStage& stage = session.upkeep();
  ts::Bucket* bucket = stage.find_bucket(key);
  if (!bucket) {
    std::optional<std::string> current = TRY(read_live_key(db, session, key));
    ts::Bucket stored;
    if (current) stored = TRY(ts::Bucket::decode(*current));
    bucket = &stage.add_bucket(key, std::move(stored));
  }
  bucket->points.push_back(point);
  return {};
}

}  // namespace

Result<void> update_ts_buckets(Database& db, SqlSession& session, std::string_view table, std::string_view doc) {
  SqlSession::TableFacts& facts = session.table_facts(table);
  if (!facts.timeseries_record) {
    std::optional<std::string> record = TRY(read_catalog_key(db, session, rel::timeseries_meta_key(table)));
    facts.timeseries_record = std::move(record);
  }
  if (!*facts.timeseries_record) return {};
  if (!facts.timeseries) {
    Result<rel::TimeseriesMetadata> parsed = rel::parse_timeseries_metadata(**facts.timeseries_record);
    if (!parsed) return fail(QuenlorError::sql_execution("invalid timeseries metadata: " + parsed.error().message()));
    facts.timeseries = std::move(*parsed);
  }
  const rel::TimeseriesMetadata* meta = &*facts.timeseries;
  if (meta->bucket_seconds == 0) {
    return fail(QuenlorError::sql_execution("invalid timeseries metadata: bucket_seconds must be at least 1"));
  }
  const TimeseriesRow row =
      TRY(TimeseriesRow::read(doc, session.upkeep_mode() == SqlSession::UpkeepMode::RowAtATime));
  const std::optional<double> ts_value = row.number(meta->ts_column);
  if (!ts_value) return {};
  const std::uint64_t timestamp = util::saturate_to_u64(*ts_value);
  const std::uint64_t bucket_number = timestamp / meta->bucket_seconds;
  for (const std::string& column : meta->value_columns) {
    const std::optional<double> value = row.number(column);
    if (!value) continue;
    TRY(append_point(db, session, rel::bucket_key(table, column, bucket_number), {timestamp, *value}));
  }
  return {};
}

Result<std::optional<std::uint64_t>> write_gathered_upkeep(Database& db, SqlSession& session) {
  if (session.in_transaction() || !session.upkeep_gathered()) return std::nullopt;
  const std::unique_ptr<UpkeepStage> stage = session.take_upkeep();
  std::deque<PendingPut> deferred = session.take_deferred();
  return write_upkeep_then_rows(db, stage.get(), deferred);
}

Result<std::optional<std::uint64_t>> write_upkeep_then_rows(Database& db, const UpkeepStage* upkeep,
                                                            std::deque<PendingPut>& rows) {
  // The catalog memo counts only the first writes after its lookups (catalog_memo.h).
  std::size_t noted = 0;
  const auto note = [&](std::string_view key, std::uint64_t ts) {
    if (noted < kNotedWrites) note_committed_write(db, key, ts);
    ++noted;
  };
  if (upkeep) {
    TRY(upkeep->apply([&](std::string_view key, std::string value) -> Result<void> {
      note(key, TRY(db.put(key, std::move(value), kSqlValidFrom, kSqlValidTo, kSqlWriteTag)));
      return {};
    }));
  }
  std::optional<std::uint64_t> last_ts;
  if (rows.empty()) return last_ts;
  // The lists reach the log before any of the rows they cover (buckets, which no query reads, need
  // not: see session.h).
  if (upkeep && upkeep->has_lists()) TRY(db.log_acknowledged_writes());
  for (PendingPut& put : rows) {
    last_ts = TRY(db.put(put.key, std::move(put.value), put.valid_from, put.valid_to, put.write_tag));
    note(put.key, *last_ts);
  }
  return last_ts;
}

Result<void> write_gathered_upkeep_before(Database& db, SqlSession& session, const parser::Statement& stmt) {
  using S = parser::Statement;
  const bool writes_rows = std::visit(
      []<typename Node>(const Node&) {
        return std::is_same_v<Node, S::Insert> || std::is_same_v<Node, S::InsertTyped> ||
               std::is_same_v<Node, S::InsertReturning> || std::is_same_v<Node, S::Update> ||
               std::is_same_v<Node, S::CopyFrom> || std::is_same_v<Node, S::CreateTableAs>;
      },
      stmt.node());
  if (writes_rows) return {};
  TRY(write_gathered_upkeep(db, session));
  return {};
}

Result<void> upkeep_inserted_row(Database& db, SqlSession& session, std::string_view table, std::string_view pk,
                                 std::string_view doc) {
  TRY(update_fts_indexes(db, session, table, pk, doc));
  return update_ts_buckets(db, session, table, doc);
}

}  // namespace quenlordb::sql::exec
