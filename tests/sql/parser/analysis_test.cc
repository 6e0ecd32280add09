#include "sql/parser/analysis.h"

#include <gtest/gtest.h>

#include "sql/parser/parser.h"

namespace quenlordb::sql::parser {
namespace {

Expr parse(std::string_view sql) {
  Parser p(tokenize(sql).value());
  Expr e = p.parse_expr().value();
  EXPECT_TRUE(p.at_end()) << sql;
  return e;
}

TEST(AnalysisTest, IsAggregateFunction) {
  for (const char* name : {"count", "Count", "COUNT", "sum", "avg", "min", "max", "first", "last", "stddev",
                           "stddev_pop", "stddev_samp", "variance", "var_pop", "var_samp", "string_agg",
                           "group_concat", "Approx_Count_Distinct"}) {
    EXPECT_TRUE(is_aggregate_function(name)) << name;
  }
  for (const char* name : {"COUNT_DISTINCT", "MEDIAN", " COUNT", "COUNT ", "", "coalesce", "ROW_NUMBER"}) {
    EXPECT_FALSE(is_aggregate_function(name)) << name;
  }
}

TEST(AnalysisTest, ContainsAggregateLooksOnlyWhereItShould) {
  const std::pair<const char*, bool> cases[] = {
      {"SUM(x)", true},
      {"SUM(x) + 1", true},
      {"1 - count(*)", true},
      {"NOT MAX(x)", true},
      {"CAST(COUNT(*) AS TEXT)", true},
      {"COALESCE(SUM(x), 0)", true},
      {"f(g(h(avg(x))))", true},
      {"CASE WHEN COUNT(*) > 1 THEN 1 END", true},
      {"CASE x WHEN 1 THEN 2 ELSE MIN(y) END", true},
      {"CASE SUM(x) WHEN 1 THEN 2 END", true},
      {"CASE WHEN a THEN last(y) END", true},
      {"x + 1", false},
      {"SUM(x) IS NULL", false},
      {"COUNT(*) BETWEEN 1 AND 2", false},
      {"COUNT(*) IN (1, 2)", false},
      {"SUM(x) OVER ()", false},
      {"-(a)", false},
      {"MATCH(body, 'x')", false},
  };
  for (const auto& [sql, expected] : cases) EXPECT_EQ(expr_contains_aggregate(parse(sql)), expected) << sql;
}

TEST(AnalysisTest, ContainsWindowLooksOnlyWhereItShould) {
  const std::pair<const char*, bool> cases[] = {
      {"ROW_NUMBER() OVER ()", true},
      {"ROW_NUMBER() OVER () + 1", true},
      {"SUM(x) OVER (PARTITION BY g)", true},
      {"NOT rank() OVER ()", true},
      {"CAST(rank() OVER () AS TEXT)", true},
      {"CASE WHEN ROW_NUMBER() OVER () = 1 THEN 'a' END", true},
      {"CASE WHEN a THEN 1 ELSE rank() OVER () END", true},
      {"COALESCE(SUM(x) OVER (), 0)", false},
      {"ABS(ROW_NUMBER() OVER ())", false},
      {"rank() OVER () IS NULL", false},
      {"SUM(x)", false},
  };
  for (const auto& [sql, expected] : cases) EXPECT_EQ(expr_contains_window(parse(sql)), expected) << sql;
}

TEST(AnalysisTest, PkEqualityLiteral) {
  const std::pair<const char*, std::optional<std::string>> cases[] = {
      {"pk = 'a'", "a"},
      {"'a' = pk", "a"},
      {"PK = 'a'", "a"},
      {"pK = ''", ""},
      {"pk = 5", std::nullopt},
      {"doc.pk = 'a'", std::nullopt},
      {"t.pk = 'a'", std::nullopt},
      {"pk = 'a' AND b = 1", std::nullopt},
      {"pk <> 'a'", std::nullopt},
      {"pk = pk", std::nullopt},
      {"'a' = 'a'", std::nullopt},
      {"pkey = 'a'", std::nullopt},
      {"(pk = 'a')", "a"},
  };
  for (const auto& [sql, expected] : cases) EXPECT_EQ(extract_pk_eq_literal(parse(sql)), expected) << sql;
  EXPECT_EQ(extract_pk_eq_literal(std::nullopt), std::nullopt);
}

}  // namespace
}  // namespace quenlordb::sql::parser
