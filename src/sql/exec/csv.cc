#include "sql/exec/csv.h"

#include <charconv>

#include "util/unicode.h"

namespace quenlordb::sql::exec {

std::string csv_quote(std::string_view field) {
  if (field.find_first_of(",\"\n\r") == std::string_view::npos) return std::string(field);
  std::string out;
  out.reserve(field.size() + 2);
  out.push_back('"');
  for (char c : field) {
    if (c == '"') out.push_back('"');
    out.push_back(c);
  }
  out.push_back('"');
  return out;
}

std::vector<std::string> csv_parse_line(std::string_view record) {
  std::vector<std::string> fields;
  std::string current;
  bool in_quotes = false;
  for (std::size_t i = 0; i < record.size(); ++i) {
    const char c = record[i];
    if (in_quotes) {
      if (c == '"') {
        if (i + 1 < record.size() && record[i + 1] == '"') {
          current.push_back('"');
          ++i;
        } else {
          in_quotes = false;
        }
      } else {
        current.push_back(c);
      }
    } else if (c == '"') {
      in_quotes = true;
    } else if (c == ',') {
      fields.push_back(std::move(current));
      current.clear();
    } else {
      current.push_back(c);
    }
  }
  fields.push_back(std::move(current));
  return fields;
}

namespace {

std::string_view without_final_cr(std::string_view line) {
  if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
  return line;
}

}  // namespace

std::vector<std::string_view> csv_split_records(std::string_view text) {
  std::vector<std::string_view> records;
  bool in_quotes = false;  // two quotes in a row toggle twice, as the field reader treats them
  std::size_t start = 0;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '"') {
      in_quotes = !in_quotes;
    } else if (text[i] == '\n' && !in_quotes) {
      records.push_back(without_final_cr(text.substr(start, i - start)));
      start = i + 1;
    }
  }
  if (start < text.size()) records.push_back(without_final_cr(text.substr(start)));
  return records;
}

std::vector<std::string_view> split_lines(std::string_view text) {
  std::vector<std::string_view> lines;
  std::size_t start = 0;
  while (start < text.size()) {
    const std::size_t end = text.find('\n', start);
    if (end == std::string_view::npos) {
      lines.push_back(without_final_cr(text.substr(start)));
      break;
    }
    lines.push_back(without_final_cr(text.substr(start, end - start)));
    start = end + 1;
  }
  return lines;
}

bool is_blank_line(std::string_view line) { return util::trim_white_space(line).empty(); }

std::optional<std::int64_t> parse_decimal_integer(std::string_view text) {
  std::string_view digits = text;
  if (!digits.empty() && (digits.front() == '+' || digits.front() == '-')) digits.remove_prefix(1);
  if (digits.empty() || digits.find_first_not_of("0123456789") != std::string_view::npos) return std::nullopt;
  if (text.front() == '+') text.remove_prefix(1);
  std::int64_t value = 0;
  auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (ec != std::errc() || end != text.data() + text.size()) return std::nullopt;
  return value;
}

}  // namespace quenlordb::sql::exec
