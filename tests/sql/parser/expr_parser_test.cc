#include <gtest/gtest.h>

#include <cmath>

#include "sql/parser/debug_text.h"
#include "sql/parser/parser.h"

namespace quenlordb::sql::parser {
namespace {

struct Parsed {
  Result<Expr> expr;
  std::size_t left;  // tokens not consumed
};

Parsed parse_expression(std::string_view sql) {
  Parser p(tokenize(sql).value());
  Result<Expr> expr = p.parse_expr();
  return {std::move(expr), p.tokens().size() - p.pos()};
}

// Short forms for the expected debug texts.
std::string C(const char* name) { return std::string("Column(\"") + name + "\")"; }
std::string N(const char* v) { return std::string("NumberLit(") + v + ")"; }
std::string S(const char* v) { return std::string("StringLit(\"") + v + "\")"; }
std::string B(const std::string& l, const char* op, const std::string& r) {
  return "BinOp { left: " + l + ", op: " + op + ", right: " + r + " }";
}
std::string Neg(const std::string& x) { return B(N("0.0"), "Sub", x); }

TEST(ExprParserTest, PrecedenceAndForms) {
  struct Case {
    const char* sql;
    std::string text;
    std::size_t left = 0;
  };
  const Case cases[] = {
      // OR below AND, both associating to the left
      {"a OR b AND c", B(C("a"), "Or", B(C("b"), "And", C("c")))},
      {"a AND b OR c", B(B(C("a"), "And", C("b")), "Or", C("c"))},
      {"a or b or c", B(B(C("a"), "Or", C("b")), "Or", C("c"))},
      {"a AND b AND c", B(B(C("a"), "And", C("b")), "And", C("c"))},
      // NOT binds more loosely than comparisons
      {"NOT a = 1", "Not(" + B(C("a"), "Eq", N("1.0")) + ")"},
      {"NOT NOT a", "Not(Not(" + C("a") + "))"},
      {"NOT a AND b", B("Not(" + C("a") + ")", "And", C("b"))},
      {"a NOT = 1", C("a"), 3},
      // comparison forms; comparisons do not chain
      {"a = b = c", B(C("a"), "Eq", C("b")), 2},
      {"a <> b", B(C("a"), "NotEq", C("b"))},
      {"a != b", B(C("a"), "NotEq", C("b"))},
      {"a < b + 1", B(C("a"), "Lt", B(C("b"), "Add", N("1.0")))},
      {"a > b", B(C("a"), "Gt", C("b"))},
      {"a <= b", B(C("a"), "LtEq", C("b"))},
      {"a >= b", B(C("a"), "GtEq", C("b"))},
      {"a IS NULL", "IsNull { expr: " + C("a") + ", negated: false }"},
      {"a is not null", "IsNull { expr: " + C("a") + ", negated: true }"},
      {"a IN (1, 'x')", "InList { expr: " + C("a") + ", list: [" + N("1.0") + ", " + S("x") + "], negated: false }"},
      {"a NOT IN (1, 2)", "InList { expr: " + C("a") + ", list: [" + N("1.0") + ", " + N("2.0") + "], negated: true }"},
      {"a IN (b OR c)", "InList { expr: " + C("a") + ", list: [" + B(C("b"), "Or", C("c")) + "], negated: false }"},
      {"a LIKE 'x%'", B(C("a"), "Like", S("x%"))},
      {"a ILIKE 'x' b", B(C("a"), "ILike", S("x")), 1},
      {"a NOT LIKE 'x%'", "Not(" + B(C("a"), "Like", S("x%")) + ")"},
      {"a NOT ILIKE b + c", "Not(" + B(C("a"), "ILike", B(C("b"), "Add", C("c"))) + ")"},
      {"a LIKE b = c", B(C("a"), "Like", C("b")), 2},
      {"a BETWEEN 1 AND 2", "Between { expr: " + C("a") + ", low: " + N("1.0") + ", high: " + N("2.0") + ", negated: false }"},
      {"a NOT BETWEEN 1 AND 2", "Between { expr: " + C("a") + ", low: " + N("1.0") + ", high: " + N("2.0") + ", negated: true }"},
      {"a BETWEEN 1 AND 2 AND b",
       B("Between { expr: " + C("a") + ", low: " + N("1.0") + ", high: " + N("2.0") + ", negated: false }", "And", C("b"))},
      {"a BETWEEN b - 1 AND c * 2",
       "Between { expr: " + C("a") + ", low: " + B(C("b"), "Sub", N("1.0")) + ", high: " + B(C("c"), "Mul", N("2.0")) +
           ", negated: false }"},
      // arithmetic
      {"1 + 2 * 3", B(N("1.0"), "Add", B(N("2.0"), "Mul", N("3.0")))},
      {"a - b - c", B(B(C("a"), "Sub", C("b")), "Sub", C("c"))},
      {"a / b % c * d", B(B(B(C("a"), "Div", C("b")), "Mod", C("c")), "Mul", C("d"))},
      {"(1 + 2) * 3", B(B(N("1.0"), "Add", N("2.0")), "Mul", N("3.0"))},
      {"a * FROM", C("a"), 2},
      {"a * from", C("a"), 2},
      {"a * fromx", B(C("a"), "Mul", C("fromx"))},
      // unary minus is 0 - operand over a primary
      {"-5", Neg(N("5.0"))},
      {"-a * b", B(Neg(C("a")), "Mul", C("b"))},
      {"2 - -3", B(N("2.0"), "Sub", Neg(N("3.0")))},
      {"-(a + b)", Neg(B(C("a"), "Add", C("b")))},
      {"a = -2", B(C("a"), "Eq", Neg(N("2.0")))},
      // operands
      {"'it\\'s'", S("it's")},
      {"*", "Star"},
      {"TRUE", "BoolLit(true)"},
      {"false", "BoolLit(false)"},
      {"Null", "Null"},
      {"$1", C("$1")},
      {"select", C("select")},
      {"a-b", C("a-b")},
      {"1.5e3", N("1.5"), 1},
      {"0.1", N("0.1")},
      {"123456789012345678", N("1.2345678901234568e17")},
      {"doc.a.b", "FieldAccess { column: \"doc\", path: [\"a\", \"b\"] }"},
      {"t.pk", "FieldAccess { column: \"t\", path: [\"pk\"] }"},
      {"count(*)", "Function { name: \"count\", args: [Star] }"},
      {"COUNT(*)", "Function { name: \"COUNT\", args: [Star] }"},
      {"f()", "Function { name: \"f\", args: [] }"},
      {"coalesce(a, 1 + 2)", "Function { name: \"coalesce\", args: [" + C("a") + ", " + B(N("1.0"), "Add", N("2.0")) + "] }"},
      {"match(body, 'word')", "Function { name: \"MATCH\", args: [" + C("body") + ", " + S("word") + "] }"},
      {"ROW_NUMBER() OVER (PARTITION BY g ORDER BY t DESC, u)",
       "WindowFunction { name: \"ROW_NUMBER\", args: [], partition_by: [" + C("g") + "], order_by: [(" + C("t") +
           ", Desc), (" + C("u") + ", Asc)] }"},
      {"SUM(x) OVER ()", "WindowFunction { name: \"SUM\", args: [" + C("x") + "], partition_by: [], order_by: [] }"},
      {"f(a) over (order by b asc)",
       "WindowFunction { name: \"f\", args: [" + C("a") + "], partition_by: [], order_by: [(" + C("b") + ", Asc)] }"},
      {"CASE WHEN a THEN 1 END",
       "Case { operand: None, when_clauses: [(" + C("a") + ", " + N("1.0") + ")], else_clause: None }"},
      {"CASE x WHEN 1 THEN 'a' ELSE 'b' END",
       "Case { operand: Some(" + C("x") + "), when_clauses: [(" + N("1.0") + ", " + S("a") + ")], else_clause: Some(" +
           S("b") + ") }"},
      {"CASE END", "Case { operand: None, when_clauses: [], else_clause: None }"},
      {"CASE x END", "Case { operand: Some(" + C("x") + "), when_clauses: [], else_clause: None }"},
      {"CAST(x AS varchar)", "Cast { expr: " + C("x") + ", target_type: \"VARCHAR\" }"},
      {"CAST(a + 1 AS Nope)", "Cast { expr: " + B(C("a"), "Add", N("1.0")) + ", target_type: \"NOPE\" }"},
      // the parser stops at the first token it cannot use
      {"a b", C("a"), 1},
      {"a, b", C("a"), 2},
      {"a )", C("a"), 1},
  };
  for (const Case& tc : cases) {
    Parsed p = parse_expression(tc.sql);
    ASSERT_TRUE(p.expr) << tc.sql << ": " << p.expr.error().to_string();
    EXPECT_EQ(debug_text(*p.expr), tc.text) << tc.sql;
    EXPECT_EQ(p.left, tc.left) << tc.sql;
  }
}

TEST(ExprParserTest, NumberLiterals) {
  const std::pair<std::string, double> cases[] = {
      {"10", 10.0},
      {"0.5", 0.5},
      {"007.25", 7.25},
      {"9007199254740993", 9007199254740992.0},  // nearest double, ties to even
      {"1" + std::string(400, '0'), INFINITY},
      {"1" + std::string(400, '0') + ".5", INFINITY},
      {"0." + std::string(400, '0') + "1", 0.0},
      {"0." + std::string(323, '0') + "5", 4.9406564584124654e-324},  // smallest subnormal
  };
  for (const auto& [sql, value] : cases) {
    Parsed p = parse_expression(sql);
    ASSERT_TRUE(p.expr) << sql;
    ASSERT_TRUE(p.expr->is<Expr::NumberLit>()) << sql;
    EXPECT_EQ(p.expr->get_if<Expr::NumberLit>()->value, value) << sql;
  }
  EXPECT_EQ(debug_text(*parse_expression("1" + std::string(400, '0')).expr), "NumberLit(inf)");
}

TEST(ExprParserTest, Failures) {
  struct Case {
    const char* sql;
    const char* message;
  };
  const Case cases[] = {
      {"", "unexpected token in expression at position 0"},
      {"a +", "unexpected token in expression at position 2"},
      {"- -3", "unexpected token in expression at position 1"},
      {"+5", "unexpected token in expression at position 0"},
      {"f(,)", "unexpected token in expression at position 2"},
      {"a IN ()", "unexpected token in expression at position 3"},
      {"MATCH()", "unexpected token in expression at position 2"},
      {"a = <= b", "unexpected token in expression at position 2"},
      {"a = )", "unexpected token in expression at position 2"},
      {"(a", "expected symbol )"},
      {"f(a", "expected symbol )"},
      {"f(a b)", "expected symbol )"},
      {"a IN 1", "expected symbol ("},
      {"a IN (1", "expected symbol )"},
      {"match", "expected symbol ("},
      {"MATCH body", "expected symbol ("},
      {"CAST x", "expected symbol ("},
      {"CAST(x varchar)", "expected keyword AS"},
      {"CAST(x AS 5)", "expected identifier"},
      {"CAST(x AS int", "expected symbol )"},
      {"a IS TRUE", "expected keyword NULL"},
      {"a IS NOT 5", "expected keyword NULL"},
      {"a BETWEEN 1 OR 2", "expected keyword AND"},
      {"CASE WHEN a 1 END", "expected keyword THEN"},
      {"CASE WHEN a THEN 1", "expected keyword END"},
      {"CASE x WHEN 1 THEN 2 ELSE 3 4", "expected keyword END"},
      {"f() OVER", "expected symbol ("},
      {"f() OVER (PARTITION g)", "expected keyword BY"},
      {"f() OVER (ORDER g)", "expected keyword BY"},
      {"f() OVER (ORDER BY g", "expected symbol )"},
      {"t.*", "expected identifier"},
      {"t.", "expected identifier"},
      {"t.'a'", "expected identifier"},
  };
  for (const Case& tc : cases) {
    Parsed p = parse_expression(tc.sql);
    ASSERT_FALSE(p.expr) << tc.sql << " gave " << debug_text(*p.expr);
    EXPECT_EQ(p.expr.error().kind(), ErrorKind::SqlParse);
    EXPECT_EQ(p.expr.error().message(), tc.message) << tc.sql;
  }
}

// The position counts tokens, not bytes or characters: the literal before the bad token holds
// multi-byte characters.
TEST(ExprParserTest, PositionCountsTokens) {
  Parsed p = parse_expression("'é€😀' = 'ü' + )");
  ASSERT_FALSE(p.expr);
  EXPECT_EQ(p.expr.error().message(), "unexpected token in expression at position 4");
}

}  // namespace
}  // namespace quenlordb::sql::parser
