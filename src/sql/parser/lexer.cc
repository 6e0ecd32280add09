#include "sql/parser/lexer.h"

#include <charconv>
#include <cstring>
#include <limits>

#include "sql/parser/text.h"
#include "util/unicode.h"
#include "util/utf8.h"

namespace quenlordb::sql::parser {

namespace {

bool is_digit(char c) { return c >= '0' && c <= '9'; }
bool is_letter(char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }

QuenlorError unexpected_character(std::string_view sql, std::size_t pos) {
  const std::size_t len = util::decode_utf8_at(sql, pos).length;
  std::string message = "unexpected character ";
  message.append(sql.substr(pos, len));
  return QuenlorError::sql_parse(std::move(message));
}

// The offset of the first byte c in sql[from, to), or to.
std::size_t find_byte(std::string_view sql, std::size_t from, std::size_t to, char c) {
  if (from >= to) return to;
  const void* found = std::memchr(sql.data() + from, c, to - from);
  return found ? static_cast<std::size_t>(static_cast<const char*>(found) - sql.data()) : to;
}

}  // namespace

QuotedEnd find_quoted_end(std::string_view sql, std::size_t start) {
  // The next quote from i on is looked for again only once an escaped quote is passed, so that
  // each byte is searched once for a quote and once for a backslash.
  const std::size_t n = sql.size();
  std::size_t i = start;
  std::size_t quote = find_byte(sql, i, n, '\'');
  bool escaped = false;
  for (;;) {
    const std::size_t backslash = find_byte(sql, i, quote, '\\');
    if (backslash == quote) break;
    escaped = true;
    if (backslash + 1 == n) break;  // a backslash that ends the text stands for itself
    i = backslash + 1 + util::decode_utf8_at(sql, backslash + 1).length;  // past the escaped character
    if (i > quote) quote = find_byte(sql, i, n, '\'');
  }
  return QuotedEnd{quote, escaped};
}

std::string quoted_value(const Token& token) {
  const std::string_view raw = token.text;
  if (!token.escaped) return std::string(raw);
  std::string out;
  out.reserve(raw.size());
  std::size_t i = 0;
  while (i < raw.size()) {
    const std::size_t backslash = find_byte(raw, i, raw.size(), '\\');
    out.append(raw.substr(i, backslash - i));
    if (backslash + 1 >= raw.size()) {
      if (backslash < raw.size()) out.push_back('\\');  // the text's last byte, standing for itself
      break;
    }
    // The escaped character stands for itself: whole, since the text is valid UTF-8.
    const std::size_t length = util::decode_utf8_at(raw, backslash + 1).length;
    out.append(raw.substr(backslash + 1, length));
    i = backslash + 1 + length;
  }
  return out;
}

double number_value(std::string_view text) {
  double value = 0;
  const auto [ptr, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (ec == std::errc::result_out_of_range) {
    const std::string_view int_part = text.substr(0, text.find('.'));
    const bool large = int_part.find_first_not_of('0') != std::string_view::npos;
    value = large ? std::numeric_limits<double>::infinity() : 0.0;
  }
  return value;
}

Result<std::vector<Token>> tokenize(std::string_view sql) {
  TRY(check_utf8(sql));
  return tokenize_valid_utf8(sql);
}

Result<std::vector<Token>> tokenize_valid_utf8(std::string_view sql) {
  std::vector<Token> tokens;
  tokens.reserve(16);  // room for a short statement's tokens at once
  TRY(tokenize_valid_utf8(sql, tokens));
  return tokens;
}

Result<void> tokenize_valid_utf8(std::string_view sql, std::vector<Token>& tokens) {
  // Every character that starts or continues a token is ASCII, and no byte of a longer UTF-8
  // sequence is, so in valid UTF-8 the scan works on bytes and slices at byte offsets. Only white
  // space and string literals hold characters beyond ASCII.
  tokens.clear();
  // Each token is filled in place: one built aside and copied in would be read back, wide, before
  // its narrow stores land.
  const auto add = [&tokens](TokenKind kind, char symbol, std::string_view text, bool escaped = false) {
    Token& t = tokens.emplace_back();
    t.kind = kind;
    t.symbol = symbol;
    t.escaped = escaped;
    t.text = text;
  };
  const std::size_t n = sql.size();
  std::size_t i = 0;
  while (i < n) {
    const char c = sql[i];
    const char next = i + 1 < n ? sql[i + 1] : '\0';
    if (static_cast<unsigned char>(c) >= 0x80) {
      const util::Utf8Step step = util::decode_utf8_at(sql, i);
      if (!util::is_white_space(step.value)) return fail(unexpected_character(sql, i));
      i += step.length;
      continue;
    }
    if (util::is_white_space(static_cast<unsigned char>(c))) {
      ++i;
      continue;
    }
    switch (c) {
      case '!':
        if (next != '=') return fail(unexpected_character(sql, i));
        add(TokenKind::NotEqualOp, '\0', {});
        i += 2;
        continue;
      case '<':
        if (next == '>' || next == '=') {
          add(next == '>' ? TokenKind::NotEqualOp : TokenKind::LessEqualOp, '\0', {});
          i += 2;
        } else {
          add(TokenKind::Symbol, '<', {});
          ++i;
        }
        continue;
      case '>':
        if (next == '=') {
          add(TokenKind::GreaterEqualOp, '\0', {});
          i += 2;
        } else {
          add(TokenKind::Symbol, '>', {});
          ++i;
        }
        continue;
      case '(': case ')': case ',': case ';': case '=': case '*': case '.': case '+': case '-': case '/': case '%':
        add(TokenKind::Symbol, c, {});
        ++i;
        continue;
      case '\'': {
        const std::size_t start = i + 1;
        const QuotedEnd literal = find_quoted_end(sql, start);
        add(TokenKind::Quoted, '\0', sql.substr(start, literal.end - start), literal.escaped);
        i = literal.end < n ? literal.end + 1 : n;  // past the closing quote
        continue;
      }
      default:
        break;
    }
    if (is_digit(c)) {
      const std::size_t start = i;
      while (i < n && is_digit(sql[i])) ++i;
      if (i + 1 < n && sql[i] == '.' && is_digit(sql[i + 1])) {
        ++i;
        while (i < n && is_digit(sql[i])) ++i;
      }
      add(TokenKind::NumberText, '\0', sql.substr(start, i - start));
      continue;
    }
    if (c == '$') {
      if (!is_digit(next)) return fail(unexpected_character(sql, i));
      const std::size_t start = i++;
      while (i < n && is_digit(sql[i])) ++i;
      add(TokenKind::Word, '\0', sql.substr(start, i - start));
      continue;
    }
    if (is_letter(c) || c == '_') {
      const std::size_t start = i++;
      while (i < n && (is_letter(sql[i]) || is_digit(sql[i]) || sql[i] == '_' || sql[i] == '-')) ++i;
      add(TokenKind::Word, '\0', sql.substr(start, i - start));
      continue;
    }
    return fail(unexpected_character(sql, i));
  }
  return {};
}

}  // namespace quenlordb::sql::parser
