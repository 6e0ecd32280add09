// The SELECT pipeline and projection over tables written record by record.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "engine/prefix_scan.h"
#include "facet/relational/keys.h"
#include "facet/relational/records.h"
#include "sql/exec/exec_fixture.h"
#include "sql/exec/order.h"
#include "sql/exec/projection.h"
#include "sql/exec/select.h"

namespace quenlordb::sql::exec::testing {
namespace {

namespace rel = facet::relational;
using eval::SqlValue;

class SelectTest : public ExecFixture {
 protected:
  void people() {
    create_table("p");
    put_row("p", "a", R"({"name":"ann","age":30,"city":"x"})");
    put_row("p", "b", R"({"name":"bob","age":25})");
    put_row("p", "c", R"({"name":"cy","age":35,"city":"y"})");
  }
};

using Rows = std::vector<std::string>;

// A row of expression items is written without a tree; it must read as the tree's text does.
TEST(Projection, ItemsWrittenWithoutATreeAreTheTreesText) {
  const std::string doc = R"({"x":0.1,"big":18446744073709551615,"s":"q\"uo\\te\u0001\u00e9\n","neg":-0.0,"t":true})";
  const char* lists[] = {
      "SELECT x, x + 0.2, big, big * 10, s, neg, t, nothing FROM r",
      "SELECT x AS b, s AS a, t AS b, 1 / 0 AS n, CAST('inf' AS REAL) AS inf, CAST('nan' AS REAL) AS nan, "
      "2 AS a FROM r",
      "SELECT pk, doc AS d, upper(s), CAST(x AS TEXT), x > 0, 9007199254740993 AS i FROM r",
  };
  for (const char* sql : lists) {
    parser::Statement stmt = must(parser::parse_sql(sql));
    const std::vector<parser::SelectItem>& items = stmt.get_if<parser::Statement::Select>()->items;
    eval::EvalContext fast("k\"1", doc);
    const std::string written = must(project_row(fast, items, ProjectionClass::General));
    eval::EvalContext slow("k\"1", doc);
    nlohmann::json tree = nlohmann::json::object();
    for (const parser::SelectItem& item : items) {
      must(project_expr_item(slow, *item.get_if<parser::SelectItem::Expr>(), tree));
    }
    EXPECT_EQ(written, write_json(tree)) << sql;
  }
}

TEST_F(SelectTest, ProjectionClassesAndNames) {
  create_table("t");
  put_row("t", "k1", R"({"b":1,"a":2})");
  struct Case {
    const char* sql;
    Rows want;
  } cases[] = {
      {"SELECT doc FROM t", {R"({"b":1,"a":2})"}},
      {"SELECT DOC FROM t", {R"({"b":1,"a":2})"}},
      {"SELECT pk, doc FROM t", {R"({"doc":{"a":2,"b":1},"pk":"k1"})"}},
      {"SELECT * FROM t", {R"({"doc":{"a":2,"b":1},"pk":"k1"})"}},
      {"SELECT *, a FROM t", {R"({"a":2.0,"doc":{"a":2,"b":1},"pk":"k1"})"}},
      {"SELECT a, a FROM t", {R"({"a":2.0})"}},
      {"SELECT a AS x, b AS x FROM t", {R"({"x":1.0})"}},
      {"SELECT pk AS id, doc FROM t", {R"({"doc":"{\"b\":1,\"a\":2}","id":"k1"})"}},
      {"SELECT upper(pk), coalesce(a, 'x'), a * 2 FROM t", {R"j({"?":4.0,"coalesce(a, ?)":2.0,"upper(pk)":"K1"})j"}},
      {"SELECT doc.a FROM t", {R"({"doc.a":2.0})"}},
      {"SELECT 1/0 AS inf FROM t", {R"({"inf":null})"}},
  };
  for (const Case& c : cases) EXPECT_EQ(rows(c.sql), c.want) << c.sql;
}

TEST_F(SelectTest, NonJsonDocumentsAreCarriedAsText) {
  create_table("t");
  put_row("t", "k", std::string("not json \xff", 10));
  EXPECT_EQ(rows("SELECT doc FROM t"), Rows{std::string("not json \xff", 10)});
  EXPECT_EQ(rows("SELECT * FROM t"), Rows{"{\"doc\":\"not json \xEF\xBF\xBD\",\"pk\":\"k\"}"});
  EXPECT_EQ(rows("SELECT x FROM t"), Rows{R"({"x":null})"});
}

TEST_F(SelectTest, PointReadsScansAndWhere) {
  people();
  EXPECT_EQ(rows("SELECT name FROM p WHERE pk = 'b'"), Rows{R"({"name":"bob"})"});
  EXPECT_EQ(rows("SELECT name FROM p WHERE 'c' = PK"), Rows{R"({"name":"cy"})"});
  EXPECT_EQ(rows("SELECT name FROM p WHERE pk = 'zz'"), Rows{});
  EXPECT_EQ(rows("SELECT name FROM p WHERE pk = 'b' AND age = 99"), Rows{});
  EXPECT_EQ(rows("SELECT name FROM p WHERE age > 26"), (Rows{R"({"name":"ann"})", R"({"name":"cy"})"}));
  EXPECT_EQ(rows("SELECT pk FROM p LIMIT 2"), (Rows{R"({"pk":"a"})", R"({"pk":"b"})"}));
  EXPECT_EQ(rows("SELECT pk FROM p WHERE age > 0 LIMIT 0"), Rows{});
  put_row("p", "b", "");  // deleted
  EXPECT_EQ(rows("SELECT name FROM p WHERE pk = 'b'"), Rows{});
  EXPECT_EQ(rows("SELECT count(*) FROM p"), Rows{"2"});
  EXPECT_EQ(error("SELECT * FROM nope"), "sql execution error: table or view nope does not exist");
  EXPECT_EQ(error("SELECT nofn(1) FROM p"), "sql execution error: unknown function: nofn");
  // A failing item after a named one, both names too long to sit inside the string: the sanitizer
  // build sees the item names freed on the way out.
  EXPECT_EQ(error("SELECT name AS a_rather_long_name_for_a_column, coaPARQUETlesce(age, 1 + 2) FROM p"),
            "sql execution error: unknown function: coaPARQUETlesce");
}

TEST_F(SelectTest, CountAnswer) {
  people();
  EXPECT_EQ(rows("SELECT count(*) FROM p"), Rows{"3"});
  EXPECT_EQ(rows("SELECT COUNT(*) FROM p LIMIT 0"), Rows{"3"});
  EXPECT_EQ(rows("SELECT count(*) FROM p ORDER BY age"), Rows{"3"});
  EXPECT_EQ(rows("SELECT count(*) FROM p WHERE age > 100"), Rows{"0"});
  EXPECT_EQ(rows("SELECT count(*) FROM p WHERE age > 26"), Rows{"2"});
}

TEST_F(SelectTest, OrderBy) {
  create_table("t");
  put_row("t", "a", R"({"v":10})");
  put_row("t", "b", R"({"v":"9"})");
  put_row("t", "c", R"({"w":1})");
  put_row("t", "d", R"({"v":2})");
  put_row("t", "e", R"({"v":2})");
  EXPECT_EQ(rows("SELECT pk FROM t ORDER BY v"),
            (Rows{R"({"pk":"c"})", R"({"pk":"d"})", R"({"pk":"e"})", R"({"pk":"a"})", R"({"pk":"b"})"}));
  EXPECT_EQ(rows("SELECT pk FROM t ORDER BY v DESC LIMIT 2"), (Rows{R"({"pk":"b"})", R"({"pk":"a"})"}));
  EXPECT_EQ(rows("SELECT pk FROM t WHERE v > 1 ORDER BY v DESC, pk DESC"),
            (Rows{R"({"pk":"b"})", R"({"pk":"a"})", R"({"pk":"e"})", R"({"pk":"d"})"}));
  // An error inside a sort key counts as NULL.
  EXPECT_EQ(rows("SELECT pk FROM t ORDER BY nofn(v), pk DESC LIMIT 1"), Rows{R"({"pk":"e"})"});
}

// Counts and plain selections over a table read its rows as the scan hands them over, yet fail as
// a scan of every row before any evaluation would: a key that is not UTF-8 before any WHERE or
// item error, and the first such error in row order; LIMIT keeps the first rows WHERE keeps.
TEST_F(SelectTest, StreamedScansFailInTheOrderOfAStoredScan) {
  create_table("s");
  put_row("s", "a", R"({"v":1})");
  put_row("s", "b", R"({"v":2,"bad":1})");
  put_row("s", "c", R"({"v":3,"bad":2})");
  EXPECT_EQ(rows("SELECT pk FROM s WHERE v > 1 LIMIT 1"), Rows{R"({"pk":"b"})"});
  EXPECT_EQ(rows("SELECT count(*) FROM s WHERE v > 1"), Rows{"2"});
  EXPECT_NE(error("SELECT pk FROM s WHERE CASE WHEN bad = 1 THEN firstfn() WHEN bad = 2 THEN secondfn() END")
                .find("firstfn"),
            std::string::npos);
  EXPECT_NE(error("SELECT CASE WHEN bad = 2 THEN secondfn() ELSE 1 END AS x FROM s LIMIT 9").find("secondfn"),
            std::string::npos);
  put_row("s", "z\xff", R"({"v":9})");
  for (const char* sql : {"SELECT pk FROM s WHERE firstfn()", "SELECT count(*) FROM s WHERE firstfn()",
                          "SELECT firstfn() FROM s", "SELECT count(*) FROM s"}) {
    EXPECT_EQ(error(sql), QuenlorError::sql_execution("row key contains non-utf8 pk").to_string()) << sql;
  }
}

TEST(CompareSortValues, Order) {
  SqlValue nan = SqlValue::number(std::nan(""));
  struct Case {
    SqlValue a, b;
    int want;
  } cases[] = {
      {SqlValue::null(), SqlValue::null(), 0},
      {SqlValue::null(), SqlValue::number(-1e300), -1},
      {SqlValue::number(1), SqlValue::null(), 1},
      {SqlValue::number(9), SqlValue::number(10), -1},
      {nan, SqlValue::number(1), 0},
      {SqlValue::number(10), SqlValue::text("9"), -1},
      {SqlValue::boolean(false), SqlValue::boolean(true), -1},
      {SqlValue::text("ab"), SqlValue::text("a"), 1},
      {SqlValue::text("true"), SqlValue::boolean(true), 0},
      {SqlValue::boolean(false), SqlValue::text("g"), -1},
      {SqlValue::boolean(true), SqlValue::boolean(true), 0},
  };
  for (const Case& c : cases) EXPECT_EQ(compare_sort_values(c.a, c.b), c.want);
}

TEST(SortRows, InconsistentKeysNeverBreakTheSort) {
  // NaN equals every number while numbers and texts order by text: no strict weak order.
  std::vector<eval::VisibleRow> rows;
  std::mt19937 rng(7);
  for (int i = 0; i < 100000; ++i) {
    std::string doc;
    switch (rng() % 4) {
      case 0: doc = R"({"v":"t)" + std::to_string(rng() % 100) + "\"}"; break;
      case 1: doc = R"({"v":)" + std::to_string(rng() % 100) + "}"; break;
      case 2: doc = R"({"v":"nan"})"; break;
      default: doc = "{}"; break;
    }
    rows.push_back({std::to_string(i), doc});
  }
  parser::Statement stmt = must(parser::parse_sql("SELECT x FROM t ORDER BY v / 0 * 0, v DESC, random()"));
  OrderBy by = *stmt.get_if<parser::Statement::Select>()->order_by;
  sort_rows(rows, by);
  EXPECT_EQ(rows.size(), 100000u);
  std::vector<bool> seen(rows.size());
  for (const auto& r : rows) seen[std::stoul(r.pk)] = true;
  for (bool s : seen) EXPECT_TRUE(s);
}

// ORDER BY ... LIMIT n takes the first n rows of the stable sort: the bounded sort on consistent
// keys, the whole sort otherwise; either way the same rows in the same order.
TEST(SortRows, FirstRowsAreThoseOfTheWholeSort) {
  std::mt19937 rng(25);
  parser::Statement stmt = must(parser::parse_sql("SELECT x FROM t ORDER BY a DESC, b"));
  const OrderBy by = *stmt.get_if<parser::Statement::Select>()->order_by;
  const std::vector<std::vector<SqlValue>> columns = {
      {SqlValue::number(1), SqlValue::number(2), SqlValue::number(-0.0), SqlValue::number(0), SqlValue::null()},
      {SqlValue::text("a"), SqlValue::text("b"), SqlValue::boolean(true), SqlValue::text("true"), SqlValue::null()},
      {SqlValue::number(10), SqlValue::text("9"), SqlValue::number(9), SqlValue::null()},
      {SqlValue::number(1), SqlValue::number(std::nan("")), SqlValue::number(2)},
  };
  for (const auto& a : columns) {
    for (const auto& b : columns) {
      std::vector<std::vector<SqlValue>> keys;
      for (int i = 0; i < 300; ++i) keys.push_back({a[rng() % a.size()], b[rng() % b.size()]});
      const std::vector<std::size_t> whole = sort_by_keys(keys, by);
      for (std::size_t first : {0, 1, 7, 299, 300, 400}) {
        const std::size_t n = std::min<std::size_t>(first, keys.size());
        const std::vector<std::size_t> want(whole.begin(), whole.begin() + static_cast<std::ptrdiff_t>(n));
        EXPECT_EQ(first_by_keys(keys, by, n), want) << first;
      }
    }
  }
}

// ORDER BY ... LIMIT n over a table keeps the first rows as the scan goes: the same rows in the
// same order as the first n of the whole sort, with ties, NULLs, WHERE, and keys that mix numbers
// with texts (which sort every row instead).
TEST_F(SelectTest, FirstRowsOfATableAreThoseOfTheWholeSort) {
  std::mt19937 rng(25);
  const std::vector<std::string> values = {"1", "2", "-0.0", "0", "null", "\"a\"", "\"b\"", "true", "\"9\""};
  create_table("t");
  for (int i = 0; i < 200; ++i) {
    const std::string a = values[rng() % 5], b = values[rng() % values.size()];
    put_row("t", "k" + std::to_string(i), R"({"a":)" + a + R"(,"b":)" + b + R"(,"c":)" + values[rng() % 4] + "}");
  }
  // The primary key as a later key is read only where the keys before it tie.
  const char* orders[] = {"a DESC, c", "c, a DESC", "a, b DESC", "b", "pk DESC", "a DESC, pk", "c, PK DESC",
                          "b, pk", "a, pk, c DESC", "c, pk, pk DESC"};
  for (const char* order : orders) {
    for (const char* where : {"", " WHERE c > 0"}) {
      const std::string query = std::string("SELECT pk, a, b FROM t") + where + " ORDER BY " + order;
      const Rows whole = rows(query);
      for (std::size_t n : {0, 1, 7, 150, 200, 300}) {
        const Rows want(whole.begin(), whole.begin() + static_cast<std::ptrdiff_t>(std::min(n, whole.size())));
        EXPECT_EQ(rows(query + " LIMIT " + std::to_string(n)), want) << query << " LIMIT " << n;
      }
    }
  }
}

TEST_F(SelectTest, TemporalClauses) {
  create_table("t");
  std::uint64_t t1 = put_row("t", "k", R"({"v":1})");
  std::uint64_t t2 = put_row("t", "k", R"({"v":2})");
  std::string one = R"({"v":1.0})", two = R"({"v":2.0})";
  EXPECT_EQ(rows("SELECT v FROM t AS OF " + std::to_string(t1)), Rows{one});
  EXPECT_EQ(rows("SELECT v FROM t"), Rows{two});
  EXPECT_EQ(rows("SELECT v FROM t FOR SYSTEM_TIME AS OF " + std::to_string(t1)), Rows{one});
  EXPECT_EQ(rows("SELECT v FROM t FOR SYSTEM_TIME FROM " + std::to_string(t1) + " TO " + std::to_string(t2)), Rows{one});
  EXPECT_EQ(rows("SELECT v FROM t AS OF " + std::to_string(t1) + " FOR SYSTEM_TIME ALL"), Rows{two});
  EXPECT_EQ(rows("SELECT v FROM t WHERE pk = 'k' AS OF " + std::to_string(t1)), Rows{one});
}

TEST_F(SelectTest, CtesAndSubqueries) {
  people();
  EXPECT_EQ(rows("WITH c AS (SELECT name FROM p WHERE age > 26) SELECT * FROM c"),
            (Rows{R"({"doc":{"name":"ann"},"pk":"0"})", R"({"doc":{"name":"cy"},"pk":"1"})"}));
  EXPECT_EQ(rows("WITH c AS (SELECT name FROM p) SELECT name FROM c WHERE name = 'bob'"), Rows{R"({"name":"bob"})"});
  EXPECT_EQ(rows("SELECT count(*) FROM (SELECT pk FROM p) AS s"), Rows{"3"});
  EXPECT_EQ(rows("SELECT pk FROM (SELECT age FROM p) AS s ORDER BY age DESC LIMIT 1"), Rows{R"({"pk":"2"})"});
  EXPECT_EQ(error("WITH a AS (SELECT * FROM p), b AS (SELECT * FROM a) SELECT * FROM b"),
            "sql execution error: table or view a does not exist");
  EXPECT_EQ(error("WITH c AS (SELECT * FROM p) SELECT * FROM c JOIN p ON c.pk = p.pk"),
            "sql execution error: JOIN is not supported on a common table expression or subquery");
}

TEST_F(SelectTest, ViewsAndShadowing) {
  create_table("t");
  std::uint64_t t1 = put_row("t", "k", R"({"v":1})");
  put_row("t", "k", R"({"v":2})");
  put_row("t", "j", R"({"v":3})");
  create_view("v", "SELECT doc FROM t WHERE pk = 'k' AS OF " + std::to_string(t1));
  EXPECT_EQ(rows("SELECT v FROM v"), Rows{R"({"v":1.0})"});
  EXPECT_EQ(rows("SELECT v FROM v AS OF 999999"), Rows{R"({"v":2.0})"});
  EXPECT_EQ(rows("SELECT v FROM v WHERE pk = 'k'"), Rows{R"({"v":1.0})"});
  create_view("bad", "SELECT doc FROM (SELECT 1 FROM t) AS s");
  EXPECT_EQ(error("SELECT * FROM bad"), "sql execution error: view bad has unsupported query shape");
  create_view("t", "SELECT doc FROM nothing WHERE pk = 'k'");
  EXPECT_EQ(rows("SELECT count(*) FROM t"), Rows{"2"});  // the table shadows the view
}

// A query over a view returns only rows of the view: a primary key the query names narrows the
// view's rows and never reads another row of its table.
TEST_F(SelectTest, APkLiteralOverAViewNarrowsItsRows) {
  create_table("t");
  put_row("t", "a", R"({"v":1})");
  put_row("t", "b", R"({"v":2})");
  create_view("vb", "SELECT doc FROM t WHERE pk = 'b'");
  create_view("whole", "SELECT doc FROM t");
  const struct {
    const char* sql;
    Rows want;
  } cases[] = {
      {"SELECT * FROM vb WHERE pk = 'a'", {}},
      {"SELECT count(*) FROM vb WHERE pk = 'a'", {"0"}},
      {"SELECT count(*) AS n FROM vb WHERE pk = 'a'", {R"({"n":0.0})"}},
      {"SELECT v FROM vb WHERE pk = 'a' AND 1 = 1", {}},
      {"SELECT v FROM vb WHERE pk = 'b'", {R"({"v":2.0})"}},
      {"SELECT count(*) FROM vb WHERE pk = 'b'", {"1"}},
      {"SELECT v FROM vb", {R"({"v":2.0})"}},
      {"SELECT v FROM whole WHERE pk = 'a'", {R"({"v":1.0})"}},
      {"SELECT count(*) FROM whole", {"2"}},
  };
  for (const auto& c : cases) EXPECT_EQ(rows(c.sql), c.want) << c.sql;
}

// The FROM name, in any letter case, qualifies the names that read its rows in every clause; a
// CTE, a subquery or a name that is not the FROM name qualifies nothing and reads NULL.
TEST_F(SelectTest, QualifiedNamesReadTheTable) {
  people();
  create_view("v", "SELECT doc FROM p");
  struct Case {
    std::string sql;
    Rows want;
  };
  const std::vector<Case> cases = {
      {"SELECT p.name, P.pk FROM p WHERE p.age > 26 ORDER BY p.age DESC",
       {R"({"P.pk":"c","p.name":"cy"})", R"({"P.pk":"a","p.name":"ann"})"}},
      {"SELECT name FROM p WHERE p.pk = 'b'", {R"({"name":"bob"})"}},
      {"SELECT count(*) FROM p WHERE p.city IS NULL", {"1"}},
      {"SELECT p.city AS c, count(*) AS n, sum(p.age) AS s FROM p GROUP BY p.city HAVING min(p.age) > 20 "
       "ORDER BY p.city DESC",
       {R"({"c":"y","n":1.0,"s":35.0})", R"({"c":"x","n":1.0,"s":30.0})", R"({"c":null,"n":1.0,"s":25.0})"}},
      {"SELECT count(*) AS n FROM p GROUP BY p.age > 26 HAVING p.age > 26", {R"({"n":2.0})"}},
      {"SELECT pk, row_number() OVER (PARTITION BY p.city IS NULL ORDER BY p.age DESC) AS r, "
       "lag(p.name) OVER (ORDER BY p.age) AS before FROM p",
       {R"({"before":"bob","pk":"a","r":2.0})", R"({"before":null,"pk":"b","r":1.0})",
        R"({"before":"ann","pk":"c","r":1.0})"}},
      // a view's rows are qualified by the view's name, not by its table's
      {"SELECT v.name, p.name AS t FROM v WHERE v.age < 30", {R"({"t":null,"v.name":"bob"})"}},
      {"SELECT q.name AS n FROM p WHERE pk = 'a'", {R"({"n":null})"}},
      {"WITH c AS (SELECT * FROM p) SELECT c.pk, p.pk AS t FROM c LIMIT 1", {R"({"c.pk":null,"t":null})"}},
      {"SELECT s.pk FROM (SELECT pk FROM p) AS s LIMIT 1", {R"({"s.pk":null})"}},
  };
  for (const Case& c : cases) EXPECT_EQ(rows(c.sql), c.want) << c.sql;
}

TEST_F(SelectTest, TransactionsAreSeen) {
  people();
  must(run("BEGIN"));
  must(write_put(*db, session, rel::row_key("p", "d"), R"({"name":"dee","age":40})"));
  must(write_put(*db, session, rel::row_key("p", "a"), ""));
  EXPECT_EQ(rows("SELECT name FROM p WHERE age > 26"), (Rows{R"({"name":"cy"})", R"({"name":"dee"})"}));
  EXPECT_EQ(rows("SELECT name FROM p WHERE pk = 'd'"), Rows{R"({"name":"dee"})"});
  must(run("ROLLBACK"));
  EXPECT_EQ(rows("SELECT count(*) FROM p"), Rows{"3"});
}

// Scans on threads evaluate WHERE there and leave out the rows it does not keep: whether the shards
// are read on threads or not, every query gives the same rows and the same error, including an
// error of WHERE on one row only, a key that is not UTF-8 (reported ahead of WHERE's errors), and
// rows staged by a transaction.
TEST_F(SelectTest, WhereOnScanThreadsAnswersAsOnTheCallingThread) {
  create_table("t");
  for (int i = 0; i < 60; ++i) put_row("t", "k" + std::to_string(i), "{\"n\":" + std::to_string(i % 10) + "}");
  put_row("t", "k7", "");  // a deleted row
  const std::vector<std::vector<std::string>> scripts = {
      {"SELECT pk FROM t WHERE n = 3"},
      {"SELECT count(*) FROM t WHERE n > 6"},
      {"SELECT pk, n FROM t WHERE n < 2 ORDER BY n DESC, pk LIMIT 4"},
      {"SELECT pk FROM t WHERE CASE WHEN pk = 'k42' THEN nofn() ELSE n = 2 END"},
      // Of two rows where WHERE fails, the first in key order decides the error.
      {"SELECT count(*) FROM t WHERE CASE WHEN pk = 'k42' THEN nofn() WHEN pk = 'k17' THEN otherfn() ELSE n = 2 END",
       "DELETE FROM t WHERE CASE WHEN pk = 'k5' THEN otherfn() WHEN pk = 'k38' THEN nofn() ELSE n = 2 END"},
      // A list of constants, whose lookup the threads make together on their first rows.
      {"SELECT pk FROM t WHERE n IN (1, 8, '3', NULL)", "SELECT count(*) FROM t WHERE n NOT IN (2, 4)"},
      {"UPDATE t SET m = 1 WHERE n = 4", "SELECT pk, m FROM t WHERE m = 1"},
      {"DELETE FROM t WHERE n = 5 AND pk > 'k3'", "SELECT count(*) FROM t"},
      {"BEGIN", "UPDATE t SET n = 9 WHERE pk = 'k10'", "DELETE FROM t WHERE pk = 'k19'",
       "INSERT INTO t (pk, doc) VALUES ('k99', '{\"n\":9}')", "SELECT pk FROM t WHERE n = 9",
       "UPDATE t SET n = 0 WHERE n = 9", "SELECT pk FROM t WHERE n = 0", "ROLLBACK"},
  };
  auto outcome = [&](const std::vector<std::string>& script) {
    std::vector<std::string> out;
    for (const std::string& sql : script) {
      Result<SqlResult> r = run(sql);
      if (!r) out.push_back(r.error().to_string());
      else if (auto* rows = std::get_if<SqlResult::Rows>(&r->value)) out.insert(out.end(), rows->rows.begin(), rows->rows.end());
      else out.push_back(std::get<SqlResult::Affected>(r->value).message);
    }
    return out;
  };
  for (const bool bad_key : {false, true}) {
    if (bad_key) put_row("t", "k5\xff", "{\"n\":3}");
    for (const std::vector<std::string>& script : scripts) {
      // Each script runs twice on its own copy of the rows: the second time the writes of the first
      // are written back as they were.
      const std::vector<LiveEntry> before = scan("table/t/");
      engine::set_scan_threads(engine::ScanThreads{0, 0});
      const std::vector<std::string> alone = outcome(script);
      for (const LiveEntry& e : before) must(db->put(e.key, e.value, 0, kMax, 1));
      for (const LiveEntry& e : scan("table/t/")) {
        if (std::ranges::find(before, e.key, &LiveEntry::key) == before.end()) must(db->put(e.key, "", 0, kMax, 1));
      }
      engine::set_scan_threads(engine::ScanThreads{8, 0});
      const std::vector<std::string> threaded = outcome(script);
      engine::set_scan_threads(std::nullopt);
      EXPECT_EQ(threaded, alone) << script.front() << (bad_key ? " (with a key that is not UTF-8)" : "");
    }
  }
}

// WHERE is evaluated once per row also when the scan's threads evaluate it: a filter that keeps
// each row with a chance of one half keeps about half the rows on every path (evaluated twice,
// it would keep a quarter), also inside a transaction that has staged a row of the table.
TEST_F(SelectTest, WhereRunsOncePerRowOnScanThreads) {
  constexpr int kRows = 4000;
  create_table("t");
  for (int i = 0; i < kRows; ++i) put_row("t", "k" + std::to_string(i), R"({"n":1})");
  struct Threads {
    Threads() { engine::set_scan_threads(engine::ScanThreads{8, 0}); }
    ~Threads() { engine::set_scan_threads(std::nullopt); }
  } threads;
  auto count = [&](std::string_view sql) { return std::stoul(rows(sql).at(0)); };
  auto changed = [&](std::string_view sql) { return std::get<SqlResult::Affected>(must(run(sql)).value).rows; };
  auto about_half = [&](std::size_t n) { return n > kRows * 2 / 5 && n < kRows * 3 / 5; };
  EXPECT_PRED1(about_half, count("SELECT count(*) FROM t WHERE RANDOM() < 0.5"));
  EXPECT_PRED1(about_half, rows("SELECT pk FROM t WHERE RANDOM() < 0.5").size());
  EXPECT_PRED1(about_half, rows("SELECT pk FROM t WHERE RANDOM() < 0.5 ORDER BY pk LIMIT 100000").size());
  const Rows grouped = rows("SELECT count(*) AS n FROM t WHERE RANDOM() < 0.5");
  EXPECT_PRED1(about_half, nlohmann::json::parse(grouped.at(0)).at("n").get<std::size_t>());
  must(run("BEGIN"));
  must(run("INSERT INTO t (pk, doc) VALUES ('staged', '{}')"));
  EXPECT_PRED1(about_half, count("SELECT count(*) FROM t WHERE RANDOM() < 0.5"));
  must(run("ROLLBACK"));
  const std::size_t updated = changed("UPDATE t SET m = 1 WHERE RANDOM() < 0.5");
  EXPECT_PRED1(about_half, updated);
  EXPECT_EQ(count("SELECT count(*) FROM t WHERE m = 1"), updated);
  const std::size_t deleted = changed("DELETE FROM t WHERE RANDOM() < 0.5");
  EXPECT_PRED1(about_half, deleted);
  EXPECT_EQ(count("SELECT count(*) FROM t"), kRows - deleted);
}

// A row a script holds back behind its lists (its table has a full-text index) is read with its new
// document by a later statement's filter, also when the scan's threads evaluate the filter: the
// threads see only the stored version.
TEST_F(SelectTest, WhereOnScanThreadsReadsTheRowsAScriptHoldsBack) {
  create_table("t");
  for (int i = 0; i < 2000; ++i) put_row("t", "k" + std::to_string(i), R"({"w":"old"})");
  must(run("CREATE FULLTEXT INDEX f ON t (doc)"));
  struct Threads {
    Threads() { engine::set_scan_threads(engine::ScanThreads{8, 0}); }
    ~Threads() { engine::set_scan_threads(std::nullopt); }
  } threads;
  const SqlResult updated = must(execute_sql(*db, "UPDATE t SET w = 'fresh' WHERE pk = 'k7';"
                                                  "UPDATE t SET m = 1 WHERE w = 'old'"));
  EXPECT_EQ(std::get<SqlResult::Affected>(updated.value).rows, 1999u);
  EXPECT_EQ(rows("SELECT pk FROM t WHERE m IS NULL"), Rows{R"({"pk":"k7"})"});
}

// What a result or an error reads as, for comparing two paths.
std::string outcome_text(const Result<SqlResult>& r) {
  if (!r) return r.error().to_string();
  if (const auto* rows = std::get_if<SqlResult::Rows>(&r->value)) {
    std::string out = "rows:";
    for (const std::string& row : rows->rows) out += " " + row;
    return out;
  }
  if (const auto* a = std::get_if<SqlResult::Affected>(&r->value)) return std::to_string(a->rows) + " " + a->message;
  return "explain";
}

// A SELECT of one row by its key, run from its text as a script runs it, answers and fails as the
// parsed statement does through the general SELECT path: over tables, a view, missing names and
// rows, non-JSON documents, escapes and a transaction's staged writes.
TEST(PkSelect, AgreesWithTheGeneralPath) {
  const std::vector<std::vector<std::string>> cases = {
      {"SELECT doc FROM p WHERE pk = 'a'", "SELECT DOC FROM p WHERE PK = 'b';", "SELECT doc FROM p WHERE pk = 'zz'"},
      {"SELECT * FROM p WHERE pk = 'a'", "SELECT pk FROM p WHERE pk = 'a'", "SELECT Pk FROM p WHERE pk = 'c'"},
      {"SELECT * FROM p WHERE pk = 'txt'", "SELECT pk FROM p WHERE pk = 'txt'", "SELECT doc FROM p WHERE pk = 'txt'"},
      {"SELECT doc FROM p WHERE pk = 'it\\'s'", "SELECT * FROM p WHERE pk = 'it''s'", "SELECT doc FROM p WHERE pk = ''"},
      {"SELECT doc FROM p WHERE pk = 'gone'", "SELECT * FROM p WHERE pk = 'gone'"},
      // A view, a missing name, the insight tables and a table shadowing a view.
      {"SELECT doc FROM v WHERE pk = 'a'", "SELECT doc FROM v WHERE pk = 'b'", "SELECT doc FROM nope WHERE pk = 'a'"},
      {"SELECT doc FROM ai_top_risks WHERE pk = 'a'", "SELECT * FROM ai_cluster_summary WHERE pk = 'a'"},
      {"SELECT doc FROM w WHERE pk = 'a'"},
      // Staged rows and catalog records are read inside a transaction.
      {"BEGIN", "INSERT INTO p (pk, doc) VALUES ('n', '{\"k\":1}')", "SELECT doc FROM p WHERE pk = 'n'",
       "DELETE FROM p WHERE pk = 'a'", "SELECT * FROM p WHERE pk = 'a'", "DROP TABLE p",
       "SELECT doc FROM p WHERE pk = 'b'", "CREATE TABLE q (id TEXT PRIMARY KEY)", "INSERT INTO q (pk, doc) VALUES ('1', '{}')",
       "SELECT pk FROM q WHERE pk = '1'", "ROLLBACK", "SELECT doc FROM p WHERE pk = 'a'", "SELECT doc FROM q WHERE pk = '1'"},
  };
  quenlordb::testing::TempDir dir;
  int n = 0;
  for (const std::vector<std::string>& statements : cases) {
    std::vector<std::string> fast, general;
    for (const bool from_text : {true, false}) {
      auto db = engine::testing::open_db(dir.file("d" + std::to_string(n++)), engine::testing::test_config(2));
      auto put = [&](std::string_view key, std::string value) { must(db->put(key, std::move(value), 0, kMax, 1)); };
      put(rel::schema_key("p"), must(rel::encode_schema_metadata(rel::TableSchemaMetadata{})));
      put(rel::schema_key("w"), must(rel::encode_schema_metadata(rel::TableSchemaMetadata{})));
      put(rel::view_key("v"), must(rel::encode_view_metadata(rel::ViewMetadata{"v", "SELECT * FROM p WHERE pk = 'a'", {}})));
      put(rel::view_key("w"), must(rel::encode_view_metadata(rel::ViewMetadata{"w", "SELECT * FROM p", {}})));
      put(rel::row_key("p", "a"), R"({"name":"ann","age":30})");
      put(rel::row_key("p", "b"), R"({"b":[1,{"c":null}]})");
      put(rel::row_key("p", "c"), "{}");
      put(rel::row_key("p", "txt"), "not json");
      put(rel::row_key("p", "it's"), R"({"q":"'"})");
      put(rel::row_key("p", ""), R"({"empty":true})");
      put(rel::row_key("p", "gone"), "");
      put(rel::row_key("w", "a"), R"({"w":1})");
      SqlSession session;
      std::vector<std::string>& out = from_text ? fast : general;
      for (const std::string& sql : statements) {
        // From the text as a script takes it, or the parsed statement.
        const std::optional<parser::PkSelect> text = parser::read_pk_select(sql);
        Result<SqlResult> r = from_text && text ? execute_pk_select(*db, session, *text)
                                                : [&]() -> Result<SqlResult> {
                                                    return execute_stmt(*db, session, TRY(parser::parse_sql(sql)));
                                                  }();
        out.push_back(sql + " -> " + outcome_text(r));
      }
    }
    EXPECT_EQ(fast, general);
  }
}

// A table's existence is remembered between calls only while nothing is written to its shard, and
// only for the database that answered it.
TEST(PkSelect, RemembersATableOnlyWhileItStands) {
  quenlordb::testing::TempDir dir;
  auto run = [](engine::Database& d, std::string_view sql) { return outcome_text(execute_sql(d, sql)); };
  const std::string schema = must(rel::encode_schema_metadata(rel::TableSchemaMetadata{}));
  const std::string missing = QuenlorError::sql_execution("table or view t does not exist").to_string();
  // Two databases written alike, at the same timestamps, one with the table and one without.
  auto db = engine::testing::open_db(dir.file("a"), engine::testing::test_config(2));
  auto other = engine::testing::open_db(dir.file("b"), engine::testing::test_config(2));
  must(db->put(rel::schema_key("t"), schema, 0, kMax, 1));
  must(other->put(rel::schema_key("t"), "", 0, kMax, 1));
  for (engine::Database* d : {db.get(), other.get()}) must(d->put(rel::row_key("t", "k"), R"({"n":1})", 0, kMax, 1));
  EXPECT_EQ(run(*db, "SELECT doc FROM t WHERE pk = 'k'"), R"(rows: {"n":1})");
  EXPECT_EQ(run(*other, "SELECT doc FROM t WHERE pk = 'k'"), missing);
  EXPECT_EQ(run(*db, "SELECT doc FROM t WHERE pk = 'k'"), R"(rows: {"n":1})");
  must(execute_sql(*db, "DROP TABLE t"));
  EXPECT_EQ(run(*db, "SELECT doc FROM t WHERE pk = 'k'"), missing);
  // The record written straight through the engine, as a program may.
  must(db->put(rel::schema_key("t"), schema, 0, kMax, 1));
  EXPECT_EQ(run(*db, "SELECT doc FROM t WHERE pk = 'k'"), "rows:");
  must(db->put(rel::schema_key("t"), "", 0, kMax, 1));
  EXPECT_EQ(run(*db, "SELECT doc FROM t WHERE pk = 'k'"), missing);
}

}  // namespace
}  // namespace quenlordb::sql::exec::testing
