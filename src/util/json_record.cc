#include "util/json_record.h"

#include <cstring>
#include <vector>

#include "util/json_scan.h"

namespace quenlordb::util {

namespace {

QuenlorError serde(std::string text) { return QuenlorError::serde_json(std::move(text)); }

}  // namespace

Result<void> check_json_text(std::string_view text) {
  // The scanner accepts exactly what the tree reader accepts; only a refusal needs the tree
  // reader's message.
  if (json_text_is_document(text)) return {};
  return json_tree_detail::DepthCheck().parse(text);
}

Result<OrderedJson> parse_json_record(std::string_view text) {
  using Builder = json_tree_detail::TreeBuilder<OrderedJson, json_tree_detail::RepeatedKeys::KeepAll>;
  return Builder().parse(text);
}

Result<void> read_record(const OrderedJson& value, const RecordShape& shape, FieldReader read_field) {
  const std::size_t n = shape.fields.size();
  if (n > 64) panic("record shape with more than 64 fields");
  if (value.is_array()) {
    const auto& elements = *value.get_ptr<const OrderedJson::array_t*>();
    for (std::size_t i = 0; i < n; ++i) {
      if (i < elements.size()) {
        TRY(read_field(i, elements[i]));
        continue;
      }
      for (std::size_t j = i; j < n; ++j) {
        if (shape.fields[j].required) {
          return fail(serde("invalid length " + std::to_string(elements.size()) + ", expected " +
                            std::string(shape.expecting) + " with " + std::to_string(n) +
                            (n == 1 ? " element" : " elements")));
        }
      }
      return {};
    }
    if (elements.size() > n) return fail(serde("trailing characters"));
    return {};
  }
  if (!value.is_object()) return fail(json_invalid_type(value, shape.expecting));
  std::uint64_t seen = 0;
  for (const auto& [name, field_value] : *value.get_ptr<const OrderedJson::object_t*>()) {
    std::size_t i = 0;
    while (i < n && shape.fields[i].name != name) ++i;
    if (i == n) continue;
    const std::uint64_t bit = std::uint64_t{1} << i;
    if (seen & bit) return fail(serde("duplicate field `" + name + "`"));
    seen |= bit;
    TRY(read_field(i, field_value));
  }
  for (std::size_t i = 0; i < n; ++i) {
    if (shape.fields[i].required && !(seen & (std::uint64_t{1} << i))) {
      return fail(serde("missing field `" + std::string(shape.fields[i].name) + "`"));
    }
  }
  return {};
}

Result<std::string> read_json_string(const OrderedJson& value) {
  if (!value.is_string()) return fail(json_invalid_type(value, "a string"));
  return *value.get_ptr<const OrderedJson::string_t*>();
}

Result<double> read_json_f64(const OrderedJson& value) {
  if (!value.is_number()) return fail(json_invalid_type(value, "f64"));
  return value.get<double>();
}

Result<std::uint64_t> read_json_uint_max(const OrderedJson& value, std::uint64_t max, std::string_view expected) {
  if (value.is_number_unsigned()) {
    std::uint64_t v = value.get<std::uint64_t>();
    if (v > max) {
      return fail(serde("invalid value: integer `" + std::to_string(v) + "`, expected " + std::string(expected)));
    }
    return v;
  }
  if (value.is_number_integer()) {  // signed, so negative
    return fail(serde("invalid value: integer `" + std::to_string(value.get<std::int64_t>()) + "`, expected " +
                      std::string(expected)));
  }
  return fail(json_invalid_type(value, expected));
}

Result<std::string> read_json_bytes(const OrderedJson& value) {
  if (!value.is_array()) return fail(json_invalid_type(value, "a sequence"));
  const auto& elements = *value.get_ptr<const OrderedJson::array_t*>();
  std::string out;
  out.reserve(elements.size());
  for (const OrderedJson& e : elements) out.push_back(static_cast<char>(TRY(read_json_uint<std::uint8_t>(e))));
  return out;
}

Result<void> read_json_array(const OrderedJson& value, FunctionRef<Result<void>(const OrderedJson&)> read_element) {
  if (!value.is_array()) return fail(json_invalid_type(value, "a sequence"));
  for (const OrderedJson& e : *value.get_ptr<const OrderedJson::array_t*>()) TRY(read_element(e));
  return {};
}

Result<std::vector<std::string>> read_json_strings(const OrderedJson& value) {
  if (!value.is_array()) return fail(json_invalid_type(value, "a sequence"));
  const auto& elements = *value.get_ptr<const OrderedJson::array_t*>();
  std::vector<std::string> out;
  out.reserve(elements.size());
  for (const OrderedJson& e : elements) out.push_back(TRY(read_json_string(e)));
  return out;
}

std::string describe_json_value(const OrderedJson& value) {
  switch (value.type()) {
    case OrderedJson::value_t::null: return "null";
    case OrderedJson::value_t::boolean: return value.get<bool>() ? "boolean `true`" : "boolean `false`";
    case OrderedJson::value_t::number_integer: return "integer `" + std::to_string(value.get<std::int64_t>()) + "`";
    case OrderedJson::value_t::number_unsigned: return "integer `" + std::to_string(value.get<std::uint64_t>()) + "`";
    case OrderedJson::value_t::number_float: return "floating point `" + value.dump() + "`";
    case OrderedJson::value_t::string: return "string " + value.dump();
    case OrderedJson::value_t::array: return "sequence";
    case OrderedJson::value_t::object: return "map";
    case OrderedJson::value_t::binary: return "byte array";
    case OrderedJson::value_t::discarded: break;
  }
  return "value";
}

QuenlorError json_invalid_type(const OrderedJson& value, std::string_view expected) {
  return serde("invalid type: " + describe_json_value(value) + ", expected " + std::string(expected));
}

namespace {

template <typename Json>
Result<std::string> dump_compact(const Json& value) {
  try {
    return value.dump();
  } catch (const nlohmann::json::exception& e) {
    return fail(serde(json_tree_detail::parser_message(e.what())));
  }
}

}  // namespace

Result<std::string> dump_json_compact(const OrderedJson& value) { return dump_compact(value); }

Result<std::string> dump_json_compact(const nlohmann::json& value) { return dump_compact(value); }

Result<std::string> dump_json_pretty(const OrderedJson& value) {
  try {
    return value.dump(2);
  } catch (const nlohmann::json::exception& e) {
    return fail(serde(json_tree_detail::parser_message(e.what())));
  }
}

}  // namespace quenlordb::util
