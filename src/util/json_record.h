// Strict reading of typed JSON records (the manifest, schema records, insight records): the text is
// parsed once into a value that keeps repeated member names, then a record reader walks it field by
// field with the fixed messages "duplicate field `{}`", "missing field `{}`", "invalid length {},
// expected {}" and "invalid type: {}, expected {}". Every failure is QuenlorError::SerdeJson.
//
// Records are written with nlohmann::ordered_json, whose objects keep the declared field order.
#pragma once

#include <cstddef>
#include <cstdint>
#include <limits>
#include <span>
#include <string>
#include <string_view>
#include <type_traits>
#include <vector>

#include <nlohmann/json.hpp>

#include "error.h"
#include "util/function_ref.h"
#include "util/json_tree.h"

namespace quenlordb::util {

using OrderedJson = nlohmann::ordered_json;

// Checks that text is exactly one JSON value (white space only after it) nested at most
// kJsonMaxDepth deep, without building it. Failures carry the parser's message (SerdeJson).
Result<void> check_json_text(std::string_view text);

// Parses exactly one JSON value (white space only after it), refusing nesting deeper than
// kJsonMaxDepth. Unlike a plain DOM parse, an object keeps every member in document order, repeated
// names included, so that a record reader can refuse a repeated field: walk such objects with
// read_record or items(), never with find() or operator[] (those see only the first occurrence).
Result<OrderedJson> parse_json_record(std::string_view text);

// One field of a record, in declared order. A field that is not required takes its default when it
// is missing (from an object, or from the end of the array form).
struct RecordField {
  std::string_view name;
  bool required = true;
};

// A record type: its expecting text (e.g. "struct ManifestLevelFile") and its fields (at most 64).
struct RecordShape {
  std::string_view expecting;
  std::span<const RecordField> fields;
};

// Called once per given field (index into shape.fields, and its value), in document order.
using FieldReader = FunctionRef<Result<void>(std::size_t, const OrderedJson&)>;

// Reads one record given as an object (members matched by exact name, other members skipped
// whatever their value, a field given twice refused, a missing required field refused in declared
// order) or as an array of its field values in declared order (too few: "invalid length {n},
// expected {expecting} with {N} elements" unless every missing field is optional; too many:
// "trailing characters"). Anything else is "invalid type: {}, expected {expecting}".
Result<void> read_record(const OrderedJson& value, const RecordShape& shape, FieldReader read_field);

// Field readers. `expected` texts follow the record messages: "a string", "a sequence", "u64"...
Result<std::string> read_json_string(const OrderedJson& value);
// An unsigned integer that fits UInt (u8, u32 or u64); a float or a negative number is refused.
template <typename UInt>
Result<UInt> read_json_uint(const OrderedJson& value);
// Any JSON number as a double (an integer too: 1 reads as 1.0).
Result<double> read_json_f64(const OrderedJson& value);
// An array of integers 0 to 255, one per byte.
Result<std::string> read_json_bytes(const OrderedJson& value);
// An array of strings.
Result<std::vector<std::string>> read_json_strings(const OrderedJson& value);
// Calls read_element for each element of an array, in order.
Result<void> read_json_array(const OrderedJson& value, FunctionRef<Result<void>(const OrderedJson&)> read_element);

// "null", "boolean `true`", "integer `-1`", "floating point `1.5`", "string \"ab\"", "sequence",
// "map": how a found value is named in "invalid type: {}, expected {}".
std::string describe_json_value(const OrderedJson& value);
QuenlorError json_invalid_type(const OrderedJson& value, std::string_view expected);

// Dumps without white space. Failures (text that is not UTF-8) are SerdeJson.
Result<std::string> dump_json_compact(const OrderedJson& value);
Result<std::string> dump_json_compact(const nlohmann::json& value);

// Dumps with two-space indentation, no final newline. Failures (text that is not UTF-8) are
// SerdeJson.
Result<std::string> dump_json_pretty(const OrderedJson& value);

// ---- template implementation ----

Result<std::uint64_t> read_json_uint_max(const OrderedJson& value, std::uint64_t max, std::string_view expected);

template <typename UInt>
Result<UInt> read_json_uint(const OrderedJson& value) {
  static_assert(std::is_unsigned_v<UInt> && sizeof(UInt) <= 8);
  constexpr std::string_view name = sizeof(UInt) == 1 ? "u8" : sizeof(UInt) == 2 ? "u16" : sizeof(UInt) == 4 ? "u32" : "u64";
  std::uint64_t v = TRY(read_json_uint_max(value, std::numeric_limits<UInt>::max(), name));
  return static_cast<UInt>(v);
}

}  // namespace quenlordb::util
