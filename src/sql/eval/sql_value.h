// SqlValue, the one runtime value of the SQL dialect, and its rules: reading a value as a number,
// printing it as text, comparing two values, testing truth, and converting from and to JSON.
//
// Four kinds, in this order: Null, Bool, Number (a double: every number, NaN and infinities
// included), Text (owned UTF-8; also the compact JSON text of arrays and objects taken from
// documents). There is no integer kind. Values own their text and are copied freely.
//
// All rules are pure and cannot fail.
#pragma once

#include <compare>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <variant>

#include <nlohmann/json.hpp>

#include "util/json_scan.h"

namespace quenlordb::sql::eval {

class SqlValue {
 public:
  enum class Kind : std::uint8_t { Null, Bool, Number, Text };

  SqlValue() = default;  // Null
  static SqlValue null() { return {}; }
  static SqlValue boolean(bool b) { return SqlValue(std::in_place_index<1>, b); }
  static SqlValue number(double x) { return SqlValue(std::in_place_index<2>, x); }
  static SqlValue text(std::string s) { return SqlValue(std::in_place_index<3>, std::move(s)); }
  static SqlValue text(std::string_view s) { return text(std::string(s)); }
  static SqlValue text(const char* s) { return text(std::string(s)); }

  Kind kind() const { return static_cast<Kind>(v_.index()); }
  bool is_null() const { return v_.index() == 0; }
  bool is_bool() const { return v_.index() == 1; }
  bool is_number() const { return v_.index() == 2; }
  bool is_text() const { return v_.index() == 3; }

  // The payload of the kind the caller has checked; asking for another kind panics.
  bool bool_value() const { return std::get<1>(v_); }
  double number_value() const { return std::get<2>(v_); }
  const std::string& text_value() const& { return std::get<3>(v_); }
  std::string&& text_value() && { return std::get<3>(std::move(v_)); }

  // Structural equality of kind and payload (NaN differs from itself; -0 equals 0). SQL
  // comparison is cmp_partial.
  friend bool operator==(const SqlValue&, const SqlValue&) = default;

 private:
  struct NullPayload {
    friend bool operator==(NullPayload, NullPayload) = default;
  };
  using Storage = std::variant<NullPayload, bool, double, std::string>;
  template <std::size_t kIndex, typename Payload>
  SqlValue(std::in_place_index_t<kIndex> index, Payload&& payload) : v_(index, std::forward<Payload>(payload)) {}

  Storage v_;
};

// Null: none; Bool: 1 or 0; Number: itself; Text: read by the decimal float syntax, none when it
// does not match.
std::optional<double> to_f64(const SqlValue& value);

// Null: ""; Bool: "true" or "false"; Number: positional float text; Text: itself.
std::string to_sort_string(const SqlValue& value);
void append_sort_string(std::string& out, const SqlValue& value);

// The text of a number as CAST AS TEXT and TO_CHAR show it: the decimal integer when x saturated
// to a signed 64-bit integer converts back to x (3.0 gives 3, -0.0 gives 0, 2^63 gives
// 9223372036854775807), otherwise the positional float text.
std::string format_number(double x);

// The order of two values, unordered when they are not comparable: Null equals Null and nothing
// else; Bool with Bool (false < true); Number with Number by IEEE (NaN unordered); Number with
// Text by reading the text as a number (unordered when it is not one); Text with Text by UTF-8
// bytes; every other pairing unordered.
std::partial_ordering cmp_partial(const SqlValue& left, const SqlValue& right);

// Null never; Bool its value; Number unless 0 or -0 (NaN is true); Text unless empty.
bool is_truthy(const SqlValue& value);

// null: Null; booleans: Bool; numbers: Number (integers to the nearest double); strings: Text;
// arrays and objects: Text of their compact JSON text (keys in byte order).
SqlValue json_value_to_sql(const nlohmann::json& value);
// The same conversion of a value found in a valid document by util::JsonMembers: its kind and its
// text as written.
SqlValue json_text_to_sql(util::JsonKind kind, std::string_view text);

// Null: null; Bool; a finite Number: a JSON float (2 prints as 2.0); NaN and infinities: null;
// Text: a string.
nlohmann::json sql_value_to_json(const SqlValue& value);

// A one-line rendering for tests and diagnostics: Null, Bool(true), Number(2.5), Text("a").
std::string debug_text(const SqlValue& value);

}  // namespace quenlordb::sql::eval
