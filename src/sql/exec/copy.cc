#include "sql/exec/copy.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <system_error>
#include <vector>

#include "engine/database.h"
#include "facet/relational/keys.h"
#include "facet/relational/validate.h"
#include "sql/eval/number_text.h"
#include "sql/eval/sql_value.h"
#include "sql/exec/csv.h"
#include "sql/exec/facet_upkeep.h"
#include "sql/exec/projection.h"
#include "sql/exec/row_writes.h"
#include "sql/exec/select_source.h"
#include "util/file.h"
#include "util/json_document.h"
#include "util/json_members.h"
#include "util/json_record.h"
#include "util/json_scan.h"
#include "util/unicode.h"
#include "util/utf8.h"

namespace quenlordb::sql::exec {

namespace rel = facet::relational;
using parser::CopyFormat;

namespace {

nlohmann::json parsed_or_empty_object(std::string_view doc) {
  Result<nlohmann::json> parsed = util::parse_json_document(doc);
  return parsed ? std::move(*parsed) : nlohmann::json::object();
}

// The value one row takes in a JSON or NDJSON file.
nlohmann::json row_json_value(const eval::VisibleRow& row, bool typed) {
  if (typed) return parsed_or_empty_object(row.doc);
  nlohmann::json value = nlohmann::json::object();
  value["doc"] = decode_row_json(row.doc);
  value["pk"] = row.pk;
  return value;
}

std::string csv_member_text(const nlohmann::json& doc, const std::string& column) {
  if (!doc.is_object()) return {};
  auto it = doc.find(column);
  if (it == doc.end() || it->is_null()) return {};
  if (it->is_boolean()) return it->get<bool>() ? "true" : "false";
  if (it->is_string()) return it->get<std::string>();
  return write_json(*it);
}

std::string build_csv(const rel::TableSchemaMetadata& schema, const std::vector<eval::VisibleRow>& rows, bool typed) {
  std::string out;
  for (std::size_t i = 0; i < schema.columns.size(); ++i) {
    if (i > 0) out.push_back(',');
    out += csv_quote(schema.columns[i].name);
  }
  out.push_back('\n');
  for (const eval::VisibleRow& row : rows) {
    if (!typed) {
      out += csv_quote(row.pk);
      out.push_back(',');
      out += csv_quote(util::decode_utf8_lossy(row.doc));
    } else {
      const nlohmann::json doc = parsed_or_empty_object(row.doc);
      for (std::size_t i = 0; i < schema.columns.size(); ++i) {
        if (i > 0) out.push_back(',');
        out += csv_quote(csv_member_text(doc, schema.columns[i].name));
      }
    }
    out.push_back('\n');
  }
  return out;
}

constexpr std::string_view kInsideDatabase = "COPY TO target must not be inside the database directory";

// Where a chain of symbolic links in the path's last component leads (the path itself when that
// is no link): the file that opening the path would open, or create.
Result<std::string> link_target(const std::string& path) {
  std::filesystem::path p = path;
  std::error_code ec;
  for (int hops = 0; hops < 40 && std::filesystem::is_symlink(p, ec); ++hops) {
    const std::filesystem::path next = std::filesystem::read_symlink(p, ec);
    if (ec) return fail(QuenlorError::io(ec.value(), path));
    p = next.is_absolute() ? next : p.parent_path() / next;
  }
  return p.string();
}

// Whether path, resolved against the working directory with every link followed, lies in or at
// the directory root (canonical); a missing file by where its directory is. Only the path's text
// is judged: a quick refusal before anything is opened, not the guard itself (see
// write_copy_target).
Result<bool> path_text_within(const std::string& path, const std::string& root) {
  const std::filesystem::path target = TRY(link_target(path));
  if (Result<std::string> real = util::canonical_path(target.string())) return util::path_is_within(*real, root);
  const std::filesystem::path parent = target.has_parent_path() ? target.parent_path() : std::filesystem::path(".");
  Result<std::string> dir = util::canonical_path(parent.string());
  if (!dir) return false;  // no such directory: the open fails on its own
  return util::path_is_within(util::join_path(*dir, target.filename().string()), root);
}

struct CopyTarget {
  util::File file;
  bool created;  // made by this open (and so empty)
};

// Opens the target for writing without changing an existing file: the file itself is checked
// afterwards, through its descriptor, before anything is written to it. A missing file is created
// empty (also where a link to a missing file points), never inside root.
Result<CopyTarget> open_copy_target(const std::string& path, const std::string& root) {
  Result<util::File> made = util::File::open(path, O_WRONLY | O_CREAT | O_EXCL);
  if (made) return CopyTarget{std::move(*made), true};
  if (made.error().os_error() != EEXIST) return fail(std::move(made.error()));
  Result<util::File> existing = util::File::open(path, O_WRONLY);
  if (existing) return CopyTarget{std::move(*existing), false};
  if (existing.error().os_error() != ENOENT) return fail(std::move(existing.error()));
  // A link to a missing file: the file is made where the link points, unless that is inside.
  const std::string target = TRY(link_target(path));
  if (TRY(path_text_within(target, root))) return fail(QuenlorError::sql_execution(std::string(kInsideDatabase)));
  util::File file = TRY(util::File::open(target, O_WRONLY | O_CREAT | O_EXCL));
  return CopyTarget{std::move(file), true};
}

// Whether the open file is one of the database's: its real path inside root, or its device and
// inode those of any file in root's tree (a hard link elsewhere names the same file).
Result<bool> is_database_file(const util::File& file, const std::string& root) {
  const util::FileId id = TRY(file.id());
  Result<std::string> real = file.real_path();
  if (real && util::path_is_within(*real, root)) return true;
  return util::tree_holds_file(root, id);
}

// Writes text as the whole of the file at path, unless that file is one of the database's, in
// which case nothing changes anywhere: a file this call created is removed again.
Result<void> write_copy_target(const std::string& path, const std::string& root, std::string_view text) {
  if (TRY(path_text_within(path, root))) return fail(QuenlorError::sql_execution(std::string(kInsideDatabase)));
  CopyTarget target = TRY(open_copy_target(path, root));
  if (TRY(is_database_file(target.file, root))) {
    if (target.created) {
      // Only the file made here: the name must still be that file.
      const util::FileId id = TRY(target.file.id());
      Result<std::string> real = target.file.real_path();
      struct stat st;
      if (real && ::lstat(real->c_str(), &st) == 0 && util::FileId{st.st_dev, st.st_ino} == id) {
        (void)util::remove_file(*real);
      }
    }
    return fail(QuenlorError::sql_execution(std::string(kInsideDatabase)));
  }
  struct stat st;
  if (::fstat(target.file.fd(), &st) != 0) return fail(QuenlorError::last_os_error());
  if (S_ISREG(st.st_mode) && !target.created) TRY(target.file.truncate(0));
  TRY(target.file.write_all(text));
  TRY(target.file.close());
  return {};
}

Result<std::string> read_text_file(const std::string& path) {
  std::string text = TRY(util::read_file(path));
  if (!util::validate_utf8(text)) return fail(QuenlorError::io(EILSEQ, path + ": stream did not contain valid UTF-8"));
  return text;
}

const rel::TableColumnMetadata* find_column(const rel::TableSchemaMetadata& schema, std::string_view name) {
  for (const rel::TableColumnMetadata& column : schema.columns) {
    if (column.name == name) return &column;
  }
  return nullptr;
}

// The value of a typed CSV field under its column. An integer column also takes an integral
// number written in the decimal float syntax ("7.0", as COPY TO writes a stored double), keeping
// it a double so that the row reads back as it was written.
nlohmann::json coerce_csv_field(const std::string& text, const rel::TableColumnMetadata* column) {
  if (text.empty()) return nullptr;
  if (column == nullptr) return text;
  const std::string type = util::to_upper_full(column->type);
  if (type == "INT" || type == "INTEGER" || type == "BIGINT") {
    if (std::optional<std::int64_t> n = parse_decimal_integer(text)) return *n;
    std::optional<double> x = eval::parse_decimal_float(text);
    if (x && std::isfinite(*x) && *x == std::trunc(*x) && text.find_first_not_of("+-0123456789.eE") == std::string::npos) {
      return *x;
    }
    return text;
  }
  if (type == "REAL" || type == "FLOAT" || type == "DOUBLE") {
    std::optional<double> x = eval::parse_decimal_float(text);
    if (x && std::isfinite(*x)) return *x;
    return text;
  }
  if (type == "BOOL" || type == "BOOLEAN") {
    const std::string lower = util::to_lower_full(text);
    return lower == "1" || lower == "yes" || lower == "true";
  }
  return text;
}

// One row to write: its primary key and document.
using Record = eval::VisibleRow;

Result<std::vector<Record>> csv_records(std::string_view text, const rel::TableSchemaMetadata& schema, bool typed) {
  CsvReader reader(text);
  std::vector<CsvField> fields;
  if (!TRY(reader.next(fields))) fields.assign(1, CsvField{});  // no record: one empty header field
  std::vector<std::string> header;
  header.reserve(fields.size());
  for (const CsvField& field : fields) header.emplace_back(csv_field_value(field));
  std::vector<const rel::TableColumnMetadata*> columns;
  for (const std::string& name : header) columns.push_back(find_column(schema, name));

  std::vector<Record> records;
  while (TRY(reader.next(fields))) {
    if (is_blank_record(fields)) continue;
    if (!typed) {
      std::string pk(csv_field_value(fields[0]));
      if (pk.empty()) continue;
      std::string doc = fields.size() > 1 ? std::string(csv_field_value(fields[1])) : std::string("{}");
      TRY(rel::validate_json_bytes(doc));
      records.push_back({std::move(pk), std::move(doc)});
      continue;
    }
    nlohmann::json object = nlohmann::json::object();
    for (std::size_t c = 0; c < header.size(); ++c) {
      static const std::string kEmpty;
      object[header[c]] = coerce_csv_field(c < fields.size() ? fields[c].text : kEmpty, columns[c]);
    }
    std::optional<std::string> pk;
    if (auto it = object.find(schema.pk); it != object.end()) {
      if (it->is_number_float() && inexact_key_number(it->get<double>())) {
        const auto at = std::find(header.begin(), header.end(), schema.pk) - header.begin();
        return fail(inexact_key_error(csv_field_value(fields.at(static_cast<std::size_t>(at)))));
      }
      pk = json_pk_text(*it);
    }
    if (!pk) pk = "row_" + std::to_string(records.size());
    std::string doc = TRY(util::dump_json_compact(object));
    records.push_back({std::move(*pk), std::move(doc)});
  }
  return records;
}

}  // namespace

Result<void> check_file_path(std::string_view path) {
  if (path.find('\0') != std::string_view::npos) {
    return fail(QuenlorError::sql_execution("path must not contain NUL bytes"));
  }
  return {};
}

bool is_document_style(const rel::TableSchemaMetadata& schema) {
  const auto& columns = schema.columns;
  if (columns.size() <= 1) return true;
  return columns.size() == 2 && (columns[0].name == "doc" || columns[1].name == "doc");
}

Result<nlohmann::json> parse_json_array(std::string_view text, std::size_t max_depth) {
  nlohmann::json value = TRY(util::parse_json_document(text, max_depth));
  if (!value.is_array()) return fail(QuenlorError::serde_json("invalid type: expected a sequence"));
  return value;
}

std::optional<std::string> json_pk_text(const nlohmann::json& value) {
  if (value.is_string()) return value.get<std::string>();
  if (value.is_number_integer()) return value.dump();  // signed or unsigned: its own digits
  if (value.is_number()) return eval::to_sort_string(eval::json_value_to_sql(value));
  return std::nullopt;
}

namespace {

// An integer token as the tree's writer prints the integers its reader keeps: no leading zero, no
// -0, no fraction or exponent, within the signed (negative) or unsigned 64-bit range.
bool is_written_integer(std::string_view token) {
  const bool negative = !token.empty() && token[0] == '-';
  const std::string_view digits = token.substr(negative ? 1 : 0);
  if (digits.empty() || (digits[0] == '0' && (digits.size() > 1 || negative))) return false;
  for (const char c : digits) {
    if (c < '0' || c > '9') return false;
  }
  // Up to 18 digits fit either range; longer ones are read to find out.
  return digits.size() <= 18 || util::json_number_parts(token).form != util::JsonNumber::Form::Float;
}

// Whether text, a document whose members are indexed, is its own compact writing as
// json_text_is_canonical decides it, told from the index where the object is flat: scalar members
// only, no escape in any name or string, no white space (the members and their separators fill the
// text), names ascending. Other texts are decided by json_text_is_canonical itself.
bool is_canonical(std::string_view text, const util::JsonMembers& members) {
  if (!members.is_object()) return util::json_text_is_canonical(text);
  const std::size_t n = members.size();
  std::size_t length = n == 0 ? 2 : 1 + n;  // the braces and the commas between members
  std::string_view previous;
  for (std::size_t i = 0; i < n; ++i) {
    const util::JsonMembers::Entry e = members.entry(i);
    const util::JsonKind kind = e.value.kind;
    if (e.name_escaped || kind == util::JsonKind::Object || kind == util::JsonKind::Array ||
        (kind == util::JsonKind::String && e.value.text.find('\\') != std::string_view::npos)) {
      return util::json_text_is_canonical(text);
    }
    if (i > 0 && !(previous < e.name)) return false;
    if (kind == util::JsonKind::Number && !is_written_integer(e.value.text)) return false;
    previous = e.name;
    length += e.name.size() + 3 + e.value.text.size();  // "name":value
  }
  return length == text.size();
}

// A typed record given as a line that is already the compact text its tree is written as: the
// line is the document, and the primary key is read from the line's members as json_pk_text reads
// it from the tree. None when the line is not such a text or its key is not a number or a text:
// the record then takes the tree's way (and its error).
std::optional<Record> typed_record_as_written(std::string_view line, const rel::TableSchemaMetadata& schema) {
  const util::JsonMembers members(line);
  if (!is_canonical(line, members)) return std::nullopt;
  const std::optional<util::JsonMembers::Value> pk = members.find(schema.pk);
  if (!pk || (pk->kind != util::JsonKind::String && pk->kind != util::JsonKind::Number)) return std::nullopt;
  // A canonical text writes every number as an integer that the tree keeps as one: its digits.
  if (pk->kind == util::JsonKind::Number) return Record{std::string(pk->text), std::string(line)};
  eval::SqlValue value = eval::json_text_to_sql(pk->kind, pk->text);
  return Record{std::move(value).text_value(), std::string(line)};
}

}  // namespace

Result<std::pair<std::string, std::string>> extract_pk_and_doc(const nlohmann::json& record,
                                                               const rel::TableSchemaMetadata& schema, bool typed) {
  if (typed) {
    std::optional<std::string> pk;
    if (record.is_object()) {
      if (auto it = record.find(schema.pk); it != record.end()) {
        // A number written as an integer keeps its digits; any other one must be exact.
        if (it->is_number_float() && inexact_key_number(it->get<double>())) {
          return fail(inexact_key_error(TRY(util::dump_json_compact(*it))));
        }
        pk = json_pk_text(*it);
      }
    }
    if (!pk) return fail(QuenlorError::sql_execution("JSON row missing pk column '" + schema.pk + "'"));
    std::string doc = TRY(util::dump_json_compact(record));
    return std::pair{std::move(*pk), std::move(doc)};
  }
  if (!record.is_object()) return fail(QuenlorError::sql_execution("JSON row missing 'pk'"));
  auto pk = record.find("pk");
  if (pk == record.end() || !pk->is_string()) return fail(QuenlorError::sql_execution("JSON row missing 'pk'"));
  auto doc = record.find("doc");
  std::string doc_text = doc == record.end() ? std::string("{}") : TRY(util::dump_json_compact(*doc));
  return std::pair{pk->get<std::string>(), std::move(doc_text)};
}

Result<void> check_row_keys(std::string_view table, const std::vector<eval::VisibleRow>& rows) {
  const std::size_t prefix = rel::row_key(table, "").size();
  for (const eval::VisibleRow& row : rows) {
    TRY(rel::validate_pk(row.pk));
    if (prefix + row.pk.size() > kMaxKeyBytes) TRY(engine::check_key_length(rel::row_key(table, row.pk)));
  }
  return {};
}

Result<std::optional<std::uint64_t>> write_rows_with_fts_upkeep(Database& db, SqlSession& session,
                                                                std::string_view table,
                                                                std::vector<eval::VisibleRow>& rows) {
  const SqlSession::FtsColumns listed = TRY(upkeep_fts_indexes(db, session, table));
  const std::vector<std::vector<std::string>>& indexes = *listed;
  // The rows' lists are staged first, so that the rows are written after them. (Lists naming a row
  // whose write then fails are harmless: MATCH reads every listed row.)
  if (!indexes.empty()) TRY(index_rows_for_fts(db, session, table, rows, indexes));
  std::optional<std::uint64_t> last_ts;
  for (eval::VisibleRow& row : rows) {
    const std::optional<std::uint64_t> ts =
        TRY(write_put(db, session, rel::row_key(table, row.pk), std::move(row.doc)));
    if (ts) last_ts = *ts;
  }
  return last_ts;
}

Result<SqlResult> execute_copy_to(Database& db, SqlSession& session, const std::string& table,
                                  const std::string& path, CopyFormat format) {
  TRY(rel::validate_identifier_kind("table", table));
  const rel::TableSchemaMetadata schema = TRY(load_table_schema(db, session, table));
  const std::vector<eval::VisibleRow> rows = TRY(scan_visible_rows(db, session, table, std::nullopt, std::nullopt));
  if (format == CopyFormat::Parquet) return fail(QuenlorError::sql_execution(std::string(kParquetMessage)));
  const bool typed = !is_document_style(schema);

  std::string text;
  if (format == CopyFormat::Csv) {
    text = build_csv(schema, rows, typed);
  } else if (format == CopyFormat::Json) {
    nlohmann::json array = nlohmann::json::array();
    for (const eval::VisibleRow& row : rows) array.push_back(row_json_value(row, typed));
    text = array.dump(2, ' ', false, nlohmann::json::error_handler_t::replace);
  } else {
    for (const eval::VisibleRow& row : rows) {
      text += write_json(row_json_value(row, typed));
      text.push_back('\n');
    }
  }

  TRY(check_file_path(path));
  TRY(write_copy_target(path, db.path(), text));
  return SqlResult{SqlResult::Affected{rows.size(), std::nullopt,
                                       "exported " + std::to_string(rows.size()) + " rows to " + path}};
}

Result<SqlResult> execute_copy_from(Database& db, SqlSession& session, const std::string& table,
                                    const std::string& path, CopyFormat format) {
  TRY(rel::validate_identifier_kind("table", table));
  const rel::TableSchemaMetadata schema = TRY(load_table_schema(db, session, table));
  const bool typed = !is_document_style(schema);
  if (format == CopyFormat::Parquet) return fail(QuenlorError::sql_execution(std::string(kParquetMessage)));
  TRY(check_file_path(path));
  const std::string file = TRY(read_text_file(path));
  const std::string_view text = without_byte_order_mark(file);

  std::vector<Record> records;
  if (format == CopyFormat::Csv) {
    records = TRY(csv_records(text, schema, typed));
  } else {
    auto add = [&](const nlohmann::json& value) -> Result<void> {
      auto [pk, doc] = TRY(extract_pk_and_doc(value, schema, typed));
      records.push_back({std::move(pk), std::move(doc)});
      return {};
    };
    // A document-style record wraps its document in {"doc": ..., "pk": ...}, a level of its own;
    // the document inside is held to the nesting limit by the one allowed around it.
    const std::size_t wrapper = typed ? 0 : 1;
    if (format == CopyFormat::Json) {
      const nlohmann::json array = TRY(parse_json_array(text, util::kJsonMaxDepth + 1 + wrapper));
      for (const nlohmann::json& value : array) TRY(add(value));
    } else {
      const std::vector<std::string_view> lines = split_lines(text);
      records.reserve(lines.size());
      for (std::string_view line : lines) {
        if (is_blank_line(line)) continue;
        if (typed) {
          if (std::optional<Record> record = typed_record_as_written(line, schema)) {
            records.push_back(std::move(*record));
            continue;
          }
        }
        TRY(add(TRY(util::parse_json_document(line, util::kJsonMaxDepth + wrapper))));
      }
    }
  }

  TRY(check_row_keys(table, records));
  const std::optional<std::uint64_t> last_ts = TRY(write_rows_with_fts_upkeep(db, session, table, records));
  return SqlResult{SqlResult::Affected{records.size(), last_ts,
                                       "imported " + std::to_string(records.size()) + " rows from " + path}};
}

}  // namespace quenlordb::sql::exec
