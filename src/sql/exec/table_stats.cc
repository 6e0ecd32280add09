#include "sql/exec/table_stats.h"

#include <algorithm>
#include <chrono>

#include <nlohmann/json.hpp>

#include "facet/relational/keys.h"
#include "facet/relational/validate.h"
#include "sql/exec/select_source.h"
#include "sql/parser/text.h"
#include "util/json_document.h"

namespace quenlordb::sql::exec {

namespace {

using Json = nlohmann::json;
using OrderedJson = nlohmann::ordered_json;

OrderedJson text_or_null(const std::optional<std::string>& text) {
  return text ? OrderedJson(*text) : OrderedJson(nullptr);
}

}  // namespace

std::string encode_table_stats(const TableStats& stats) {
  OrderedJson columns = OrderedJson::array();
  for (const ColumnStatistics& c : stats.columns) {
    OrderedJson top = OrderedJson::array();
    for (const auto& [text, count] : c.top_values) top.push_back(OrderedJson::array({text, count}));
    OrderedJson column = OrderedJson::object();
    column["name"] = c.name;
    column["distinct_count"] = c.distinct_count;
    column["null_count"] = c.null_count;
    column["min_value"] = text_or_null(c.min_value);
    column["max_value"] = text_or_null(c.max_value);
    column["top_values"] = std::move(top);
    columns.push_back(std::move(column));
  }
  OrderedJson record = OrderedJson::object();
  record["row_count"] = stats.row_count;
  record["approx_byte_size"] = stats.approx_byte_size;
  record["avg_row_bytes"] = stats.avg_row_bytes;
  record["last_updated_ms"] = stats.last_updated_ms;
  record["columns"] = std::move(columns);
  return record.dump(-1, ' ', false, OrderedJson::error_handler_t::replace);
}

void ColumnStatsBuilder::add(std::string_view value) {
  if (auto it = counts_.find(value); it != counts_.end()) {
    ++it->second;
  } else {
    counts_.emplace(std::string(value), 1);
  }
}

ColumnStatistics ColumnStatsBuilder::finish() && {
  ColumnStatistics out;
  out.name = std::move(name_);
  out.null_count = null_count_;
  out.distinct_count = counts_.size();
  std::vector<std::pair<std::string, std::uint64_t>> entries;
  entries.reserve(counts_.size());
  while (!counts_.empty()) {
    auto node = counts_.extract(counts_.begin());
    entries.emplace_back(std::move(node.key()), node.mapped());
  }
  if (entries.empty()) return out;

  const auto by_text = [](const auto& a, const auto& b) { return a.first < b.first; };
  out.min_value = std::ranges::min_element(entries, by_text)->first;
  out.max_value = std::ranges::max_element(entries, by_text)->first;
  // The texts are distinct, so this order is total and the top values are the same on every run.
  const auto more_frequent = [](const auto& a, const auto& b) {
    return a.second != b.second ? a.second > b.second : a.first < b.first;
  };
  const std::size_t keep = std::min(entries.size(), kTopValues);
  std::partial_sort(entries.begin(), entries.begin() + static_cast<std::ptrdiff_t>(keep), entries.end(),
                    more_frequent);
  entries.resize(keep);
  out.top_values = std::move(entries);
  return out;
}

TableStatsBuilder::TableStatsBuilder(std::string_view pk_column, std::span<const std::string> column_names) {
  columns_.reserve(column_names.size());
  for (const std::string& name : column_names) {
    const bool is_pk = parser::eq_ignore_ascii_case(name, pk_column);
    needs_document_ = needs_document_ || !is_pk;
    columns_.push_back({ColumnStatsBuilder(name), is_pk});
  }
}

void TableStatsBuilder::add_row(std::string_view pk, std::string_view doc) {
  ++row_count_;
  byte_size_ += doc.size();
  if (columns_.empty()) return;

  Json parsed;  // null, so not an object, unless the document is read
  if (needs_document_) {
    if (Result<Json> read = util::parse_json_document(doc)) parsed = std::move(*read);
  }
  for (Column& column : columns_) {
    if (column.is_pk) {
      column.stats.add(pk);
      continue;
    }
    const Json* member = nullptr;
    if (parsed.is_object()) {
      if (auto it = parsed.find(column.stats.name()); it != parsed.end()) member = &*it;
    }
    if (member == nullptr || member->is_null()) {
      column.stats.add_null();
    } else if (member->is_string()) {
      column.stats.add(member->get_ref<const std::string&>());
    } else {
      column.stats.add(member->dump(-1, ' ', false, Json::error_handler_t::replace));
    }
  }
}

TableStats TableStatsBuilder::finish(std::uint64_t last_updated_ms) && {
  TableStats out;
  out.row_count = row_count_;
  out.approx_byte_size = byte_size_;
  out.avg_row_bytes = row_count_ == 0 ? 0 : byte_size_ / row_count_;
  out.last_updated_ms = last_updated_ms;
  out.columns.reserve(columns_.size());
  for (Column& column : columns_) out.columns.push_back(std::move(column.stats).finish());
  return out;
}

Result<SqlResult> execute_analyze(Database& db, SqlSession& session, std::string_view table) {
  TRY(facet::relational::validate_identifier_kind("table", table));
  const facet::relational::TableSchemaMetadata schema = TRY(load_table_schema(db, session, table));
  const std::vector<eval::VisibleRow> rows = TRY(scan_visible_rows(db, session, table, std::nullopt, std::nullopt));

  std::vector<std::string> column_names;
  if (schema.schema_mode == "typed") {
    column_names.reserve(schema.columns.size());
    for (const auto& column : schema.columns) column_names.push_back(column.name);
  }
  TableStatsBuilder builder(schema.pk, column_names);
  for (const eval::VisibleRow& row : rows) builder.add_row(row.pk, row.doc);
  const auto since_epoch = std::chrono::system_clock::now().time_since_epoch();
  const auto now_ms = std::chrono::duration_cast<std::chrono::milliseconds>(since_epoch).count();
  const TableStats stats = std::move(builder).finish(now_ms > 0 ? static_cast<std::uint64_t>(now_ms) : 0);

  const std::uint64_t ts = TRY(db.put(facet::relational::stats_key(table), encode_table_stats(stats), kSqlValidFrom,
                                      kSqlValidTo, std::nullopt));
  session.forget_metadata();  // a catalog record written past write_put
  std::string message = "ANALYZE " + std::string(table) + ": " + std::to_string(stats.row_count) + " rows, ~" +
                        std::to_string(stats.approx_byte_size) + " bytes";
  if (!stats.columns.empty()) message += ", " + std::to_string(stats.columns.size()) + " column stats";
  return SqlResult{SqlResult::Affected{stats.row_count, ts, std::move(message)}};
}

}  // namespace quenlordb::sql::exec
