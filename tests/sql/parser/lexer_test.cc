#include "sql/parser/lexer.h"

#include <gtest/gtest.h>

namespace quenlordb::sql::parser {
namespace {

// Tokens as a compact line: w:word n:number q:quoted, symbols as themselves, != <= >= for the
// three operator kinds (both spellings of not-equal give !=).
std::string show(const std::vector<Token>& tokens) {
  std::string out;
  for (const Token& t : tokens) {
    if (!out.empty()) out += ' ';
    switch (t.kind) {
      case TokenKind::Word: out.append("w:").append(t.text); break;
      case TokenKind::NumberText: out.append("n:").append(t.text); break;
      case TokenKind::Quoted: out += "q:" + quoted_value(t); break;
      case TokenKind::Symbol: out += t.symbol; break;
      case TokenKind::NotEqualOp: out += "!="; break;
      case TokenKind::LessEqualOp: out += "<="; break;
      case TokenKind::GreaterEqualOp: out += ">="; break;
    }
  }
  return out;
}

TEST(LexerTest, Tokens) {
  struct Case {
    std::string sql;
    const char* tokens;
  };
  const Case cases[] = {
      {"a<>b a!=b", "w:a != w:b w:a != w:b"},
      {"a<=b>=c<d>e", "w:a <= w:b >= w:c < w:d > w:e"},
      {"a=<b", "w:a = < w:b"},
      {"( ) , ; = * . + - / %", "( ) , ; = * . + - / %"},
      {"SeLeCt _x9 a-b a - b", "w:SeLeCt w:_x9 w:a-b w:a - w:b"},
      {"-- note", "- - w:note"},
      {"$1 $12x", "w:$1 w:$12 w:x"},
      {"1.2.3", "n:1.2 . n:3"},
      {"1.", "n:1 ."},
      {"1e5", "n:1 w:e5"},
      {"007 .5", "n:007 . n:5"},
      {"'it\\'s' '\\\\' '\\n'", "q:it's q:\\ q:n"},
      {"'it''s'", "q:it q:s"},
      {"''", "q:"},
      {"'abc", "q:abc"},
      {"'", "q:"},
      {"'a\\", "q:a\\"},
      {"'\\é'", "q:é"},
      {"'a\\'b\\\\c\\'d' 'x\\\\' 'y'", "q:a'b\\c'd q:x\\ q:y"},
      {"'\\'\\'", "q:''"},
      {"SELECT 'é€𝄞', name FROM t", "w:SELECT q:é€𝄞 , w:name w:FROM w:t"},
      {"\u3000a\u00a0\u2028b\t\n\r\v\f", "w:a w:b"},
      {"", ""},
      {" \u205f ", ""},
  };
  for (const Case& tc : cases) {
    auto r = tokenize(tc.sql);
    ASSERT_TRUE(r) << tc.sql << ": " << r.error().to_string();
    EXPECT_EQ(show(*r), tc.tokens) << tc.sql;
  }
}

TEST(LexerTest, UnexpectedCharacters) {
  struct Case {
    std::string sql;
    const char* message;
  };
  const Case cases[] = {
      {"a!b", "sql parse error: unexpected character !"},
      {"a !", "sql parse error: unexpected character !"},
      {"$x", "sql parse error: unexpected character $"},
      {"\"name\"", "sql parse error: unexpected character \""},
      {"`n`", "sql parse error: unexpected character `"},
      {"a # b", "sql parse error: unexpected character #"},
      {"a ? b", "sql parse error: unexpected character ?"},
      {"a:b", "sql parse error: unexpected character :"},
      {"a[0]", "sql parse error: unexpected character ["},
      {"naïve", "sql parse error: unexpected character ï"},
      {"'x' 𝄞", "sql parse error: unexpected character 𝄞"},
      {"a \x01", "sql parse error: unexpected character \x01"},
      {"'\xc0\x80'", "sql parse error: invalid utf-8 sequence of 1 bytes from index 1"},
      {"'\xed\xa0\x80'", "sql parse error: invalid utf-8 sequence of 1 bytes from index 1"},
  };
  for (const Case& tc : cases) {
    auto r = tokenize(tc.sql);
    ASSERT_FALSE(r) << tc.sql;
    EXPECT_EQ(r.error().kind(), ErrorKind::SqlParse);
    EXPECT_EQ(r.error().to_string(), tc.message) << tc.sql;
  }
}

}  // namespace
}  // namespace quenlordb::sql::parser
