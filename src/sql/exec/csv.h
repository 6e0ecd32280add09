// CSV records as COPY and READ_CSV read and write them, the way CSV tools (Python's csv module
// among them) mean them: fields separated by ",", records ended by a line feed (a carriage return
// right before it dropped).
//
// Writing: a field holding ",", a double quote, a line feed or a carriage return, or beginning or
// ending with white space, is enclosed in double quotes with each inner double quote doubled;
// every other field is written unchanged.
//
// Reading: a double quote opens a quoted section only as the first character of a field; anywhere
// else it is an ordinary character (ab"cd" reads as itself). Inside the section two double quotes
// give one, a lone one ends it, and ",", line feeds and carriage returns are part of the field;
// whatever follows the closing quote up to the next "," or line feed is appended as written. A text
// that ends inside a quoted section fails with "unterminated quoted field in CSV record {n}". Every
// field csv_quote writes therefore reads back exactly. Pure functions and a reader used by one
// thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "error.h"

namespace quenlordb::sql::exec {

// The field as written in a CSV record.
std::string csv_quote(std::string_view field);

// One field as read: its text, and whether it opened with a double quote. Readers that trim white
// space trim only fields that were not quoted (csv_field_value).
struct CsvField {
  std::string text;
  bool quoted = false;
};

// The field's value where white space around a value does not count: a quoted field as it is, any
// other without Unicode white space at both ends.
std::string_view csv_field_value(const CsvField& field);

// Reads a text record by record. A final line feed adds no record; a last record without one
// counts. The text must outlive the reader.
class CsvReader {
 public:
  explicit CsvReader(std::string_view text) : text_(text) {}

  // The next record's fields into fields (resized to their number, at least one, reusing its
  // storage); false when no record is left.
  Result<bool> next(std::vector<CsvField>& fields);
  // The number of the record next read last, from 1 (0 before the first).
  std::size_t record_number() const { return record_; }

 private:
  std::string_view text_;
  std::size_t pos_ = 0;
  std::size_t record_ = 0;
};

// Whether a record is blank: one field, not quoted, of white space only.
bool is_blank_record(const std::vector<CsvField>& fields);

// A file's text without the one byte-order mark (U+FEFF) that spreadsheet programs and some
// editors write at its very start; a mark anywhere else is data.
std::string_view without_byte_order_mark(std::string_view text);

// Cut at every line feed (a carriage return before it dropped), for formats without quoting.
std::vector<std::string_view> split_lines(std::string_view text);

// True when nothing is left of the line after removing Unicode white space at both ends.
bool is_blank_line(std::string_view line);

// A field that is a decimal integer in the signed 64-bit range: an optional sign, then digits only
// (leading zeros allowed).
std::optional<std::int64_t> parse_decimal_integer(std::string_view text);

}  // namespace quenlordb::sql::exec
