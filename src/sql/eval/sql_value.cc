#include "sql/eval/sql_value.h"

#include <cmath>

#include "sql/eval/number_text.h"
#include "util/json_document.h"
#include "util/saturate.h"

namespace quenlordb::sql::eval {

namespace {

std::partial_ordering compare_numbers(double a, double b) { return a <=> b; }

std::partial_ordering compare_number_text(double number, const std::string& text) {
  const std::optional<double> parsed = parse_decimal_float(text);
  if (!parsed) return std::partial_ordering::unordered;
  return number <=> *parsed;
}

}  // namespace

std::optional<double> to_f64(const SqlValue& value) {
  switch (value.kind()) {
    case SqlValue::Kind::Null:
      return std::nullopt;
    case SqlValue::Kind::Bool:
      return value.bool_value() ? 1.0 : 0.0;
    case SqlValue::Kind::Number:
      return value.number_value();
    case SqlValue::Kind::Text:
      return parse_decimal_float(value.text_value());
  }
  return std::nullopt;
}

void append_sort_string(std::string& out, const SqlValue& value) {
  switch (value.kind()) {
    case SqlValue::Kind::Null:
      return;
    case SqlValue::Kind::Bool:
      out.append(value.bool_value() ? "true" : "false");
      return;
    case SqlValue::Kind::Number:
      append_positional_float(out, value.number_value());
      return;
    case SqlValue::Kind::Text:
      out.append(value.text_value());
      return;
  }
}

std::string to_sort_string(const SqlValue& value) {
  if (value.is_text()) return value.text_value();
  std::string out;
  append_sort_string(out, value);
  return out;
}

std::string format_number(double x) {
  const std::int64_t i = util::saturate_to_i64(x);
  if (static_cast<double>(i) == x) return std::to_string(i);
  return positional_float_text(x);
}

std::partial_ordering cmp_partial(const SqlValue& left, const SqlValue& right) {
  using Kind = SqlValue::Kind;
  const Kind l = left.kind();
  const Kind r = right.kind();
  if (l == Kind::Null || r == Kind::Null) {
    return l == r ? std::partial_ordering::equivalent : std::partial_ordering::unordered;
  }
  if (l == Kind::Bool || r == Kind::Bool) {
    if (l != r) return std::partial_ordering::unordered;
    return left.bool_value() <=> right.bool_value();
  }
  if (l == Kind::Number) {
    return r == Kind::Number ? compare_numbers(left.number_value(), right.number_value())
                             : compare_number_text(left.number_value(), right.text_value());
  }
  if (r == Kind::Number) return 0 <=> compare_number_text(right.number_value(), left.text_value());
  // Both Text: std::string compares its chars as unsigned bytes (char_traits<char>::compare).
  return left.text_value().compare(right.text_value()) <=> 0;
}

bool is_truthy(const SqlValue& value) {
  switch (value.kind()) {
    case SqlValue::Kind::Null:
      return false;
    case SqlValue::Kind::Bool:
      return value.bool_value();
    case SqlValue::Kind::Number:
      return value.number_value() != 0.0;  // NaN != 0 holds
    case SqlValue::Kind::Text:
      return !value.text_value().empty();
  }
  return false;
}

SqlValue json_value_to_sql(const nlohmann::json& value) {
  using T = nlohmann::json::value_t;
  switch (value.type()) {
    case T::null:
    case T::discarded:
      return SqlValue::null();
    case T::boolean:
      return SqlValue::boolean(value.get<bool>());
    case T::number_integer:
      return SqlValue::number(static_cast<double>(value.get<std::int64_t>()));
    case T::number_unsigned:
      return SqlValue::number(static_cast<double>(value.get<std::uint64_t>()));
    case T::number_float:
      return SqlValue::number(value.get<double>());
    case T::string:
      return SqlValue::text(*value.get_ptr<const std::string*>());
    case T::array:
    case T::object:
    case T::binary:
      // Parsed documents hold only valid UTF-8; replace keeps the dump from throwing regardless.
      return SqlValue::text(value.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace));
  }
  return SqlValue::null();
}

SqlValue json_text_to_sql(util::JsonKind kind, std::string_view text) {
  switch (kind) {
    case util::JsonKind::Null:
      return SqlValue::null();
    case util::JsonKind::False:
      return SqlValue::boolean(false);
    case util::JsonKind::True:
      return SqlValue::boolean(true);
    case util::JsonKind::Number:
      return SqlValue::number(util::json_number_value(text));
    case util::JsonKind::String: {
      std::string content;
      if (text.find('\\') == std::string_view::npos) content.assign(text.substr(1, text.size() - 2));
      else util::append_json_string_content(content, text);
      return SqlValue::text(std::move(content));
    }
    case util::JsonKind::Array:
    case util::JsonKind::Object:
      break;
  }
  // The compact text with sorted keys: the value is parsed (the text is part of a valid document,
  // so it parses).
  Result<nlohmann::json> tree = util::parse_json_document(text);
  return tree ? json_value_to_sql(*tree) : SqlValue::null();
}

nlohmann::json sql_value_to_json(const SqlValue& value) {
  switch (value.kind()) {
    case SqlValue::Kind::Null:
      return nullptr;
    case SqlValue::Kind::Bool:
      return value.bool_value();
    case SqlValue::Kind::Number: {
      const double x = value.number_value();
      if (!std::isfinite(x)) return nullptr;
      return x;
    }
    case SqlValue::Kind::Text:
      return value.text_value();
  }
  return nullptr;
}

std::string debug_text(const SqlValue& value) {
  switch (value.kind()) {
    case SqlValue::Kind::Null:
      return "Null";
    case SqlValue::Kind::Bool:
      return value.bool_value() ? "Bool(true)" : "Bool(false)";
    case SqlValue::Kind::Number:
      return "Number(" + positional_float_text(value.number_value()) + ")";
    case SqlValue::Kind::Text:
      return "Text(" + nlohmann::json(value.text_value()).dump(-1, ' ', false, nlohmann::json::error_handler_t::replace) + ")";
  }
  return {};
}

}  // namespace quenlordb::sql::eval
