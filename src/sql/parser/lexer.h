// The tokens of one SQL statement and the tokeniser that produces them. No word is reserved:
// keywords are Word tokens that the grammar recognises by comparing without ASCII case.
// Stateless; safe from any thread.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "error.h"

namespace quenlordb::sql::parser {

enum class TokenKind : std::uint8_t {
  Word,            // identifier or keyword as written, or a parameter "$" digits
  NumberText,      // unsigned numeric literal exactly as written: digits, optionally "." digits
  Quoted,          // single-quoted literal, quotes removed and escapes resolved
  Symbol,          // one of ( ) , ; = * . < > + - / %
  NotEqualOp,      // != or <>
  LessEqualOp,     // <=
  GreaterEqualOp,  // >=
};

struct Token {
  TokenKind kind;
  char symbol = '\0';  // the character of a Symbol
  std::string text;    // the text of a Word, NumberText or Quoted

  static Token word(std::string text) { return {TokenKind::Word, '\0', std::move(text)}; }
  static Token number(std::string text) { return {TokenKind::NumberText, '\0', std::move(text)}; }
  static Token quoted(std::string text) { return {TokenKind::Quoted, '\0', std::move(text)}; }
  static Token sym(char c) { return {TokenKind::Symbol, c, {}}; }
  static Token op(TokenKind kind) { return {kind, '\0', {}}; }

  bool is_symbol(char c) const { return kind == TokenKind::Symbol && symbol == c; }

  friend bool operator==(const Token&, const Token&) = default;
};

// The tokens of one statement text. White space separates tokens; a literal cut short by the end
// of the text simply ends there. Fails (SqlParse) with "unexpected character {}" naming a character
// that starts no token (a lone "!", a "$" without a digit, a double quote, a non-ASCII letter, ...),
// and on text that is not valid UTF-8. Only white space gives an empty list.
Result<std::vector<Token>> tokenize(std::string_view sql);
// The same for a text already known to be valid UTF-8 (a piece split_sql_statements gave), which is
// not checked again.
Result<std::vector<Token>> tokenize_valid_utf8(std::string_view sql);

}  // namespace quenlordb::sql::parser
