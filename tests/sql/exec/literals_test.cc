#include "sql/exec/literals.h"

#include <gtest/gtest.h>

#include "sql/parser/lexer.h"
#include "sql/parser/parser.h"

namespace quenlordb::sql::exec {
namespace {

using eval::SqlValue;

// The first item of `SELECT <expr> FROM t`, as the parser builds it.
parser::Expr parse_expr(std::string_view text) {
  auto stmt = parser::parse_sql("SELECT " + std::string(text) + " FROM t");
  EXPECT_TRUE(stmt) << text << ": " << stmt.error().to_string();
  const auto& select = std::get<parser::Statement::Select>(stmt->node());
  return select.items.at(0).get_if<parser::SelectItem::Expr>()->expr;
}

TEST(EvalConstExprTest, LiteralsAndExpressions) {
  struct Case {
    const char* expr;
    SqlValue value;
  };
  const Case cases[] = {
      {R"('it\'s')", SqlValue::text("it's")},
      {"2.5", SqlValue::number(2.5)},
      {"TRUE", SqlValue::boolean(true)},
      {"NULL", SqlValue::null()},
      {"1 + 2", SqlValue::number(3)},
      {"pk", SqlValue::text("")},
      {"name", SqlValue::null()},
      {"-4", SqlValue::number(-4)},
  };
  for (const Case& c : cases) {
    auto v = eval_const_expr(parse_expr(c.expr));
    ASSERT_TRUE(v) << c.expr << ": " << v.error().to_string();
    EXPECT_EQ(*v, c.value) << c.expr;
  }
  // A string literal is taken as it stands, not evaluated.
  EXPECT_EQ(eval_const_expr(parser::Expr::StringLit{"\xff"}).value(), SqlValue::text("\xff"));
  EXPECT_FALSE(eval_const_expr(parse_expr("CAST(1 AS NOPE)")));
}

TEST(EscapeSqlLiteralTest, ReadsBackThroughTheLexer) {
  struct Case {
    std::string_view text;
    std::string_view escaped;
  };
  const Case cases[] = {
      {"", ""}, {"plain", "plain"}, {"it's", "it\\'s"}, {"a\\b", "a\\\\b"}, {"\\'", "\\\\\\'"}, {"''", "\\'\\'"},
  };
  for (const Case& c : cases) {
    const std::string escaped = escape_sql_literal(c.text);
    EXPECT_EQ(escaped, c.escaped) << c.text;
    const std::string literal = "'" + escaped + "'";
    auto tokens = parser::tokenize(literal);
    ASSERT_TRUE(tokens) << c.text;
    ASSERT_EQ(tokens->size(), 1u) << c.text;
    EXPECT_EQ(parser::quoted_value((*tokens)[0]), c.text) << c.text;
  }
}

}  // namespace
}  // namespace quenlordb::sql::exec
