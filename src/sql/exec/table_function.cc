#include "sql/exec/table_function.h"

#include <cmath>
#include <optional>
#include <string>
#include <utility>

#include <nlohmann/json.hpp>

#include "sql/eval/number_text.h"
#include "sql/exec/copy.h"
#include "sql/exec/csv.h"
#include "sql/parser/text.h"
#include "util/file.h"
#include "util/json_document.h"
#include "util/json_record.h"
#include "util/unicode.h"
#include "util/utf8.h"

namespace quenlordb::sql::exec {

using eval::VisibleRow;

namespace {

enum class Reader { Csv, Json, Ndjson };

Result<std::string> read_whole_file(const std::string& path) {
  Result<std::string> text = util::read_file(path);
  if (!text) return fail(QuenlorError::sql_execution("failed to read file '" + path + "': " + text.error().message()));
  if (!util::validate_utf8(*text)) {
    return fail(QuenlorError::sql_execution("failed to read file '" + path + "': stream did not contain valid UTF-8"));
  }
  return text;
}

nlohmann::json infer_csv_value(const std::string& text) {
  if (text.empty()) return nullptr;
  if (std::optional<std::int64_t> n = parse_decimal_integer(text)) return *n;
  if (std::optional<double> x = eval::parse_decimal_float(text)) {
    if (std::isfinite(*x)) return *x;
    return text;
  }
  if (parser::eq_ignore_ascii_case(text, "true")) return true;
  if (parser::eq_ignore_ascii_case(text, "false")) return false;
  return text;
}

Result<std::vector<VisibleRow>> read_csv_rows(std::string_view text) {
  CsvReader reader(text);
  std::vector<CsvField> fields;
  if (!TRY(reader.next(fields))) return fail(QuenlorError::sql_execution("CSV file is empty"));
  std::vector<std::string> names;
  names.reserve(fields.size());
  for (const CsvField& field : fields) names.emplace_back(csv_field_value(field));

  std::vector<VisibleRow> rows;
  for (std::size_t i = 0; TRY(reader.next(fields)); ++i) {
    if (is_blank_record(fields)) continue;
    nlohmann::json object = nlohmann::json::object();
    for (std::size_t c = 0; c < names.size(); ++c) {
      static const std::string kEmpty;
      object[names[c]] = infer_csv_value(c < fields.size() ? fields[c].text : kEmpty);
    }
    std::string doc = TRY(util::dump_json_compact(object));
    rows.push_back({std::to_string(i), std::move(doc)});
  }
  return rows;
}

Result<std::vector<VisibleRow>> read_json_rows(std::string_view text) {
  // The file's array is a level of its own: each element may nest as deep as a document.
  const nlohmann::json array = TRY(parse_json_array(text, util::kJsonMaxDepth + 1));
  std::vector<VisibleRow> rows;
  rows.reserve(array.size());
  for (std::size_t i = 0; i < array.size(); ++i) {
    std::string doc = TRY(util::dump_json_compact(array[i]));
    rows.push_back({std::to_string(i), std::move(doc)});
  }
  return rows;
}

Result<std::vector<VisibleRow>> read_ndjson_rows(std::string_view text) {
  const std::vector<std::string_view> lines = split_lines(text);
  std::vector<VisibleRow> rows;
  rows.reserve(lines.size());
  for (std::size_t i = 0; i < lines.size(); ++i) {
    if (is_blank_line(lines[i])) continue;
    const nlohmann::json value = TRY(util::parse_json_document(lines[i]));
    std::string doc = TRY(util::dump_json_compact(value));
    rows.push_back({std::to_string(i), std::move(doc)});
  }
  return rows;
}

}  // namespace

Result<std::vector<VisibleRow>> execute_table_function(std::string_view name, const std::vector<parser::Expr>& args) {
  const std::string upper = util::to_upper_full(name);
  Reader reader;
  std::string_view lower_name;
  if (upper == "READ_CSV") {
    reader = Reader::Csv;
    lower_name = "read_csv";
  } else if (upper == "READ_JSON") {
    reader = Reader::Json;
    lower_name = "read_json";
  } else if (upper == "READ_NDJSON") {
    reader = Reader::Ndjson;
    lower_name = "read_ndjson";
  } else if (upper == "READ_PARQUET") {
    return fail(QuenlorError::sql_execution(std::string(kParquetMessage)));
  } else {
    return fail(QuenlorError::sql_execution("unknown table function: " + std::string(name) + "()"));
  }

  const parser::Expr::StringLit* path = args.empty() ? nullptr : args[0].get_if<parser::Expr::StringLit>();
  if (!path) {
    return fail(QuenlorError::sql_execution(std::string(lower_name) + "() requires a file path as first argument"));
  }
  TRY(check_file_path(path->value));
  const std::string file = TRY(read_whole_file(path->value));
  const std::string_view text = without_byte_order_mark(file);
  switch (reader) {
    case Reader::Csv: return read_csv_rows(text);
    case Reader::Json: return read_json_rows(text);
    case Reader::Ndjson: return read_ndjson_rows(text);
  }
  return std::vector<VisibleRow>{};
}

}  // namespace quenlordb::sql::exec
