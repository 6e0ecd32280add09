#include "sql/parser/ast.h"

#include <gtest/gtest.h>

#include "sql/parser/debug_text.h"
#include "sql/parser/text.h"

namespace quenlordb::sql::parser {
namespace {

Expr col(std::string name) { return Expr::Column{std::move(name)}; }

Statement sample_statement() {
  Statement::Select inner;
  inner.from = TableRef::Named{"u"};
  inner.items = {SelectItem::Expr{Expr::Function{"SUM", {col("x")}}, "s"}};
  inner.filter = Expr::BinOp{col("a"), BinOperator::Gt, Expr::NumberLit{1}};

  Statement::Select outer;
  outer.ctes = {CteClause{"c", inner}};
  outer.from = TableRef::Subquery{inner, "q"};
  outer.items = {SelectItem::AllColumns{}};
  outer.order_by = std::vector<std::pair<Expr, OrderDirection>>{{col("s"), OrderDirection::Desc}};
  return Statement::Explain{Statement::SetOp{SetOpType::Union, outer, inner}};
}

// The filter of the Select on the left of the SetOp under the Explain of sample_statement().
Expr& left_subquery_filter(Statement& stmt) {
  auto& set_op = *stmt.get_if<Statement::Explain>()->statement.get_if<Statement::SetOp>();
  auto& subquery = *set_op.left.get_if<Statement::Select>()->from.get_if<TableRef::Subquery>();
  return *subquery.query.get_if<Statement::Select>()->filter;
}

TEST(AstTest, DeepCopyIsEqualAndIndependent) {
  Statement original = sample_statement();
  const std::string text = debug_text(original);

  Statement copy = original;
  EXPECT_EQ(copy, original);
  EXPECT_EQ(debug_text(copy), text);
  EXPECT_NE(&left_subquery_filter(copy), &left_subquery_filter(original));

  left_subquery_filter(copy).get_if<Expr::BinOp>()->op = BinOperator::Lt;
  EXPECT_NE(copy, original);
  EXPECT_EQ(debug_text(original), text);

  Statement assigned = Statement::Begin{};
  assigned = original;
  EXPECT_EQ(assigned, original);
  left_subquery_filter(original) = Expr::Null{};
  EXPECT_NE(assigned, original);
  EXPECT_EQ(debug_text(assigned), text);
}

TEST(AstTest, EqualityLooksAtEveryLevel) {
  const Expr a = Expr::Case{col("x"), {{Expr::NumberLit{1}, Expr::StringLit{"a"}}}, std::nullopt};
  EXPECT_EQ(a, Expr(Expr::Case{col("x"), {{Expr::NumberLit{1}, Expr::StringLit{"a"}}}, std::nullopt}));
  EXPECT_NE(a, Expr(Expr::Case{col("x"), {{Expr::NumberLit{1}, Expr::StringLit{"b"}}}, std::nullopt}));
  EXPECT_NE(a, Expr(Expr::Case{col("x"), {{Expr::NumberLit{1}, Expr::StringLit{"a"}}}, Expr::Null{}}));
  EXPECT_NE(a, Expr(Expr::Case{std::nullopt, {{Expr::NumberLit{1}, Expr::StringLit{"a"}}}, std::nullopt}));
  EXPECT_NE(Expr(col("a")), Expr(Expr::StringLit{"a"}));  // same payload, other variant
  EXPECT_NE(TableRef(TableRef::Named{"t"}), TableRef(TableRef::TableFunction{"t", {}, std::nullopt}));
}

TEST(AstTest, MovedFromHandlesAreSafeToCopyCompareAndRender) {
  Expr e = col("a");
  Expr taken = std::move(e);
  EXPECT_TRUE(e.empty());  // NOLINT: the moved-from state is what is tested
  EXPECT_FALSE(taken.empty());
  Expr copy = e;
  EXPECT_TRUE(copy.empty());
  EXPECT_EQ(copy, e);
  EXPECT_NE(copy, taken);
  EXPECT_EQ(debug_text(e), "");
  EXPECT_EQ(e.get_if<Expr::Column>(), nullptr);
  e = taken;
  EXPECT_EQ(e, taken);
}

TEST(AstTest, SqlTypeFromStrName) {
  const std::pair<const char*, std::optional<SqlType>> cases[] = {
      {"INT", SqlType::Integer},  {"integer", SqlType::Integer}, {"BigInt", SqlType::Integer},
      {"real", SqlType::Real},    {"FLOAT", SqlType::Real},      {"double", SqlType::Real},
      {"TEXT", SqlType::Text},    {"string", SqlType::Text},     {"varchar", SqlType::Text},
      {"Bool", SqlType::Boolean}, {"BOOLEAN", SqlType::Boolean}, {"blob", SqlType::Blob},
      {"BYTES", SqlType::Blob},   {"json", SqlType::Json},       {"DATE", std::nullopt},
      {"INT ", std::nullopt},     {"", std::nullopt},            {"ınt", SqlType::Integer},  // dotless i maps to I
      {"ſtring", SqlType::Text},  // long s maps to S
  };
  for (const auto& [word, type] : cases) EXPECT_EQ(SqlType::from_str_name(word), type) << word;
}

}  // namespace
}  // namespace quenlordb::sql::parser
