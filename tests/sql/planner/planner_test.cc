#include "sql/planner/planner.h"

#include <gtest/gtest.h>

#include <string>
#include <string_view>

#include "sql/parser/debug_text.h"
#include "sql/parser/parser.h"

namespace quenlordb::sql::planner {
namespace {

parser::Statement parse(std::string_view sql) {
  auto parsed = parser::parse_sql(sql);
  EXPECT_TRUE(parsed.has_value()) << sql << ": " << (parsed ? "" : parsed.error().message());
  return std::move(parsed).value();
}

std::string explain(std::string_view sql) { return explain_plan(parse(sql)); }

double selectivity(std::string_view condition) {
  const parser::Statement stmt = parse(std::string("SELECT * FROM t WHERE ") + std::string(condition));
  return estimate_selectivity(*stmt.get_if<parser::Statement::Select>()->filter);
}

std::string repeat(std::string_view s, int n) {
  std::string out;
  for (int i = 0; i < n; ++i) out += s;
  return out;
}

struct GoldenCase {
  const char* name;
  const char* sql;
  std::string expected;
};

TEST(PlannerTest, GoldenExplainTexts) {
  const GoldenCase cases[] = {
      {"point lookup", "SELECT * FROM t WHERE pk = 'x'",
       "Query Plan:\n"
       "  Project cols=1\n"
       "    PointLookup table=t pk=x cost=1.0\n"
       "Estimated cost: 1.0"},
      {"point lookup with the literal on the left", "SELECT doc FROM t WHERE 'a' = PK",
       "Query Plan:\n"
       "  Project cols=1\n"
       "    PointLookup table=t pk=a cost=1.0\n"
       "Estimated cost: 1.0"},
      {"plain scan", "SELECT * FROM t",
       "Query Plan:\n"
       "  Project cols=1\n"
       "    FullScan table=t est_rows=1000 cost=1000.0\n"
       "Estimated cost: 1000.0"},
      {"a number key is a filtered scan", "SELECT * FROM t WHERE pk = 5",
       "Query Plan:\n"
       "  Project cols=1\n"
       "    Filter sel=0.00 pred=[BinOp { left: Column(\"pk\"), op: Eq, right: NumberLit(5.0) }]\n"
       "      FullScan table=t est_rows=1000 cost=1000.0\n"
       "Estimated cost: 1000.0"},
      {"sort, limit and project", "SELECT a, b FROM t WHERE a > 1 ORDER BY a LIMIT 5",
       "Query Plan:\n"
       "  Project cols=2\n"
       "    Limit n=5\n"
       "      Sort keys=1 cost=20931.6\n"
       "        Filter sel=0.33 pred=[BinOp { left: Column(\"a\"), op: Gt, right: NumberLit(1.0) }]\n"
       "          FullScan table=t est_rows=1000 cost=1000.0\n"
       "Estimated cost: 20931.6"},
      {"hash join on an equality", "SELECT * FROM a JOIN b ON x = y",
       "Query Plan:\n"
       "  Project cols=1\n"
       "    HashJoin type=INNER cost=2500.0\n"
       "      FullScan table=a est_rows=1000 cost=1000.0\n"
       "      FullScan table=b est_rows=1000 cost=1000.0\n"
       "Estimated cost: 2500.0"},
      {"cross join", "SELECT * FROM a CROSS JOIN b",
       "Query Plan:\n"
       "  Project cols=1\n"
       "    NestedLoopJoin type=CROSS cost=500000.0\n"
       "      FullScan table=a est_rows=1000 cost=1000.0\n"
       "      FullScan table=b est_rows=1000 cost=1000.0\n"
       "Estimated cost: 500000.0"},
      {"a conjunction in ON is a nested loop; the join sits over the filtered left side",
       "SELECT * FROM a LEFT JOIN b ON x = y AND z = w WHERE pk = 'k'",
       "Query Plan:\n"
       "  Project cols=1\n"
       "    NestedLoopJoin type=LEFT cost=500000.0\n"
       "      PointLookup table=a pk=k cost=1.0\n"
       "      FullScan table=b est_rows=1000 cost=1000.0\n"
       "Estimated cost: 500000.0"},
      {"right join on a non-equality", "SELECT * FROM a RIGHT JOIN b ON x < y",
       "Query Plan:\n"
       "  Project cols=1\n"
       "    NestedLoopJoin type=RIGHT cost=500000.0\n"
       "      FullScan table=a est_rows=1000 cost=1000.0\n"
       "      FullScan table=b est_rows=1000 cost=1000.0\n"
       "Estimated cost: 500000.0"},
      {"count(*)", "SELECT COUNT(*) FROM t",
       "Query Plan:\n"
       "  Project cols=1\n"
       "    Aggregate groups=0 aggs=1\n"
       "      FullScan table=t est_rows=1000 cost=1000.0\n"
       "Estimated cost: 1100.0"},
      {"a nested aggregate makes the node but is not counted", "SELECT a, SUM(b) + 1 FROM t GROUP BY a",
       "Query Plan:\n"
       "  Project cols=2\n"
       "    Aggregate groups=1 aggs=0\n"
       "      FullScan table=t est_rows=1000 cost=1000.0\n"
       "Estimated cost: 1100.0"},
      {"group by alone, sorted", "SELECT a, count(*) AS n, max(b) FROM t GROUP BY a, c ORDER BY a DESC, n",
       "Query Plan:\n"
       "  Project cols=3\n"
       "    Sort keys=2 cost=21031.6\n"
       "      Aggregate groups=2 aggs=2\n"
       "        FullScan table=t est_rows=1000 cost=1000.0\n"
       "Estimated cost: 21031.6"},
      {"WITH, AS OF, FOR and HAVING change nothing",
       "WITH c AS (SELECT * FROM u) SELECT a FROM t FOR SYSTEM_TIME AS OF 3 AS OF 5 GROUP BY a HAVING a > 1",
       "Query Plan:\n"
       "  Project cols=1\n"
       "    Aggregate groups=1 aggs=0\n"
       "      FullScan table=t est_rows=1000 cost=1000.0\n"
       "Estimated cost: 1100.0"},
      {"an insert has no plan", "INSERT INTO t (pk, doc) VALUES ('a', '{}')",
       R"(No plan available for: Insert { table: "t", pk: "a", doc: "{}" })"},
  };
  for (const GoldenCase& c : cases) EXPECT_EQ(explain(c.sql), c.expected) << c.name;
}

TEST(PlannerTest, SourcesOtherThanATableHaveNoPlan) {
  for (const char* sql : {"SELECT * FROM (SELECT * FROM t) s", "SELECT * FROM read_csv('x.csv')",
                          "SELECT * FROM t UNION SELECT * FROM u", "EXPLAIN SELECT * FROM t", "BEGIN"}) {
    const parser::Statement stmt = parse(sql);
    EXPECT_FALSE(generate_plan(stmt).has_value()) << sql;
    EXPECT_EQ(explain_plan(stmt), "No plan available for: " + parser::debug_text(stmt)) << sql;
  }
}

TEST(PlannerTest, SelectivityByShape) {
  const std::pair<const char*, double> cases[] = {
      {"a IS NULL", 0.05},
      {"a IS NOT NULL", 0.95},
      {"a BETWEEN 1 AND 2", 0.25},
      {"a NOT BETWEEN 1 AND 2", 0.75},
      {"a IN (1, 2, 3)", 0.1 * 3},
      {"a NOT IN (1, 2, 3)", 1.0 - 0.1 * 3},
      {"pk = 'a'", 0.001},
      {"Pk = 7", 0.001},
      {"'a' = pk", 0.1},  // only the left operand is looked at
      {"pk = a", 0.1},
      {"pkx = 'a'", 0.1},
      {"a = 1", 0.1},
      {"a < 1", 0.33},
      {"a > 1", 0.33},
      {"a <= 1", 0.33},
      {"a >= 1", 0.33},
      {"a = 1 AND b < 2", 0.1 * 0.33},
      {"a = 1 OR b < 2", 0.1 + 0.33 - 0.1 * 0.33},
      {"a LIKE 'x%'", 0.25},
      {"a ILIKE 'x%'", 0.25},
      {"NOT a = 1", 1.0 - 0.1},
      {"NOT (a IS NULL OR b IN (1))", 1.0 - (0.05 + 0.1 - 0.05 * 0.1)},
      {"a <> 1", 0.5},
      {"a + 1", 0.5},
      {"a", 0.5},
      {"TRUE", 0.5},
      {"lower(a)", 0.5},
      {"CASE WHEN a THEN 1 END", 0.5},
      {"CAST(a AS INT)", 0.5},
  };
  for (const auto& [condition, expected] : cases) EXPECT_DOUBLE_EQ(selectivity(condition), expected) << condition;
}

TEST(PlannerTest, SelectivityPrintsWithTwoDigitsTiesToEven) {
  // LIKE (0.25) times <> (0.5) is exactly 0.125, a tie that rounds to the even digit.
  EXPECT_DOUBLE_EQ(selectivity("a LIKE 'x%' AND b <> 1"), 0.125);
  EXPECT_NE(explain("SELECT * FROM t WHERE a LIKE 'x%' AND b <> 1").find("Filter sel=0.12 pred="), std::string::npos);
  // 0.375 (0.75 × 0.5) is exact as well and rounds up to the even 0.38.
  EXPECT_NE(explain("SELECT * FROM t WHERE a NOT BETWEEN 1 AND 2 AND b <> 1").find("sel=0.38 "), std::string::npos);

  const std::string in_list = "a IN (1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12)";
  EXPECT_NE(explain("SELECT * FROM t WHERE " + in_list).find("Filter sel=1.00 "), std::string::npos);
  const std::string not_in = "a NOT IN (1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12)";
  EXPECT_NE(explain("SELECT * FROM t WHERE " + not_in).find("Filter sel=0.00 "), std::string::npos);
  EXPECT_NE(explain("SELECT * FROM t WHERE a IN (1, 2, 3)").find("Filter sel=0.30 "), std::string::npos);
}

TEST(PlannerTest, FixedTextRounding) {
  const std::tuple<double, int, const char*> cases[] = {
      {0.125, 2, "0.12"},   {0.375, 2, "0.38"},       {0.001, 2, "0.00"},  {1.0, 2, "1.00"},
      {0.05, 1, "0.1"},     {0.25, 1, "0.2"},         {1100.0000000000002, 1, "1100.0"},
      {20931.568569324176, 1, "20931.6"}, {21031.568569324176, 1, "21031.6"}, {2.5, 0, "2"},
      // The whole text, however long: the largest double has 309 digits before the point.
      {-1.7976931348623157e308, 20,
       "-1797693134862315708145274237317043567980705675258449965989174768031572607800285387605895586327668781715404"
       "5895351438246423432132688946418276846754670353751698604991057655128207624549009038932894407586850845513394"
       "2304583236903222948165808559332123348274797826204144723168738177180919299881250404026184124858368."
       "00000000000000000000"},
  };
  for (const auto& [value, digits, expected] : cases) {
    std::string out;
    append_fixed(out, value, digits);
    EXPECT_EQ(out, expected) << value << " with " << digits;
  }
}

TEST(PlannerTest, PredicateIsCutAtEightyCodePoints) {
  // The debug text up to the literal is 56 characters, so 24 characters of the literal remain.
  const std::string head = R"(BinOp { left: Column("name"), op: Eq, right: StringLit(")";
  ASSERT_EQ(head.size(), 56u);
  for (std::string_view ch : {"a", "é", "€", "😀"}) {
    const std::string text = explain("SELECT * FROM t WHERE name = '" + repeat(ch, 40) + "'");
    EXPECT_NE(text.find("pred=[" + head + repeat(ch, 24) + "]\n"), std::string::npos) << ch << "\n" << text;
  }
  // Exactly 80 characters are kept whole.
  const std::string exact = explain("SELECT * FROM t WHERE name = '" + repeat("é", 22) + "'");
  EXPECT_NE(exact.find("pred=[" + head + repeat("é", 22) + "\")]\n"), std::string::npos) << exact;
}

TEST(PlannerTest, PrefixCharsNeverSplitsASequence) {
  EXPECT_EQ(prefix_chars("", 3), "");
  EXPECT_EQ(prefix_chars("abc", 0), "");
  EXPECT_EQ(prefix_chars("abc", 5), "abc");
  EXPECT_EQ(prefix_chars("aé€😀b", 4), "aé€😀");
  EXPECT_EQ(prefix_chars("é€😀", 2), "é€");
  // A stray byte counts as one character; a sequence cut short by the end is kept whole.
  EXPECT_EQ(prefix_chars("\xff" "ab", 2), "\xff" "a");
  EXPECT_EQ(prefix_chars("a\xe2\x82", 2), "a\xe2\x82");
}

TEST(PlannerTest, CostAndDisplayOfHandBuiltNodes) {
  PlanNode limit{Limit{3, make_child(Aggregate{0, 0, make_child(PointLookup{"t", "k", 1.0})})}};
  EXPECT_DOUBLE_EQ(limit.cost(), 1.1);
  EXPECT_EQ(limit.display(0),
            "Limit n=3\n"
            "  Aggregate groups=0 aggs=0\n"
            "    PointLookup table=t pk=k cost=1.0");
  // Texts go in unquoted and unescaped.
  PlanNode scan{FullScan{"a b\"c", 7, 2.25}};
  EXPECT_EQ(scan.display(2), "    FullScan table=a b\"c est_rows=7 cost=2.2");
}

}  // namespace
}  // namespace quenlordb::sql::planner
