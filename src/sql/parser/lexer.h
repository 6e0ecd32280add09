// The tokens of one SQL statement and the tokeniser that produces them. No word is reserved:
// keywords are Word tokens that the grammar recognises by comparing without ASCII case.
// A token views the statement text it was cut from, which must outlive it; a string literal keeps
// its text as written, and quoted_value resolves its escapes when the parser takes it, so that
// cutting a statement into tokens copies nothing. Stateless; safe from any thread.
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
  char symbol = '\0';   // the character of a Symbol
  bool escaped = false;  // a Quoted text holding a backslash
  // The text of a Word or NumberText as written; of a Quoted, the bytes between its quotes (to the
  // end of the statement when it is not closed), escapes not resolved.
  std::string_view text;


  bool is_symbol(char c) const { return kind == TokenKind::Symbol && symbol == c; }

  friend bool operator==(const Token&, const Token&) = default;
};

// The value of a Quoted token: its text with each backslash and the character after it replaced by
// that character (a backslash that ends the text stands for itself).
std::string quoted_value(const Token& token);

// The value of a NumberText token (digits with an optional fraction): the nearest double; one too
// large for a double is infinity and one too small is zero.
double number_value(std::string_view text);

// A string literal as the tokeniser reads it, from the byte after its opening quote at `start`:
// the offset of its closing quote, the first one no backslash escapes (sql.size() when it is not
// closed), and whether it holds a backslash. sql is valid UTF-8.
struct QuotedEnd {
  std::size_t end;
  bool escaped;
};
QuotedEnd find_quoted_end(std::string_view sql, std::size_t start);

// The tokens of one statement text, viewing it. White space separates tokens; a literal cut short by the end
// of the text simply ends there. Fails (SqlParse) with "unexpected character {}" naming a character
// that starts no token (a lone "!", a "$" without a digit, a double quote, a non-ASCII letter, ...),
// and on text that is not valid UTF-8. Only white space gives an empty list.
Result<std::vector<Token>> tokenize(std::string_view sql);
// The same for a text already known to be valid UTF-8 (a piece split_sql_statements gave), which is
// not checked again.
Result<std::vector<Token>> tokenize_valid_utf8(std::string_view sql);
// The same into tokens, whose contents are replaced (and whose room is reused).
Result<void> tokenize_valid_utf8(std::string_view sql, std::vector<Token>& tokens);

}  // namespace quenlordb::sql::parser
