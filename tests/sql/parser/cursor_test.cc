#include <gtest/gtest.h>

#include "sql/parser/parser.h"

namespace quenlordb::sql::parser {
namespace {

Parser parser_for(std::string_view sql) { return Parser(tokenize(sql).value()); }

std::string message(const QuenlorError& e) {
  EXPECT_EQ(e.kind(), ErrorKind::SqlParse);
  return e.message();
}

TEST(CursorTest, PeekKeywordComparesWholeWordsWithoutAsciiCase) {
  Parser p = parser_for("FrOm FROMX 'from' ( ");
  EXPECT_TRUE(p.peek_kw("FROM"));
  EXPECT_TRUE(p.peek_kw("from"));
  EXPECT_FALSE(p.peek_kw("FRO"));
  EXPECT_FALSE(p.peek_kw("FROM", 1));
  EXPECT_FALSE(p.peek_kw("FROM", 2));  // a literal is not a keyword
  EXPECT_TRUE(p.peek_symbol('(', 3));
  EXPECT_FALSE(p.peek_kw("FROM", 9));  // past the end
  EXPECT_EQ(p.pos(), 0u);
}

TEST(CursorTest, ExpectationsConsumeOnSuccessOnly) {
  Parser p = parser_for("select Name 'lit' ) 007 $2");
  EXPECT_EQ(message(p.expect_kw("from").error()), "expected keyword FROM");
  EXPECT_EQ(p.pos(), 0u);
  ASSERT_TRUE(p.expect_kw("SELECT"));
  EXPECT_EQ(message(p.expect_string().error()), "expected string literal");
  EXPECT_EQ(p.expect_ident().value(), "Name");
  EXPECT_EQ(message(p.expect_ident().error()), "expected identifier");
  EXPECT_EQ(message(p.expect_symbol('(').error()), "expected symbol (");
  EXPECT_EQ(message(p.expect_number_u64().error()), "expected numeric literal");
  EXPECT_EQ(p.pos(), 2u);
  EXPECT_EQ(p.expect_string().value(), "lit");
  ASSERT_TRUE(p.expect_symbol(')'));
  EXPECT_EQ(p.expect_number_u64().value(), 7u);
  EXPECT_EQ(p.expect_ident().value(), "$2");
  EXPECT_TRUE(p.at_end());
  EXPECT_EQ(message(p.expect_ident().error()), "expected identifier");
  EXPECT_EQ(message(p.expect_symbol(')').error()), "expected symbol )");
  EXPECT_EQ(message(p.expect_kw("END").error()), "expected keyword END");
}

TEST(CursorTest, ExpectNumberU64) {
  struct Case {
    const char* sql;
    std::optional<std::uint64_t> value;
    const char* message;
  };
  const Case cases[] = {
      {"18446744073709551615", 18446744073709551615u, ""},
      {"0", 0, ""},
      {"18446744073709551616", std::nullopt, "invalid number"},
      {"1.5", std::nullopt, "invalid number"},
      {"'5'", std::nullopt, "expected numeric literal"},
      {"x", std::nullopt, "expected numeric literal"},
      {"", std::nullopt, "expected numeric literal"},
  };
  for (const Case& tc : cases) {
    Parser p = parser_for(tc.sql);
    auto r = p.expect_number_u64();
    if (tc.value) {
      ASSERT_TRUE(r) << tc.sql;
      EXPECT_EQ(*r, *tc.value);
      EXPECT_TRUE(p.at_end());
    } else {
      ASSERT_FALSE(r) << tc.sql;
      EXPECT_EQ(message(r.error()), tc.message) << tc.sql;
      EXPECT_EQ(p.pos(), 0u);
    }
  }
}

TEST(CursorTest, ExpectIdentEqConsumesTheWordBeforeComparing) {
  Parser p = parser_for("PK pkx 5");
  ASSERT_TRUE(p.expect_ident_eq("pk"));
  EXPECT_EQ(message(p.expect_ident_eq("pk").error()), "expected identifier pk, got pkx");
  EXPECT_EQ(p.pos(), 2u);
  EXPECT_EQ(message(p.expect_ident_eq("pk").error()), "expected identifier");
  EXPECT_EQ(p.pos(), 2u);
}

TEST(CursorTest, ParseSqlRefusesEmptyStatementsAndPassesLexerErrors) {
  for (const char* sql : {";", "   ", ""}) {
    auto r = parse_sql(sql);
    ASSERT_FALSE(r) << sql;
    EXPECT_EQ(r.error().to_string(), "sql parse error: unsupported SQL statement") << sql;
  }
  EXPECT_EQ(parse_sql("SELECT \"a\"").error().to_string(), "sql parse error: unexpected character \"");
}

}  // namespace
}  // namespace quenlordb::sql::parser
