// The deepest trees the parser accepts must evaluate on a default thread stack, with or without
// sanitizers, and so must their copies and destruction.
#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "sql/eval/eval_context.h"
#include "sql/parser/parser.h"
#include "support/bytes.h"
#include "print_value.h"

namespace quenlordb::sql::eval {
namespace {

using parser::Expr;
using parser::Parser;

std::string repeat(std::string_view s, std::size_t n) {
  std::string out;
  for (std::size_t i = 0; i < n; ++i) out.append(s);
  return out;
}

std::string nested(std::string_view open, std::string_view core, std::string_view close, std::size_t n) {
  return repeat(open, n) + std::string(core) + repeat(close, n);
}

TEST(EvalDepthTest, DeepestParsedTreesEvaluateOnADefaultStack) {
  struct Case {
    const char* name;
    std::string sql;  // at the parser's depth limit
    std::function<void(const Result<SqlValue>&)> check;
  };
  const std::size_t n = Parser::kMaxDepth;
  const auto is = [](SqlValue want) {
    return [want](const Result<SqlValue>& got) {
      ASSERT_TRUE(got) << got.error().to_string();
      EXPECT_EQ(*got, want);
    };
  };
  const Case cases[] = {
      {"parentheses", nested("(", "1", ")", n), is(SqlValue::number(1))},
      {"NOT", repeat("NOT ", n) + "a", is(SqlValue::boolean(true))},
      {"addition chain", "1" + repeat(" + 1", n), is(SqlValue::number(n + 1.0))},
      {"AND chain", "1" + repeat(" AND 1", n), is(SqlValue::boolean(true))},
      {"OR chain", "0" + repeat(" OR 0", n), is(SqlValue::boolean(false))},
      {"comparisons", nested("TRUE = (", "TRUE", ")", n / 2), is(SqlValue::boolean(true))},
      {"unary minus", nested("-(", "1", ")", n / 2), is(SqlValue::number(1))},
      {"CASE", nested("CASE WHEN 1 THEN ", "7", " END", n), is(SqlValue::number(7))},
      {"simple CASE", nested("CASE ", "1", " WHEN 1 THEN 1 END", n), is(SqlValue::number(1))},
      {"CAST", nested("CAST(", "'3'", " AS int)", n), is(SqlValue::number(3))},
      {"IN", nested("TRUE IN (", "TRUE", ")", n), is(SqlValue::boolean(true))},
      {"BETWEEN", nested("TRUE BETWEEN FALSE AND (", "TRUE", ")", n / 2), is(SqlValue::boolean(true))},
      {"ILIKE", nested("'true' ILIKE (", "'true'", ")", n / 3), is(SqlValue::boolean(true))},
      {"IS NULL", nested("(", "x", ")", n - 1) + " IS NULL", is(SqlValue::boolean(true))},
      {"document member at the bottom", nested("(", "doc.a.b", ")", n), is(SqlValue::number(5))},
      // Functions evaluate their own arguments; at depth the library must keep its frames small too.
      {"function arguments", nested("coalesce(", "1", ")", n), is(SqlValue::number(1))},
      {"text function arguments", nested("upper(", "'a'", ")", n), is(SqlValue::text("A"))},
      {"conditional function", nested("if(1, ", "2", ", 3)", n), is(SqlValue::number(2))},
  };
  // The trees are parsed first (the parser has its own depth tests); evaluation, copying and
  // destruction then run on a thread with a default stack. (Under ASan they fit in a quarter of it.)
  std::vector<Expr> trees;
  for (const Case& c : cases) {
    parser::Parser p(parser::tokenize(c.sql).value());
    Result<Expr> parsed = p.parse_expr();
    ASSERT_TRUE(parsed && p.at_end()) << c.name;
    trees.push_back(std::move(*parsed));
  }
  quenlordb::testing::run_with_stack(quenlordb::testing::kDefaultThreadStack, [&] {
    for (std::size_t i = 0; i < trees.size(); ++i) {
      const Case& c = cases[i];
      bool evaluated;
      {
        const Expr copy = trees[i];
        EvalContext ctx("k", R"({"a": {"b": 5}})");
        SCOPED_TRACE(c.name);
        const Result<SqlValue> got = ctx.eval(copy);
        evaluated = got.has_value();
        c.check(got);
      }  // the copy is destroyed here
      EXPECT_EQ(filter_rows({{"k", "{}"}}, trees[i]).has_value(), evaluated) << c.name;
      Expr dropped = std::move(trees[i]);  // and the parsed tree here, still on this thread
    }
  });
}

}  // namespace
}  // namespace quenlordb::sql::eval
