// CSV fields and records as COPY and READ_CSV read and write them: fields separated by ",", a
// field holding ",", a double quote, a line feed or a carriage return enclosed in double quotes
// with each inner double quote doubled. Records end in a line feed; a line feed inside an open
// quote belongs to the field, so every field csv_quote writes reads back whole. Pure functions.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace quenlordb::sql::exec {

// The field as written in a CSV record.
std::string csv_quote(std::string_view field);

// The fields of one record. Outside quotes a double quote opens a quoted section and is dropped
// (also mid-field) and "," ends a field; inside, two double quotes give one and a single one closes
// the section. An unterminated quote runs to the end. Always at least one field; no trimming.
std::vector<std::string> csv_parse_line(std::string_view record);

// The text cut into records at each line feed outside quotes; a carriage return right before such
// a line feed is dropped, a last record without a line feed counts, a final line feed adds none.
std::vector<std::string_view> csv_split_records(std::string_view text);

// Cut at every line feed (a carriage return before it dropped), for formats without quoting.
std::vector<std::string_view> split_lines(std::string_view text);

// True when nothing is left of the line after removing Unicode white space at both ends.
bool is_blank_line(std::string_view line);

// A field that is a decimal integer in the signed 64-bit range: an optional sign, then digits only
// (leading zeros allowed).
std::optional<std::int64_t> parse_decimal_integer(std::string_view text);

}  // namespace quenlordb::sql::exec
