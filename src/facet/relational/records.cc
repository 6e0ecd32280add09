#include "facet/relational/records.h"

#include <array>

#include "facet/relational/validate.h"
#include "util/json_record.h"

namespace quenlordb::facet::relational {

namespace {

using util::OrderedJson;
using util::RecordField;
using util::RecordShape;

constexpr std::array<RecordField, 4> kSchemaFields{{{"pk", false}, {"doc", false}, {"columns", false}, {"schema_mode", false}}};
constexpr RecordShape kSchemaShape{"struct TableSchemaMetadata", kSchemaFields};

constexpr std::array<RecordField, 2> kColumnFields{{{"name"}, {"type"}}};
constexpr RecordShape kColumnShape{"struct TableColumnMetadata", kColumnFields};

constexpr std::array<RecordField, 3> kViewFields{{{"name"}, {"query"}, {"depends_on", false}}};
constexpr RecordShape kViewShape{"struct ViewMetadata", kViewFields};

constexpr std::array<RecordField, 3> kFtsIndexFields{{{"name"}, {"table"}, {"columns"}}};
constexpr RecordShape kFtsIndexShape{"struct FtsIndexMetadata", kFtsIndexFields};

constexpr std::array<RecordField, 5> kTimeseriesFields{
    {{"table"}, {"bucket_interval"}, {"bucket_seconds"}, {"ts_column"}, {"value_columns"}}};
constexpr RecordShape kTimeseriesShape{"struct TimeseriesMetadata", kTimeseriesFields};

OrderedJson string_array(const std::vector<std::string>& items) {
  OrderedJson out = OrderedJson::array();
  for (const std::string& item : items) out.push_back(item);
  return out;
}

OrderedJson column_json(const TableColumnMetadata& column) {
  OrderedJson out = OrderedJson::object();
  out["name"] = column.name;
  out["type"] = column.type;
  return out;
}

Result<TableColumnMetadata> read_column(const OrderedJson& value) {
  TableColumnMetadata out;
  TRY(util::read_record(value, kColumnShape, [&](std::size_t i, const OrderedJson& f) -> Result<void> {
    (i == 0 ? out.name : out.type) = TRY(util::read_json_string(f));
    return {};
  }));
  return out;
}

Result<void> check_schema_names(const TableSchemaMetadata& schema) {
  TRY(validate_identifier_kind("identifier", schema.pk));
  for (const TableColumnMetadata& column : schema.columns) TRY(validate_identifier_kind("identifier", column.name));
  return {};
}

}  // namespace

std::string_view default_schema_mode() { return "legacy"; }

Result<TableSchemaMetadata> parse_schema_metadata(std::string_view bytes) {
  OrderedJson value = TRY(util::parse_json_record(bytes));
  TableSchemaMetadata out;
  TRY(util::read_record(value, kSchemaShape, [&](std::size_t i, const OrderedJson& f) -> Result<void> {
    switch (i) {
      case 0: out.pk = TRY(util::read_json_string(f)); break;
      case 1: out.doc = TRY(util::read_json_string(f)); break;
      case 2:
        TRY(util::read_json_array(f, [&](const OrderedJson& e) -> Result<void> {
          out.columns.push_back(TRY(read_column(e)));
          return {};
        }));
        break;
      default: out.schema_mode = TRY(util::read_json_string(f)); break;
    }
    return {};
  }));
  if (out.pk.empty()) out.pk = "pk";
  if (out.doc.empty()) out.doc = "json";
  TRY(check_schema_names(out));
  return out;
}

Result<std::string> encode_schema_metadata(const TableSchemaMetadata& schema) {
  TRY(check_schema_names(schema));
  OrderedJson out = OrderedJson::object();
  out["pk"] = schema.pk;
  out["doc"] = schema.doc;
  if (!schema.columns.empty()) {
    OrderedJson columns = OrderedJson::array();
    for (const TableColumnMetadata& column : schema.columns) columns.push_back(column_json(column));
    out["columns"] = std::move(columns);
  }
  out["schema_mode"] = schema.schema_mode;
  return util::dump_json_compact(out);
}

Result<TableColumnMetadata> parse_column_metadata(std::string_view bytes) {
  OrderedJson value = TRY(util::parse_json_record(bytes));
  return read_column(value);
}

Result<std::string> encode_column_metadata(const TableColumnMetadata& column) {
  return util::dump_json_compact(column_json(column));
}

Result<ViewMetadata> parse_view_metadata(std::string_view bytes) {
  OrderedJson value = TRY(util::parse_json_record(bytes));
  ViewMetadata out;
  TRY(util::read_record(value, kViewShape, [&](std::size_t i, const OrderedJson& f) -> Result<void> {
    switch (i) {
      case 0: out.name = TRY(util::read_json_string(f)); break;
      case 1: out.query = TRY(util::read_json_string(f)); break;
      default: out.depends_on = TRY(util::read_json_strings(f)); break;
    }
    return {};
  }));
  return out;
}

Result<std::string> encode_view_metadata(const ViewMetadata& view) {
  OrderedJson out = OrderedJson::object();
  out["name"] = view.name;
  out["query"] = view.query;
  if (!view.depends_on.empty()) out["depends_on"] = string_array(view.depends_on);
  return util::dump_json_compact(out);
}

Result<std::string> encode_index_metadata(const IndexMetadata& index) {
  OrderedJson out = OrderedJson::object();
  out["name"] = index.name;
  out["table"] = index.table;
  out["columns"] = string_array(index.columns);
  out["unique"] = index.unique;
  return util::dump_json_compact(out);
}

Result<FtsIndexMetadata> parse_fts_index_metadata(std::string_view bytes) {
  OrderedJson value = TRY(util::parse_json_record(bytes));
  FtsIndexMetadata out;
  TRY(util::read_record(value, kFtsIndexShape, [&](std::size_t i, const OrderedJson& f) -> Result<void> {
    switch (i) {
      case 0: out.name = TRY(util::read_json_string(f)); break;
      case 1: out.table = TRY(util::read_json_string(f)); break;
      default: out.columns = TRY(util::read_json_strings(f)); break;
    }
    return {};
  }));
  return out;
}

Result<std::string> encode_fts_index_metadata(const FtsIndexMetadata& index) {
  OrderedJson out = OrderedJson::object();
  out["name"] = index.name;
  out["table"] = index.table;
  out["columns"] = string_array(index.columns);
  return util::dump_json_compact(out);
}

Result<TimeseriesMetadata> parse_timeseries_metadata(std::string_view bytes) {
  OrderedJson value = TRY(util::parse_json_record(bytes));
  TimeseriesMetadata out;
  TRY(util::read_record(value, kTimeseriesShape, [&](std::size_t i, const OrderedJson& f) -> Result<void> {
    switch (i) {
      case 0: out.table = TRY(util::read_json_string(f)); break;
      case 1: out.bucket_interval = TRY(util::read_json_string(f)); break;
      case 2: out.bucket_seconds = TRY(util::read_json_uint<std::uint64_t>(f)); break;
      case 3: out.ts_column = TRY(util::read_json_string(f)); break;
      default: out.value_columns = TRY(util::read_json_strings(f)); break;
    }
    return {};
  }));
  return out;
}

Result<std::string> encode_timeseries_metadata(const TimeseriesMetadata& meta) {
  OrderedJson out = OrderedJson::object();
  out["table"] = meta.table;
  out["bucket_interval"] = meta.bucket_interval;
  out["bucket_seconds"] = meta.bucket_seconds;
  out["ts_column"] = meta.ts_column;
  out["value_columns"] = string_array(meta.value_columns);
  return util::dump_json_compact(out);
}

}  // namespace quenlordb::facet::relational
