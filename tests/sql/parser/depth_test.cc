// Hostile nesting must end in a clean parse error, and the deepest trees the parser accepts must be
// safe for every walker on a default thread stack, with or without sanitizers.
#include <pthread.h>

#include <gtest/gtest.h>

#include <functional>

#include "sql/parser/analysis.h"
#include "sql/parser/debug_text.h"
#include "sql/parser/parser.h"
#include "support/bytes.h"

namespace quenlordb::sql::parser {
namespace {

void on_default_stack(const std::function<void()>& fn) {
  quenlordb::testing::run_with_stack(quenlordb::testing::kDefaultThreadStack, fn);
}

Result<Expr> parse_whole(std::string_view sql) {
  Parser p(tokenize(sql).value());
  Result<Expr> e = p.parse_expr();
  if (e && !p.at_end()) return fail(QuenlorError::sql_parse("not all consumed"));
  return e;
}

std::string repeat(std::string_view s, std::size_t n) {
  std::string out;
  out.reserve(s.size() * n);
  for (std::size_t i = 0; i < n; ++i) out.append(s);
  return out;
}

// n nested copies of open ... close around core.
std::string nested(std::string_view open, std::string_view core, std::string_view close, std::size_t n) {
  return repeat(open, n) + std::string(core) + repeat(close, n);
}

const std::string kTooDeep = "query is nested too deeply (maximum depth 1000)";

TEST(DepthTest, HostileNestingFailsCleanly) {
  const std::size_t n = 100000;
  const std::pair<const char*, std::string> cases[] = {
      {"parentheses", nested("(", "1", ")", n)},
      {"NOT", repeat("NOT ", n) + "a"},
      {"minus and parentheses", nested("-(", "1", ")", n)},
      {"addition chain", "1" + repeat("+1", n)},
      {"OR chain", "a" + repeat(" OR a", n)},
      {"AND chain", "a" + repeat(" AND a", n)},
      {"multiplication chain", "a" + repeat("*a", n)},
      {"function arguments", nested("f(", "1", ")", n)},
      {"CASE", nested("CASE WHEN ", "1", " THEN 1 END", n)},
      {"CAST", nested("CAST(", "1", " AS int)", n)},
      {"IN lists", nested("a IN (", "1", ")", n)},
      {"comparisons", nested("a = (", "1", ")", n)},
      {"window partitions", nested("f() OVER (PARTITION BY ", "1", ")", n)},
      {"unclosed parentheses", repeat("(", n)},
  };
  on_default_stack([&] {
    for (const auto& [name, sql] : cases) {
      auto r = parse_whole(sql);
      ASSERT_FALSE(r) << name;
      EXPECT_EQ(r.error().kind(), ErrorKind::SqlParse) << name;
      EXPECT_EQ(r.error().message(), kTooDeep) << name;
    }
  });
}

// The budget counts one level per nested construct and per chain link, so depth 1000 parses and
// 1001 does not, whatever mix builds it. A chain stacked on a deep first operand counts both.
TEST(DepthTest, LimitIsExactAcrossConstructs) {
  struct Case {
    const char* name;
    std::function<std::string(std::size_t)> make;  // an expression of depth n
  };
  const Case cases[] = {
      {"parentheses", [](std::size_t n) { return nested("(", "1", ")", n); }},
      {"NOT", [](std::size_t n) { return repeat("NOT ", n) + "a"; }},
      {"addition chain", [](std::size_t n) { return "1" + repeat(" + 1", n); }},
      {"OR chain", [](std::size_t n) { return "a" + repeat(" OR a", n); }},
      {"unary minus over parentheses", [](std::size_t n) {
         return n % 2 == 0 ? nested("-(", "1", ")", n / 2) : "(" + nested("-(", "1", ")", n / 2) + ")";
       }},
      {"parentheses around a chain", [](std::size_t n) { return nested("(", "1" + repeat(" * 1", n - 400), ")", 400); }},
      {"chain on a deep first operand", [](std::size_t n) { return nested("(", "x", ")", 400) + repeat(" - 1", n - 400); }},
      {"chain on a deep later operand", [](std::size_t n) { return "1 + 1 + " + nested("(", "x", ")", n - 1); }},
      {"NOT LIKE", [](std::size_t n) { return "a NOT LIKE " + nested("(", "'x'", ")", n - 2); }},
      {"comparison over a deep left side", [](std::size_t n) { return nested("(", "x", ")", n - 1) + " = 1"; }},
      {"mixed", [](std::size_t n) {
         // f( CASE WHEN NOT ( ... ) THEN 1 END ) : four levels per round
         std::string open, close;
         std::size_t depth = 0;
         const std::pair<const char*, const char*> parts[] = {
             {"f(", ")"}, {"CASE WHEN ", " THEN 1 END"}, {"NOT ", ""}, {"(", ")"}};
         for (std::size_t i = 0; depth < n; ++i, ++depth) {
           open += parts[i % 4].first;
           close = parts[i % 4].second + close;
         }
         return open + "x" + close;
       }},
  };
  on_default_stack([&] {
    for (const Case& tc : cases) {
      auto at_limit = parse_whole(tc.make(Parser::kMaxDepth));
      EXPECT_TRUE(at_limit) << tc.name << ": " << at_limit.error().message();
      auto past = parse_whole(tc.make(Parser::kMaxDepth + 1));
      ASSERT_FALSE(past) << tc.name;
      EXPECT_EQ(past.error().message(), kTooDeep) << tc.name;
    }
  });
}

// A deep expression mixing every nesting construct, each with the depth it costs: it parses,
// renders, copies, compares, is analysed and is destroyed on a default stack, and it uses up the
// budget exactly as counted.
TEST(DepthTest, DeepExpressionIsSafeForEveryWalker) {
  struct Part {
    const char* open;
    const char* close;
    std::size_t depth;
  };
  const Part parts[] = {
      {"NOT ", "", 1},
      {"-(", ")", 2},
      {"f(1, ", ")", 1},
      {"CASE WHEN ", " THEN 1 END", 1},
      {"CAST(", " AS int)", 1},
      {"a IN (", ")", 1},
      {"1 + (", ")", 2},
      {"x BETWEEN 0 AND (", ")", 2},
      {"g() OVER (PARTITION BY ", ")", 1},
      {"SUM(", ")", 1},
      {"b NOT LIKE (", ")", 3},
      {"CASE ", " WHEN 1 THEN 2 END", 1},
  };
  std::string open, close;
  std::size_t depth = 0;
  for (std::size_t i = 0; depth < 900; ++i) {
    const Part& part = depth + parts[i % 12].depth <= 900 ? parts[i % 12] : Part{"(", ")", 1};
    open += part.open;
    close = part.close + close;
    depth += part.depth;
  }
  const std::string sql = open + "x" + close;
  on_default_stack([&] {
    auto parsed = parse_whole(sql);
    ASSERT_TRUE(parsed) << parsed.error().message();
    Expr copy = *parsed;
    EXPECT_EQ(copy, *parsed);
    const std::string text = debug_text(copy);
    EXPECT_EQ(text, debug_text(*parsed));
    EXPECT_EQ(text.rfind("Not(BinOp { left: NumberLit(0.0), op: Sub, right: Function { name: \"f\"", 0), 0u);
    // The SUMs and window functions sit inside an IN list and function arguments, where the
    // analysis does not look.
    EXPECT_FALSE(expr_contains_aggregate(copy));
    EXPECT_FALSE(expr_contains_window(copy));

    EXPECT_TRUE(parse_whole(nested("(", sql, ")", 100)));
    auto past = parse_whole(nested("(", sql, ")", 101));
    ASSERT_FALSE(past);
    EXPECT_EQ(past.error().message(), kTooDeep);
  });
}

// Statement trees as deep as the budget allows, built by hand the way the statement grammar nests
// them: every walker copes on a default stack.
TEST(DepthTest, DeepStatementTreesAreSafeForEveryWalker) {
  auto leaf = [] {
    Statement::Select s;
    s.from = TableRef::Named{"t"};
    s.items = {SelectItem::AllColumns{}};
    s.filter = Expr::BinOp{Expr::Column{"pk"}, BinOperator::Eq, Expr::StringLit{"k"}};
    return s;
  };
  using Wrap = std::function<Statement(Statement)>;
  const std::pair<const char*, Wrap> shapes[] = {
      {"EXPLAIN", [](Statement s) { return Statement::Explain{std::move(s)}; }},
      {"subquery in FROM",
       [&](Statement s) {
         Statement::Select outer = leaf();
         outer.from = TableRef::Subquery{std::move(s), "q"};
         return Statement(std::move(outer));
       }},
      {"CTE query",
       [&](Statement s) {
         Statement::Select outer = leaf();
         outer.ctes.push_back(CteClause{"c", std::move(s)});
         return Statement(std::move(outer));
       }},
      {"set operation chain",
       [&](Statement s) { return Statement::SetOp{SetOpType::Union, leaf(), std::move(s)}; }},
  };
  on_default_stack([&] {
    for (const auto& [name, wrap] : shapes) {
      Statement stmt = leaf();
      for (std::uint32_t i = 0; i < Parser::kMaxDepth; ++i) stmt = wrap(std::move(stmt));
      Statement copy = stmt;
      EXPECT_EQ(copy, stmt) << name;
      EXPECT_EQ(debug_text(copy), debug_text(stmt)) << name;
    }
  });
}

}  // namespace
}  // namespace quenlordb::sql::parser
