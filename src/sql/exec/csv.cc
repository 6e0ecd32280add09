#include "sql/exec/csv.h"

#include <charconv>

#include "util/unicode.h"

namespace quenlordb::sql::exec {

std::string csv_quote(std::string_view field) {
  const bool plain = field.find_first_of(",\"\n\r") == std::string_view::npos &&
                     util::trim_white_space(field).size() == field.size();
  if (plain) return std::string(field);
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

std::string_view csv_field_value(const CsvField& field) {
  return field.quoted ? std::string_view(field.text) : util::trim_white_space(field.text);
}

Result<bool> CsvReader::next(std::vector<CsvField>& fields) {
  const std::size_t size = text_.size();
  if (pos_ >= size) return false;
  ++record_;
  std::size_t n = 0;
  for (;;) {
    if (n == fields.size()) fields.emplace_back();
    CsvField& field = fields[n++];
    field.text.clear();
    field.quoted = pos_ < size && text_[pos_] == '"';
    if (field.quoted) {
      ++pos_;
      for (;;) {
        const std::size_t quote = text_.find('"', pos_);
        if (quote == std::string_view::npos) {
          return fail(QuenlorError::sql_execution("unterminated quoted field in CSV record " + std::to_string(record_)));
        }
        field.text.append(text_, pos_, quote - pos_);
        pos_ = quote + 1;
        if (pos_ >= size || text_[pos_] != '"') break;
        field.text.push_back('"');
        ++pos_;
      }
    }
    // The rest of the field, where a double quote is an ordinary character.
    std::size_t end = text_.find_first_of(",\n", pos_);
    if (end == std::string_view::npos) end = size;
    const bool last = end == size || text_[end] == '\n';
    std::size_t tail_end = end;
    if (last && tail_end > pos_ && text_[tail_end - 1] == '\r') --tail_end;
    field.text.append(text_, pos_, tail_end - pos_);
    pos_ = end + 1;  // past the "," or the line feed (or the end of the text)
    if (last) break;
  }
  fields.resize(n);
  return true;
}

bool is_blank_record(const std::vector<CsvField>& fields) {
  return fields.size() == 1 && !fields[0].quoted && util::trim_white_space(fields[0].text).empty();
}

namespace {

std::string_view without_final_cr(std::string_view line) {
  if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
  return line;
}

}  // namespace

std::string_view without_byte_order_mark(std::string_view text) {
  constexpr std::string_view kByteOrderMark = "\xEF\xBB\xBF";  // U+FEFF in UTF-8
  if (text.starts_with(kByteOrderMark)) text.remove_prefix(kByteOrderMark.size());
  return text;
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
