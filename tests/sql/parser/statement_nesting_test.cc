// Statement-level nesting (subqueries in FROM, WITH entries, EXPLAIN chains, set-operation chains)
// draws on the parser's one depth budget, so hostile input ends in the depth error and every tree
// the parser accepts can be walked on an ordinary thread stack.

#include <gtest/gtest.h>
#include <pthread.h>

#include <functional>
#include <string>

#include "sql/parser/debug_text.h"
#include "sql/parser/parser.h"
#include "support/bytes.h"

namespace quenlordb::sql::parser {
namespace {

const std::string kDepthError = "sql parse error: " + std::string(Parser::kDepthMessage);

void run_on_8mib_stack(const std::function<void()>& fn) {
  quenlordb::testing::run_with_stack(quenlordb::testing::kDefaultThreadStack, fn);
}

std::string repeat(std::string_view part, int n) {
  std::string out;
  out.reserve(part.size() * static_cast<std::size_t>(n));
  for (int i = 0; i < n; ++i) out += part;
  return out;
}

std::string nested_subqueries(int n, std::string_view innermost = "SELECT * FROM t") {
  return repeat("SELECT * FROM (", n) + std::string(innermost) + repeat(") s", n);
}

std::string nested_ctes(int n) { return repeat("WITH c AS (", n) + "SELECT * FROM t" + repeat(") SELECT * FROM c", n); }

std::string explain_chain(int n) { return repeat("EXPLAIN ", n) + "SHOW TABLES"; }

std::string union_chain(int n) { return "SELECT * FROM t" + repeat(" UNION SELECT * FROM t", n); }

std::string outcome(const std::string& sql) {
  auto parsed = parse_sql(sql);
  return parsed ? "ok" : parsed.error().to_string();
}

TEST(StatementNestingTest, HostileNestingEndsInTheDepthError) {
  run_on_8mib_stack([] {
    EXPECT_EQ(outcome(nested_subqueries(100000)), kDepthError);
    EXPECT_EQ(outcome(nested_ctes(100000)), kDepthError);
    EXPECT_EQ(outcome(explain_chain(100000)), kDepthError);
    EXPECT_EQ(outcome(repeat("EXPLAIN ANALYZE ", 100000) + "SHOW TABLES"), kDepthError);
    EXPECT_EQ(outcome(union_chain(100000)), kDepthError);
    EXPECT_EQ(outcome("CREATE TABLE x AS " + nested_subqueries(100000)), kDepthError);
  });
}

// Each construct may nest exactly as deep as the budget allows.
TEST(StatementNestingTest, TheBudgetEndsAtItsMaximum) {
  const int max = static_cast<int>(Parser::kMaxDepth);
  run_on_8mib_stack([max] {
    EXPECT_EQ(outcome(nested_subqueries(max)), "ok");
    EXPECT_EQ(outcome(nested_subqueries(max + 1)), kDepthError);
    EXPECT_EQ(outcome(nested_ctes(max)), "ok");
    EXPECT_EQ(outcome(nested_ctes(max + 1)), kDepthError);
    EXPECT_EQ(outcome(explain_chain(max)), "ok");
    EXPECT_EQ(outcome(explain_chain(max + 1)), kDepthError);
    EXPECT_EQ(outcome(union_chain(max)), "ok");
    EXPECT_EQ(outcome(union_chain(max + 1)), kDepthError);
  });
}

// A set operation puts the statement parsed before it one level down, under the new node.
TEST(StatementNestingTest, SetOperationCountsTheLevelItAddsAboveItsLeftSide) {
  const int max = static_cast<int>(Parser::kMaxDepth);
  run_on_8mib_stack([max] {
    EXPECT_EQ(outcome(nested_subqueries(max - 1) + " UNION SELECT * FROM t"), "ok");
    EXPECT_EQ(outcome(nested_subqueries(max) + " UNION SELECT * FROM t"), kDepthError);
    EXPECT_EQ(outcome(explain_chain(max) + " EXCEPT SELECT * FROM t"), kDepthError);
    // ... and its right side one level down.
    EXPECT_EQ(outcome("SELECT * FROM t UNION " + nested_subqueries(max - 1)), "ok");
    EXPECT_EQ(outcome("SELECT * FROM t UNION " + nested_subqueries(max)), kDepthError);
  });
}

// Statement nesting and expression nesting draw on the same budget.
TEST(StatementNestingTest, ExpressionsInsideSubqueriesShareTheBudget) {
  run_on_8mib_stack([] {
    auto query = [](int subqueries, int parens) {
      return nested_subqueries(subqueries, "SELECT * FROM t WHERE " + repeat("(", parens) + "a" + repeat(")", parens));
    };
    EXPECT_EQ(outcome(query(600, 300)), "ok");
    EXPECT_EQ(outcome(query(600, 500)), kDepthError);
  });
}

// The deepest trees the parser builds are rendered, copied, compared and destroyed without
// exhausting the stack (the sanitizer build makes every frame larger).
TEST(StatementNestingTest, DeepAcceptedTreesAreSafeToWalk) {
  const int max = static_cast<int>(Parser::kMaxDepth);
  for (const std::string& sql : {nested_subqueries(max), nested_ctes(max), explain_chain(max),
                                 union_chain(max), nested_subqueries(max / 2, nested_ctes(max / 2 - 1))}) {
    run_on_8mib_stack([&] {
      auto parsed = parse_sql(sql);
      ASSERT_TRUE(parsed) << parsed.error().to_string();
      const std::string text = debug_text(*parsed);
      EXPECT_GT(text.size(), sql.size() / 2);
      Statement copy = *parsed;
      EXPECT_EQ(copy, *parsed);
      EXPECT_EQ(debug_text(copy), text);
    });
  }
}

}  // namespace
}  // namespace quenlordb::sql::parser
