#include "util/json_record.h"

#include <cstring>
#include <vector>

namespace quenlordb::util {

namespace {

// nlohmann prefixes its messages with "[json.exception.<kind>.<id>] "; the rest is the message.
std::string parser_message(const char* what) {
  std::string_view text(what);
  if (text.starts_with("[json.exception.")) {
    std::size_t close = text.find("] ");
    if (close != std::string_view::npos) text.remove_prefix(close + 2);
  }
  return std::string(text);
}

// The types nlohmann's SAX interface names in its event signatures.
struct SaxTypes {
  using number_integer_t = OrderedJson::number_integer_t;
  using number_unsigned_t = OrderedJson::number_unsigned_t;
  using number_float_t = OrderedJson::number_float_t;
  using string_t = OrderedJson::string_t;
  using binary_t = OrderedJson::binary_t;
};

// Builds the value event by event. Containers are filled in place; a pointer to an open container
// stays valid because only the innermost open container ever grows.
class RecordSax : public SaxTypes {
 public:

  bool null() { return add(OrderedJson(nullptr)) != nullptr; }
  bool boolean(bool v) { return add(OrderedJson(v)) != nullptr; }
  bool number_integer(number_integer_t v) { return add(OrderedJson(v)) != nullptr; }
  bool number_unsigned(number_unsigned_t v) { return add(OrderedJson(v)) != nullptr; }
  bool number_float(number_float_t v, const string_t&) { return add(OrderedJson(v)) != nullptr; }
  bool string(string_t& v) { return add(OrderedJson(std::move(v))) != nullptr; }
  bool binary(binary_t& v) { return add(OrderedJson::binary(std::move(v))) != nullptr; }
  bool key(string_t& k) {
    key_ = std::move(k);
    return true;
  }
  bool start_object(std::size_t) { return open(OrderedJson::object()); }
  bool start_array(std::size_t) { return open(OrderedJson::array()); }
  bool end_object() {
    open_.pop_back();
    return true;
  }
  bool end_array() {
    open_.pop_back();
    return true;
  }
  bool parse_error(std::size_t, const std::string&, const nlohmann::detail::exception& ex) {
    error_ = parser_message(ex.what());
    return false;
  }

  OrderedJson& root() { return root_; }
  const std::string& error() const { return error_; }

 private:
  bool open(OrderedJson container) {
    if (open_.size() >= kJsonMaxDepth) {
      error_ = "recursion limit exceeded";
      return false;
    }
    OrderedJson* slot = add(std::move(container));
    open_.push_back(slot);
    return true;
  }

  OrderedJson* add(OrderedJson v) {
    if (open_.empty()) {
      root_ = std::move(v);
      return &root_;
    }
    OrderedJson& parent = *open_.back();
    if (parent.is_array()) {
      auto& elements = *parent.get_ptr<OrderedJson::array_t*>();
      elements.push_back(std::move(v));
      return &elements.back();
    }
    // Append through the object's underlying vector: the map's own insert would drop a repeated name.
    using Members = std::vector<std::pair<const std::string, OrderedJson>>;
    Members& members = *parent.get_ptr<OrderedJson::object_t*>();
    members.emplace_back(std::move(key_), std::move(v));
    return &members.back().second;
  }

  OrderedJson root_;
  std::vector<OrderedJson*> open_;
  std::string key_;
  std::string error_;
};

// Accepts every event and only counts the depth of open containers.
class CheckSax : public SaxTypes {
 public:

  bool null() { return true; }
  bool boolean(bool) { return true; }
  bool number_integer(number_integer_t) { return true; }
  bool number_unsigned(number_unsigned_t) { return true; }
  bool number_float(number_float_t, const string_t&) { return true; }
  bool string(string_t&) { return true; }
  bool binary(binary_t&) { return true; }
  bool key(string_t&) { return true; }
  bool start_object(std::size_t) { return open(); }
  bool start_array(std::size_t) { return open(); }
  bool end_object() { return close(); }
  bool end_array() { return close(); }
  bool parse_error(std::size_t, const std::string&, const nlohmann::detail::exception& ex) {
    error_ = parser_message(ex.what());
    return false;
  }

  const std::string& error() const { return error_; }

 private:
  bool open() {
    if (depth_ >= kJsonMaxDepth) {
      error_ = "recursion limit exceeded";
      return false;
    }
    ++depth_;
    return true;
  }
  bool close() {
    --depth_;
    return true;
  }

  std::size_t depth_ = 0;
  std::string error_;
};

QuenlorError serde(std::string text) { return QuenlorError::serde_json(std::move(text)); }

}  // namespace

Result<void> check_json_text(std::string_view text) {
  CheckSax sax;
  bool ok = nlohmann::json::sax_parse(text.begin(), text.end(), &sax, nlohmann::detail::input_format_t::json, true);
  if (!ok) return fail(serde(sax.error().empty() ? "invalid JSON" : sax.error()));
  return {};
}

Result<OrderedJson> parse_json_record(std::string_view text) {
  RecordSax sax;
  bool ok = OrderedJson::sax_parse(text.begin(), text.end(), &sax, nlohmann::detail::input_format_t::json, true);
  if (!ok) return fail(serde(sax.error().empty() ? "invalid JSON" : sax.error()));
  return std::move(sax.root());
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
                            std::string(shape.expecting) + " with " + std::to_string(n) + " elements"));
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

Result<std::string> dump_json_compact(const OrderedJson& value) {
  try {
    return value.dump();
  } catch (const nlohmann::json::exception& e) {
    return fail(serde(parser_message(e.what())));
  }
}

Result<std::string> dump_json_pretty(const OrderedJson& value) {
  try {
    return value.dump(2);
  } catch (const nlohmann::json::exception& e) {
    return fail(serde(parser_message(e.what())));
  }
}

}  // namespace quenlordb::util
