// Grouped queries: grouping, the aggregates, HAVING, ORDER BY and LIMIT over groups, gap-filling.
#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "facet/relational/keys.h"
#include "facet/relational/records.h"
#include "sql/exec/exec_fixture.h"
#include "sql/exec/grouped_select.h"

namespace quenlordb::sql::exec::testing {
namespace {

namespace rel = facet::relational;
using Rows = std::vector<std::string>;

struct Case {
  const char* sql;
  Rows want;
};

class GroupedTest : public ExecFixture {
 protected:
  void expect_cases(const std::vector<Case>& cases) {
    for (const Case& c : cases) EXPECT_EQ(rows(c.sql), c.want) << c.sql;
  }
  // A table whose rows are the given documents under the keys k0, k1, ...
  void table(const std::string& name, const std::vector<std::string>& docs) {
    create_table(name);
    for (std::size_t i = 0; i < docs.size(); ++i) put_row(name, "k" + std::to_string(i), docs[i]);
  }
};


TEST_F(GroupedTest, Aggregates) {
  table("t", {R"({"x":1,"s":"1.5","b":true,"n":"ann"})", R"({"s":"2","b":5,"n":"bob"})",
              R"({"x":3,"s":"abc","n":"cy"})"});
  table("v", {R"({"x":2})", R"({"x":4})"});
  table("one", {R"({"x":7})"});
  table("e", {});
  expect_cases({
      {"SELECT count(*), count(x), sum(x) FROM t", {R"({"count":3.0,"count_x":2.0,"sum_x":4.0})"}},
      // The mean of the values summed, not of the rows.
      {"SELECT avg(x) AS a, avg(s) AS b FROM t", {R"({"a":2.0,"b":1.75})"}},
      {"SELECT sum(s) AS a, min(b) AS lo, max(b) AS hi FROM t", {R"({"a":3.5,"hi":5.0,"lo":1.0})"}},
      {"SELECT avg(n) AS a, min(n) AS lo FROM t", {R"({"a":null,"lo":null})"}},
      {"SELECT var_pop(x) AS p, var_samp(x) AS s, variance(x) AS v, stddev_pop(x) AS sp FROM v",
       {R"({"p":1.0,"s":2.0,"sp":1.0,"v":1.0})"}},
      {"SELECT stddev(x) AS a, var_samp(x) AS b FROM one", {R"({"a":0.0,"b":0.0})"}},
      {"SELECT string_agg(n, ' | ') AS a, group_concat(n) AS b, string_agg(n, x) AS c FROM t",
       {R"({"a":"ann | bob | cy","b":"ann,bob,cy","c":"ann,bob,cy"})"}},
      {"SELECT approx_count_distinct(n) AS a, approx_count_distinct(x) AS b FROM t", {R"({"a":3.0,"b":2.0})"}},
      {"SELECT first(n, x) AS f, last(n, x) AS l FROM t", {R"({"f":"ann","l":"cy"})"}},
      // Without an argument nothing is read.
      {"SELECT count() AS c, approx_count_distinct() AS a, sum() AS s, string_agg() AS g FROM t",
       {R"({"a":0.0,"c":0.0,"g":null,"s":null})"}},
      // An empty table still gives one group without GROUP BY, none with it.
      {"SELECT count(*), sum(x), approx_count_distinct(x) AS d, string_agg(x) AS g, first(x, x) AS f FROM e",
       {R"({"count":0.0,"d":0.0,"f":null,"g":null,"sum_x":null})"}},
      {"SELECT count(*) FROM e GROUP BY x", {}},
      // Functions and operators over aggregates; a literal over no rows is NULL, even inside coalesce.
      {"SELECT coalesce(sum(x), 0) AS a, count(*) + 1 AS b, CASE WHEN count(*) > 2 THEN 'many' END AS c, "
       "CAST(sum(x) AS TEXT) AS d FROM t",
       {R"({"a":4.0,"b":4.0,"c":"many","d":"4"})"}},
      {"SELECT coalesce(sum(x), 0) AS a, 1 + count(*) AS b FROM e", {R"({"a":null,"b":null})"}},
  });
  EXPECT_EQ(error("SELECT first(x) FROM t"), "sql execution error: FIRST() requires 2 arguments: FIRST(value, timestamp)");
  EXPECT_EQ(error("SELECT last(x) FROM e"), "sql execution error: LAST() requires 2 arguments: LAST(value, timestamp)");
  EXPECT_EQ(error("SELECT sum(CAST(x AS BLOB)) FROM t"), "sql execution error: unsupported CAST target type: BLOB");
}

TEST_F(GroupedTest, GroupKeysOrderAndShapes) {
  table("t", {R"({"g":9,"x":"a"})", R"({"g":10,"x":"b"})", R"({"g":9,"x":"c"})", R"({"x":"d"})",
              R"({"g":"","x":"e"})", R"({"g":"9","x":"f"})"});
  table("ab", {R"({"a":"x","b":"yz"})", R"({"a":"xy","b":"z"})"});
  table("d", {R"({"g":1,"count":"doc"})", R"({"g":1})"});
  expect_cases({
      // Keys in text order (10 before 9); NULL and '' together first; 9 and '9' merge.
      {"SELECT g, x, count(*) FROM t GROUP BY g",
       {R"({"count":2.0,"g":null,"x":"d"})", R"({"count":1.0,"g":10.0,"x":"b"})",
        R"({"count":3.0,"g":9.0,"x":"a"})"}},
      {"SELECT pk, count(*) FROM t GROUP BY g",
       {R"({"count":2,"pk":"k3"})", R"({"count":1,"pk":"k1"})", R"({"count":3,"pk":"k0"})"}},
      {"SELECT a, count(*) FROM ab GROUP BY a, b", {R"({"a":"x","count":1.0})", R"({"a":"xy","count":1.0})"}},
      {"SELECT *, count(*) FROM d GROUP BY g", {R"({"count":2.0,"g":1})"}},
  });
}

// Over a table, COUNT, SUM, AVG, MIN and MAX are folded as the scan hands the rows over, while
// any other aggregate keeps every row: with one more (string_agg) in the list, the same query takes
// the kept rows' path, and the other members of its answer must be the folded ones exactly (sums
// in row order, NaN and texts among the numbers, empty groups).
TEST_F(GroupedTest, FoldedAggregatesAgreeWithKeptRows) {
  const std::vector<std::string> values = {"1", "-2.5", "0.1", "1e308", "-1e308", "\"3\"", "\"nan\"", "\"x\"",
                                           "true", "null", "7", "0.7", "[1]", "\"-0\""};
  std::mt19937 rng(11);
  const auto pick = [&](std::size_t n) { return static_cast<std::size_t>(rng() % n); };
  std::vector<std::string> docs;
  for (int i = 0; i < 300; ++i) {
    std::string doc = "{\"g\":\"" + std::string(1, static_cast<char>('a' + pick(4))) + "\"";
    if (pick(5) != 0) doc += ",\"v\":" + values[pick(values.size())];
    doc += ",\"w\":" + values[pick(values.size())] + "}";
    docs.push_back(doc);
  }
  table("t", docs);
  table("e", {});
  const char* queries[] = {
      "SELECT g, count(*) AS c, count(v) AS cv, sum(v) AS s, avg(w) AS a, min(v) AS lo, max(w) AS hi FROM t "
      "GROUP BY g",
      "SELECT sum(v + w) AS s, avg(v * 3) AS a, min(w) AS lo, max(v) AS hi, count() AS n, sum() AS z FROM t",
      "SELECT g, sum(v) AS s FROM t WHERE w > 0 GROUP BY g HAVING count(*) > 30 ORDER BY avg(v) DESC, g",
      "SELECT g, coalesce(max(v), 0) + count(*) AS m, CASE WHEN min(v) < 0 THEN 'neg' END AS n FROM t GROUP BY g "
      "ORDER BY m LIMIT 3",
      "SELECT count(*) AS c, sum(v) AS s, avg(v) AS a FROM e",
      "SELECT g, count(*) AS c FROM e GROUP BY g",
  };
  for (const std::string sql : queries) {
    const std::string kept = sql.substr(0, sql.find(" FROM ")) + ", string_agg(pk) AS zz" + sql.substr(sql.find(" FROM "));
    const std::vector<std::string> folded_rows = rows(sql);
    const std::vector<std::string> kept_rows = rows(kept);
    ASSERT_EQ(folded_rows.size(), kept_rows.size()) << sql;
    for (std::size_t i = 0; i < folded_rows.size(); ++i) {
      nlohmann::json want = nlohmann::json::parse(kept_rows[i]);
      want.erase("zz");
      EXPECT_EQ(folded_rows[i], want.dump()) << sql;
    }
  }
}

TEST_F(GroupedTest, HavingOrderByAndLimit) {
  table("s", {R"({"g":"a","v":5})", R"({"g":"b","v":1})", R"({"g":"b","v":2})", R"({"g":"c","v":20})",
              R"({"g":"c","v":1})", R"({"g":"c","v":1})", R"({"g":"d","v":3,"total":100})"});
  expect_cases({
      {"SELECT g FROM s GROUP BY g HAVING count(*) > 1", {R"({"g":"b"})", R"({"g":"c"})"}},
      // An alias in HAVING is the group's output value, not a member of its first row.
      {"SELECT g, sum(v) AS total FROM s GROUP BY g HAVING total > 4",
       {R"({"g":"a","total":5.0})", R"({"g":"c","total":22.0})"}},
      {"SELECT g, sum(v) AS total FROM s GROUP BY g ORDER BY total DESC LIMIT 2",
       {R"({"g":"c","total":22.0})", R"({"g":"a","total":5.0})"}},
      {"SELECT g, sum(v) FROM s GROUP BY g ORDER BY sum_v",
       {R"({"g":"b","sum_v":3.0})", R"({"g":"d","sum_v":3.0})", R"({"g":"a","sum_v":5.0})",
        R"({"g":"c","sum_v":22.0})"}},
      // Keys naming aggregates are evaluated over each group.
      {"SELECT g FROM s GROUP BY g ORDER BY count(*) DESC, g DESC",
       {R"({"g":"c"})", R"({"g":"b"})", R"({"g":"d"})", R"({"g":"a"})"}},
      {"SELECT g FROM s GROUP BY g ORDER BY max(v) - min(v)",
       {R"({"g":"a"})", R"({"g":"d"})", R"({"g":"b"})", R"({"g":"c"})"}},
      {"SELECT g FROM s GROUP BY g LIMIT 0", {}},
      {"SELECT g FROM s GROUP BY g LIMIT 9", {R"({"g":"a"})", R"({"g":"b"})", R"({"g":"c"})", R"({"g":"d"})"}},
  });
  EXPECT_EQ(error("SELECT g FROM s GROUP BY g HAVING last(v) > 1"),
            "sql execution error: LAST() requires 2 arguments: LAST(value, timestamp)");
  EXPECT_EQ(error("SELECT g FROM s GROUP BY g ORDER BY first(v)"),
            "sql execution error: FIRST() requires 2 arguments: FIRST(value, timestamp)");
}

// An alias in HAVING is the group's output value wherever it stands; group d's first row holds a
// member named total (100) that must not be read.
TEST_F(GroupedTest, HavingAliasesInEveryKindOfExpression) {
  table("s", {R"({"g":"a","v":5})", R"({"g":"b","v":1})", R"({"g":"b","v":2})", R"({"g":"c","v":20})",
              R"({"g":"c","v":1})", R"({"g":"c","v":1})", R"({"g":"d","v":3,"total":100})"});
  const std::string a = "a", b = "b", c = "c", d = "d";
  const struct {
    std::string having;
    Rows want;
  } cases[] = {
      {"total IS NOT NULL", {a, b, c, d}},
      {"total IS NULL", {}},
      {"total BETWEEN 1 AND 10", {a, b, d}},
      {"total NOT BETWEEN 1 AND 10", {c}},
      {"total IN (3, 22)", {b, c, d}},
      {"total NOT IN (3)", {a, c}},
      {"NOT total > 4", {b, d}},
      {"NOT (total IS NULL OR total IN (5))", {b, c, d}},
      {"(total BETWEEN 2 AND 6) = true AND NOT (n IN (1, 3))", {b}},
      {"lower(CAST(total AS TEXT)) IN ('5')", {a}},
  };
  for (const auto& [having, want] : cases) {
    Rows groups;
    for (const std::string& row : rows("SELECT g, sum(v) AS total, count(*) AS n FROM s GROUP BY g HAVING " + having)) {
      groups.push_back(nlohmann::json::parse(row)["g"].get<std::string>());
    }
    EXPECT_EQ(groups, want) << having;
  }
}

// A GROUP BY key in ORDER BY that is aliased, or not selected at all, is the group's value of it;
// an output name still wins over a key of the same name.
TEST_F(GroupedTest, OrderByGroupingKeys) {
  table("s", {R"({"g":"a","v":5})", R"({"g":"b","v":1})", R"({"g":"b","v":2})", R"({"g":"c","v":20})",
              R"({"g":"c","v":1})", R"({"g":"c","v":1})", R"({"g":"d","v":3})"});
  expect_cases({
      {"SELECT g AS grp, count(*) AS c FROM s GROUP BY g ORDER BY g DESC",
       {R"({"c":1.0,"grp":"d"})", R"({"c":3.0,"grp":"c"})", R"({"c":2.0,"grp":"b"})", R"({"c":1.0,"grp":"a"})"}},
      {"SELECT count(*) AS c FROM s GROUP BY g ORDER BY g DESC",
       {R"({"c":1.0})", R"({"c":3.0})", R"({"c":2.0})", R"({"c":1.0})"}},
      {"SELECT v % 2 AS m, count(*) AS c FROM s GROUP BY v % 2 ORDER BY v % 2 DESC",
       {R"({"c":5.0,"m":1.0})", R"({"c":2.0,"m":0.0})"}},
      {"SELECT sum(v) AS c FROM s GROUP BY g, v % 2 ORDER BY v % 2, g DESC",
       {R"({"c":20.0})", R"({"c":2.0})", R"({"c":3.0})", R"({"c":2.0})", R"({"c":1.0})", R"({"c":5.0})"}},
      {"SELECT sum(v) AS g FROM s GROUP BY g ORDER BY g",
       {R"({"g":3.0})", R"({"g":3.0})", R"({"g":5.0})", R"({"g":22.0})"}},
  });
}

// -0 (x % 3 over -3, or a stored -0.0) is 0 in the keys that merge groups and in the values output.
TEST_F(GroupedTest, NegativeZeroIsZero) {
  table("z", {R"({"x":-3})", R"({"x":3})", R"({"x":-0.0})", R"({"x":0})", R"({"x":-4})"});
  expect_cases({
      {"SELECT x % 3 AS m, count(*) AS c FROM z GROUP BY x % 3",
       {R"({"c":1.0,"m":-1.0})", R"({"c":4.0,"m":0.0})"}},
      {"SELECT x, count(*) AS c FROM z GROUP BY x",
       {R"({"c":1.0,"x":-3.0})", R"({"c":1.0,"x":-4.0})", R"({"c":2.0,"x":0.0})", R"({"c":1.0,"x":3.0})"}},
      // The same through the path that keeps every row.
      {"SELECT x % 3 AS m, string_agg(pk) AS ks FROM z GROUP BY x % 3",
       {R"({"ks":"k4","m":-1.0})", R"({"ks":"k0,k1,k2,k3","m":0.0})"}},
      {"SELECT min(x) AS lo FROM z WHERE x > -1", {R"({"lo":0.0})"}},
  });
}

// WHERE, the GROUP BY keys and the aggregates' arguments are read in one pass over the rows, yet
// fail in the order of the stages: every row's WHERE before any key, every key before any
// aggregate; arguments read ahead give the values a later reading would.
TEST_F(GroupedTest, StagesFailInTheirOrder) {
  table("e", {R"({"g":"a","v":1,"t":3})", R"({"g":"a","v":2,"t":1})", R"({"g":"b","v":"x","t":2})"});
  const std::string key_fails = "CASE WHEN pk = 'k0' THEN nokey() ELSE g END";
  const std::string where_fails = "CASE WHEN pk = 'k2' THEN nowhere() ELSE 1 END";
  EXPECT_NE(error("SELECT count(*) FROM e WHERE " + where_fails + " GROUP BY " + key_fails).find("nowhere"),
            std::string::npos);
  EXPECT_NE(error("SELECT sum(noagg(v)) FROM e GROUP BY " + key_fails).find("nokey"), std::string::npos);
  expect_cases({
      {"SELECT g, sum(v), avg(v * 2), count(v), min(v), max(v), first(v, t), last(v, t), string_agg(v, '-') "
       "FROM e GROUP BY g",
       {R"({"avg_?":3.0,"count_v":2.0,"first":2.0,"g":"a","last":1.0,"max_v":2.0,"min_v":1.0,"string_agg":"1-2",)"
        R"("sum_v":3.0})",
        R"({"avg_?":null,"count_v":1.0,"first":"x","g":"b","last":"x","max_v":null,"min_v":null,"string_agg":"x",)"
        R"("sum_v":null})"}},
  });
}

TEST_F(GroupedTest, GapFill) {
  table("m", {R"({"ts":10,"v":1,"r":"n"})", R"({"ts":70,"v":2,"r":"n"})", R"({"ts":250,"v":4,"r":"n"})",
              R"({"ts":70,"v":6,"r":"s"})", R"({"ts":130,"v":8,"r":"s"})"});
  expect_cases({
      {"SELECT time_bucket_gapfill(60, ts) AS b, count(*) AS c FROM m WHERE r = 'n' GROUP BY time_bucket_gapfill(60, ts)",
       {R"({"b":0.0,"c":1.0})", R"({"b":60.0,"c":1.0})", R"({"b":120,"c":null})", R"({"b":180,"c":null})",
        R"({"b":240.0,"c":1.0})"}},
      // locf carries the last value across fill rows; before any value it stays null.
      {"SELECT time_bucket_gapfill('1m', ts) AS b, avg(v) AS a, locf(avg(v)) AS l FROM m WHERE r = 'n' "
       "GROUP BY time_bucket_gapfill('1m', ts)",
       {R"({"a":1.0,"b":0.0,"l":1.0})", R"({"a":2.0,"b":60.0,"l":2.0})", R"({"a":null,"b":120,"l":2.0})",
        R"({"a":null,"b":180,"l":2.0})", R"({"a":4.0,"b":240.0,"l":4.0})"}},
      // Two keys: 120 and 60 exist in some region; only 180 is missing everywhere.
      {"SELECT time_bucket_gapfill(60, ts) AS b, r, sum(v) AS s FROM m GROUP BY time_bucket_gapfill(60, ts), r",
       {R"({"b":0.0,"r":"n","s":1.0})", R"({"b":60.0,"r":"n","s":2.0})", R"({"b":60.0,"r":"s","s":6.0})",
        R"({"b":120.0,"r":"s","s":8.0})", R"({"b":180,"s":null})", R"({"b":240.0,"r":"n","s":4.0})"}},
      // ORDER BY and LIMIT apply after the fill.
      {"SELECT time_bucket_gapfill(60, ts) AS b FROM m WHERE r = 'n' GROUP BY time_bucket_gapfill(60, ts) "
       "ORDER BY b DESC LIMIT 3",
       {R"({"b":240.0})", R"({"b":180})", R"({"b":120})"}},
      // A real row keeps its group through the fill, so an aggregate key reads it; a fill row's
      // aggregates are its fill values (NULL, last when descending).
      {"SELECT time_bucket_gapfill(60, ts) AS b, count(*) AS c FROM m GROUP BY time_bucket_gapfill(60, ts) "
       "ORDER BY count(*) DESC, sum(v), b",
       {R"({"b":60.0,"c":2.0})", R"({"b":0.0,"c":1.0})", R"({"b":240.0,"c":1.0})", R"({"b":120.0,"c":1.0})",
        R"({"b":180,"c":null})"}},
      // The bucket key itself: over the group for real rows, the fill row's bucket for fill rows.
      {"SELECT count(*) AS c, time_bucket_gapfill(60, ts) AS b FROM m WHERE r = 'n' "
       "GROUP BY time_bucket_gapfill(60, ts) ORDER BY time_bucket_gapfill(60, ts) DESC",
       {R"({"b":240.0,"c":1.0})", R"({"b":180,"c":null})", R"({"b":120,"c":null})", R"({"b":60.0,"c":1.0})",
        R"({"b":0.0,"c":1.0})"}},
  });
  for (const char* sql : {"SELECT time_bucket_gapfill(0, ts) AS b FROM m GROUP BY time_bucket_gapfill(0, ts)",
                          "SELECT time_bucket_gapfill('0s', ts) AS b FROM m GROUP BY time_bucket_gapfill('0s', ts)"}) {
    EXPECT_EQ(error(sql), "sql execution error: invalid gapfill interval") << sql;
  }
  table("far", {R"({"ts":0})", R"({"ts":1e12})"});
  EXPECT_EQ(error("SELECT time_bucket_gapfill(1, ts) AS b FROM far GROUP BY time_bucket_gapfill(1, ts)"),
            "sql execution error: gapfill would produce more than 1000000 rows");
}

TEST(GapFill, BucketsTruncateForPresenceAndSortAsRead) {
  std::vector<parser::SelectItem> items;
  items.push_back(parser::SelectItem(parser::SelectItem::Expr{
      parser::Expr(parser::Expr::Function{"time_bucket_gapfill", {}}), std::string("b")}));
  std::vector<eval::VisibleRow> in{{"a", R"({"b":90.7})"}, {"x", R"({"b":"t"})"}, {"c", R"({"b":30})"},
                                   {"d", "not json"}};
  std::vector<eval::VisibleRow> want{{"x", R"({"b":"t"})"}, {"d", "not json"}, {"c", R"({"b":30})"},
                                     {"", R"({"b":60})"}, {"a", R"({"b":90.7})"}};
  EXPECT_EQ(must(apply_gapfill(in, 30, items)), want);
  // Near the top of the range the walk ends instead of wrapping.
  std::vector<eval::VisibleRow> top{{"a", R"({"b":1.8446744073709552e19})"}};
  EXPECT_EQ(must(apply_gapfill(top, 1000, items)), top);
}

}  // namespace
}  // namespace quenlordb::sql::exec::testing
