// Joins of two tables: the key joins, nested loops over document fields, CROSS, WHERE, ordering,
// the count answer, projection and the bound on the size of a join.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <random>
#include <string>
#include <vector>

#include "engine/prefix_scan.h"
#include "facet/relational/keys.h"
#include "facet/relational/records.h"
#include "sql/exec/exec_fixture.h"
#include "sql/exec/join_select.h"
#include "sql/parser/parser.h"

namespace quenlordb::sql::exec::testing {
namespace {

namespace rel = facet::relational;

class JoinTest : public ExecFixture {
 protected:
  // a: k1, k2, k3; b: k2, k3, k4.
  void keyed() {
    create_table("a");
    create_table("b");
    put_row("a", "k1", R"({"x":1})");
    put_row("a", "k2", R"({"x":2})");
    put_row("a", "k3", R"({"x":3})");
    put_row("b", "k2", R"({"y":20})");
    put_row("b", "k3", R"({"y":30})");
    put_row("b", "k4", R"({"y":40})");
  }
  // orders o1..o3 pointing at customers c1, c2 (o3 at a missing c9).
  void orders() {
    create_table("orders");
    create_table("cust");
    put_row("orders", "o1", R"({"cust":"c1","amount":5})");
    put_row("orders", "o2", R"({"cust":"c2","amount":7})");
    put_row("orders", "o3", R"({"cust":"c9","amount":9})");
    put_row("orders", "o4", R"({"cust":"c1","amount":1})");
    put_row("cust", "k2", R"({"id":"c1","name":"ann"})");
    put_row("cust", "k1", R"({"id":"c2","name":"bob"})");
  }
};

TEST_F(JoinTest, KeyJoinsOfEveryType) {
  keyed();
  struct Case {
    std::string sql;
    std::vector<std::string> want;
  };
  const std::vector<Case> cases = {
      {"SELECT * FROM a JOIN b ON a.pk = b.pk",
       {R"({"left_doc":{"x":2},"pk":"k2","right_doc":{"y":20}})",
        R"({"left_doc":{"x":3},"pk":"k3","right_doc":{"y":30}})"}},
      // the mirrored equality is a key join too
      {"SELECT pk FROM a INNER JOIN b ON b.pk = a.pk", {R"({"pk":"k2"})", R"({"pk":"k3"})"}},
      {"SELECT * FROM a LEFT JOIN b ON a.pk = b.pk",
       {R"({"left_doc":{"x":1},"pk":"k1","right_doc":null})",
        R"({"left_doc":{"x":2},"pk":"k2","right_doc":{"y":20}})",
        R"({"left_doc":{"x":3},"pk":"k3","right_doc":{"y":30}})"}},
      {"SELECT pk, doc FROM a RIGHT JOIN b ON pk",
       {R"({"left_doc":{"x":2},"pk":"k2","right_doc":{"y":20}})",
        R"({"left_doc":{"x":3},"pk":"k3","right_doc":{"y":30}})",
        R"({"left_doc":null,"pk":"k4","right_doc":{"y":40}})"}},
      {"SELECT a.pk, b.pk, a.x, b.y FROM a RIGHT JOIN b ON a.pk = b.pk WHERE pk = 'k4'",
       {R"({"a.pk":null,"a.x":null,"b.pk":"k4","b.y":40.0})"}},
      {"SELECT count(*) FROM a JOIN b ON a.pk = b.pk", {"2"}},
      {"SELECT count(*) FROM a JOIN b ON a.pk = b.pk WHERE doc.right_doc.y > 25", {"1"}},
      {"SELECT pk FROM a JOIN b ON a.pk = b.pk WHERE pk = 'k3'", {R"({"pk":"k3"})"}},
      // a CROSS key is "{left}_{right}": a pk literal filters the joined rows, it narrows no side
      {"SELECT pk FROM a CROSS JOIN b WHERE pk = 'k1_k2'", {R"({"pk":"k1_k2"})"}},
      {"SELECT count(*) FROM a CROSS JOIN b WHERE pk = 'k1_k2'", {"1"}},
      {"SELECT pk FROM a CROSS JOIN b WHERE pk = 'k1'", {}},
      // pks alone, and a document read only inside a call
      {"SELECT pk, a.pk AS l FROM a CROSS JOIN b WHERE b.pk = 'k4' AND upper(a.pk) > 'K1'",
       {R"({"l":"k2","pk":"k2_k4"})", R"({"l":"k3","pk":"k3_k4"})"}},
      {"SELECT pk FROM a CROSS JOIN b WHERE abs(doc.left_doc.x - 2) < 1 AND b.pk < 'k4'",
       {R"({"pk":"k2_k2"})", R"({"pk":"k2_k3"})"}},
      {"SELECT pk FROM a CROSS JOIN b WHERE doc.left_doc.x = 1",
       {R"({"pk":"k1_k2"})", R"({"pk":"k1_k3"})", R"({"pk":"k1_k4"})"}},
      // ties on the ORDER BY value come out in ascending key order, even under DESC
      {"SELECT pk, doc.left_doc.x AS x FROM a CROSS JOIN b ORDER BY doc.left_doc.x DESC LIMIT 4",
       {R"({"pk":"k3_k2","x":3.0})", R"({"pk":"k3_k3","x":3.0})", R"({"pk":"k3_k4","x":3.0})",
        R"({"pk":"k2_k2","x":2.0})"}},
      {"SELECT A.x, B.y FROM a JOIN b ON a.pk = b.pk ORDER BY b.y DESC",
       {R"({"A.x":3.0,"B.y":30.0})", R"({"A.x":2.0,"B.y":20.0})"}},
      {"SELECT nope.x FROM a JOIN b ON a.pk = b.pk LIMIT 1", {R"({"nope.x":null})"}},
  };
  for (const Case& c : cases) EXPECT_EQ(rows(c.sql), c.want) << c.sql;
}

// A bare count of key-joined rows reads the tables' keys alone, staged writes laid over them, with
// the errors a scan of the rows gives.
TEST_F(JoinTest, CountsOfKeyJoinsReadTheKeysAlone) {
  keyed();
  const auto counts = [&] {
    std::vector<std::string> out;
    for (const char* type : {"", "LEFT ", "RIGHT "}) {
      out.push_back(rows(std::string("SELECT count(*) FROM a ") + type + "JOIN b ON a.pk = b.pk")[0]);
    }
    return out;
  };
  EXPECT_EQ(counts(), (std::vector<std::string>{"2", "3", "3"}));
  must(run("BEGIN"));
  must(run("INSERT INTO b (pk, doc) VALUES ('k1', '{}')"));
  must(run("INSERT INTO a (pk, doc) VALUES ('k0', '{}')"));
  must(run("DELETE FROM b WHERE pk = 'k3'"));
  EXPECT_EQ(counts(), (std::vector<std::string>{"2", "4", "3"}));  // a: k0-k3; b: k1, k2, k4
  must(run("ROLLBACK"));
  EXPECT_EQ(counts(), (std::vector<std::string>{"2", "3", "3"}));
  must(db->put(facet::relational::row_key("b", "\xff"), "{}", 0, kMax));
  expect_error("SELECT count(*) FROM a JOIN b ON a.pk = b.pk", "row key contains non-utf8 pk");
}

// Without ORDER BY joined rows come in ascending key order, rows of one key in the order the join
// makes them (pair by pair, then unmatched left rows, then unmatched right rows).
TEST_F(JoinTest, RowsComeInKeyOrder) {
  keyed();
  for (const char* t : {"l", "r"}) create_table(t);
  // CROSS keys of these interleave: a_b_b_c < a_b_c (twice) < a_c
  put_row("l", "a", "{}");
  put_row("l", "a_b", "{}");
  put_row("r", "b_c", "{}");
  put_row("r", "c", "{}");
  for (const char* pk : {"k1", "k10", "k9"}) put_row("a", pk, R"({"x":0})");
  struct Case {
    std::string sql;
    std::vector<std::string> want;
  };
  const std::vector<Case> cases = {
      {"SELECT pk, l.pk AS a, r.pk AS b FROM l CROSS JOIN r",
       {R"({"a":"a_b","b":"b_c","pk":"a_b_b_c"})", R"({"a":"a","b":"b_c","pk":"a_b_c"})",
        R"({"a":"a_b","b":"c","pk":"a_b_c"})", R"({"a":"a","b":"c","pk":"a_c"})"}},
      {"SELECT pk FROM l CROSS JOIN r LIMIT 2", {R"({"pk":"a_b_b_c"})", R"({"pk":"a_b_c"})"}},
      // "k10_" sorts before "k1_"
      {"SELECT pk FROM a CROSS JOIN b WHERE a.x = 0 AND b.pk = 'k2'",
       {R"({"pk":"k10_k2"})", R"({"pk":"k1_k2"})", R"({"pk":"k9_k2"})"}},
      {"SELECT pk FROM a CROSS JOIN b WHERE a.x = 0 AND b.pk = 'k2' LIMIT 1", {R"({"pk":"k10_k2"})"}},
      // the pair keyed k3 comes before the unmatched right row k3
      {"SELECT pk, a.pk AS l, b.pk AS r FROM a RIGHT JOIN b ON a.x * 10 = b.y + 10 WHERE b.y > 10",
       {R"({"l":"k3","pk":"k3","r":"k2"})", R"({"l":null,"pk":"k3","r":"k3"})", R"({"l":null,"pk":"k4","r":"k4"})"}},
      {"SELECT pk, b.pk AS r FROM a LEFT JOIN b ON a.x * 10 = b.y LIMIT 3",
       {R"({"pk":"k1","r":null})", R"({"pk":"k10","r":null})", R"({"pk":"k2","r":"k2"})"}},
  };
  for (const Case& c : cases) EXPECT_EQ(rows(c.sql), c.want) << c.sql;
}

// Tables large enough that the JOIN table's keys are read on a thread of their own while the FROM
// table's are: the same counts, staged writes and errors.
TEST_F(JoinTest, CountsOfLargeKeyJoins) {
  create_table("a");
  create_table("b");
  for (int i = 0; i < 6000; ++i) {
    char pk[8];
    std::snprintf(pk, sizeof pk, "r%05d", i);
    if (i < 5000) put_row("a", pk, "{}");
    if (i >= 1000) put_row("b", pk, "{}");
  }
  const auto counts = [&] {
    std::vector<std::string> out;
    for (const char* type : {"", "LEFT ", "RIGHT "}) {
      out.push_back(rows(std::string("SELECT count(*) FROM a ") + type + "JOIN b ON a.pk = b.pk")[0]);
    }
    return out;
  };
  EXPECT_EQ(counts(), (std::vector<std::string>{"4000", "5000", "5000"}));
  must(run("BEGIN"));
  must(run("INSERT INTO b (pk, doc) VALUES ('r00000', '{}')"));
  must(run("DELETE FROM b WHERE pk = 'r04999'"));
  EXPECT_EQ(counts(), (std::vector<std::string>{"4000", "5000", "5000"}));
  must(run("DELETE FROM a WHERE pk = 'r01000'"));
  EXPECT_EQ(counts(), (std::vector<std::string>{"3999", "4999", "5000"}));
  must(run("ROLLBACK"));
  must(db->put(facet::relational::row_key("b", "\xff"), "{}", 0, kMax));
  expect_error("SELECT count(*) FROM a JOIN b ON a.pk = b.pk", "row key contains non-utf8 pk");
}

TEST_F(JoinTest, NestedLoopOnDocumentFields) {
  orders();
  struct Case {
    std::string sql;
    std::vector<std::string> want;
  };
  const std::vector<Case> cases = {
      // qualified names read their own table: a real join, not every pair
      {"SELECT orders.pk, cust.name FROM orders JOIN cust ON orders.cust = cust.id",
       {R"({"cust.name":"ann","orders.pk":"o1"})", R"({"cust.name":"bob","orders.pk":"o2"})",
        R"({"cust.name":"ann","orders.pk":"o4"})"}},
      {"SELECT pk FROM orders JOIN cust ON doc.left_doc.cust = doc.right_doc.id", 
       {R"({"pk":"o1"})", R"({"pk":"o2"})", R"({"pk":"o4"})"}},
      // an ON that reads the joined document whole sees the same document
      {"SELECT pk FROM orders JOIN cust ON doc LIKE '%\"cust\":\"c1\"%\"id\":\"c1\"%'",
       {R"({"pk":"o1"})", R"({"pk":"o4"})"}},
      // ON cut at its ANDs: one side's parts, a comparison across the sides, a call per pair
      {"SELECT pk, cust.pk AS c FROM orders LEFT JOIN cust "
       "ON cust.id = orders.cust AND orders.amount > 4 AND upper(cust.name) = 'ANN' AND pk < 'o9'",
       {R"({"c":"k2","pk":"o1"})", R"({"c":null,"pk":"o2"})", R"({"c":null,"pk":"o3"})", R"({"c":null,"pk":"o4"})"}},
      {"SELECT pk, cust.pk AS c FROM orders RIGHT JOIN cust ON orders.cust >= cust.id AND cust.name = 'bob'",
       {R"({"c":"k2","pk":"k2"})", R"({"c":"k1","pk":"o2"})", R"({"c":"k1","pk":"o3"})"}},
      {"SELECT pk, cust.pk, cust.name FROM orders LEFT JOIN cust ON orders.cust = cust.id",
       {R"({"cust.name":"ann","cust.pk":"k2","pk":"o1"})", R"({"cust.name":"bob","cust.pk":"k1","pk":"o2"})",
        R"({"cust.name":null,"cust.pk":null,"pk":"o3"})", R"({"cust.name":"ann","cust.pk":"k2","pk":"o4"})"}},
      // the pk literal keeps a partner whose pk differs from it
      {"SELECT pk, cust.pk FROM orders LEFT JOIN cust ON orders.cust = cust.id WHERE pk = 'o2'",
       {R"({"cust.pk":"k1","pk":"o2"})"}},
      {"SELECT pk FROM cust RIGHT JOIN orders ON cust.id = orders.cust WHERE pk = 'o3'", {R"({"pk":"o3"})"}},
      {"SELECT count(*) FROM orders JOIN cust ON orders.cust = cust.id WHERE orders.amount > 2", {"2"}},
      {"SELECT doc.right_doc.name AS n, sum(doc.left_doc.amount) AS s FROM orders JOIN cust "
       "ON orders.cust = cust.id GROUP BY doc.right_doc.name",
       {R"({"n":"ann","s":6.0})", R"({"n":"bob","s":7.0})"}},
      {"SELECT orders.pk FROM orders JOIN cust ON orders.cust = cust.id ORDER BY orders.amount",
       {R"({"orders.pk":"o4"})", R"({"orders.pk":"o1"})", R"({"orders.pk":"o2"})"}},
  };
  for (const Case& c : cases) EXPECT_EQ(rows(c.sql), c.want) << c.sql;
}

// Grouped joins read either table by its name in GROUP BY, the aggregates, HAVING and ORDER BY; a
// padded side reads NULL.
// An equality in ON pairs rows through an index of the JOIN table's operand values, the FROM table
// is paired as its scan hands it over where no pair is held, and a WHERE part that reads one side
// is evaluated once per row of it. The reference reads both tables whole, tries every pair and
// evaluates WHERE on each (a part inside a call is evaluated per pair): the same rows, in the same
// order, for every join type, ON form and finish, over values that `=` pairs across kinds (1, '1'
// and 1.0; -0 and 0; NULL and missing members) and keeps apart ('1' and '1.0'), before and after
// rewrites (AS OF).
TEST_F(JoinTest, EqualityJoinsPairAsTheNestedLoopDoes) {
  const std::vector<std::string> values = {
      "1", "1.0", "-0", "0", "2.5", "null", "true", "false", R"("1")", R"("1.0")", R"("01")", R"("-0")",
      R"("0")", R"("2.5")", R"("abc")", R"("ABC")", R"("")", R"("a text of more than sixteen bytes")",
      R"("1e0")", R"("nan")", R"("inf")", "[1]", R"({"k":1})"};
  const std::vector<std::string> pks = {"1", "01", "1.0", "0", "-0", "2.5", "abc", "k1", "k2"};
  std::mt19937 rng(20261211);
  const auto doc = [&] {
    std::string out = "{";
    for (const char* member : {"a", "b"}) {
      if (rng() % 6 == 0) continue;  // missing
      out += std::string("\"") + member + "\":" + values[rng() % values.size()] + ",";
    }
    return out + "\"w\":" + std::to_string(rng() % 4) + "}";
  };
  const auto pk_of = [&](std::size_t i) { return i < pks.size() ? pks[i] : "p" + std::to_string(i); };
  create_table("l");
  create_table("r");
  std::uint64_t first = 0;
  for (std::size_t i = 0; i < 36; ++i) {
    for (const char* table : {"l", "r"}) first = std::max(first, put_row(table, pk_of(i), doc()));
  }
  for (int i = 0; i < 12; ++i) {
    for (const char* table : {"l", "r"}) put_row(table, pk_of(rng() % 40), i % 4 == 0 ? "" : doc());
  }

  const std::vector<std::string> ons = {
      "l.a = r.b", "r.b = l.a", "l.a = r.pk", "doc.left_doc.b = doc.right_doc.a", "l.a = r.b AND r.w > 1",
      "l.a = r.a AND l.b = r.b", "l.b = r.b AND l.w < r.w", "pk = r.a", "l.a = r.b AND upper(r.pk) > 'K'"};
  // Each shape as run, and as the reference runs it: WHERE parts as calls.
  std::vector<std::pair<std::string, std::string>> shapes = {
      {"SELECT * FROM {}", ""},
      {"SELECT count(*) FROM {}", ""},
      {"SELECT pk, l.pk AS lp, r.pk AS rp, l.a AS la, r.b AS rb FROM {} LIMIT 9", ""},
      {"SELECT pk, r.pk AS rp FROM {} WHERE r.w > 1 AND l.b IS NULL",
       "SELECT pk, r.pk AS rp FROM {} WHERE coalesce(r.w > 1) AND coalesce(l.b IS NULL)"},
      {"SELECT pk, l.a AS la, r.pk AS rp FROM {} WHERE l.w < 3 ORDER BY r.w DESC, l.a LIMIT 7",
       "SELECT pk, l.a AS la, r.pk AS rp FROM {} WHERE coalesce(l.w < 3) ORDER BY r.w DESC, l.a LIMIT 7"},
      {"SELECT l.a AS g, count(*) AS n, sum(r.w) AS s FROM {} WHERE r.pk IS NULL OR r.w = 2 GROUP BY l.a",
       "SELECT l.a AS g, count(*) AS n, sum(r.w) AS s FROM {} WHERE coalesce(r.pk IS NULL OR r.w = 2) GROUP BY l.a"},
      {"SELECT count(*) FROM {} WHERE l.w >= r.w", ""},
      {"SELECT l.pk AS lp, count(*) AS n, string_agg(doc, '|') AS d FROM {} GROUP BY l.pk ORDER BY l.b", ""},
      {"SELECT count(*) FROM {} WHERE pk < 'k' AND r.b = 1", "SELECT count(*) FROM {} WHERE coalesce(pk < 'k') AND coalesce(r.b = 1)"},
      {"SELECT l.pk AS lp, r.pk AS rp FROM {} AS OF " + std::to_string(first), ""},
  };
  // The FROM row a pk literal reads, paired with the JOIN rows read by key where it can be.
  for (const std::string& pk : pks) shapes.push_back({"SELECT pk, r.pk AS rp, r.b AS rb FROM {} WHERE pk = '" + pk + "'", ""});
  // Rows or the error.
  const auto outcome = [&](const std::string& sql) {
    Result<SqlResult> r = run(sql);
    if (!r) return std::vector<std::string>{r.error().to_string()};
    return std::get<SqlResult::Rows>(r->value).rows.strings();
  };
  const auto with_from = [](const std::string& shape, const std::string& from) {
    return shape.substr(0, shape.find("{}")) + from + shape.substr(shape.find("{}") + 2);
  };
  std::size_t compared = 0;
  for (const char* type : {"JOIN", "LEFT JOIN", "RIGHT JOIN"}) {
    for (const std::string& on : ons) {
      for (const auto& [shape, reference] : shapes) {
        const std::string from = std::string("l ") + type + " r ON " + on;
        use_plain_nested_loop(true);
        const std::vector<std::string> want = outcome(with_from(reference.empty() ? shape : reference, from));
        use_plain_nested_loop(false);
        const std::string sql = with_from(shape, from);
        EXPECT_EQ(outcome(sql), want) << sql;
        compared += want.size();
      }
    }
  }
  EXPECT_GT(compared, 5000u);
}

// A WHERE part that reads one side is evaluated once per row of it, but as AND evaluates it: its
// error ends the statement only where the parts before it hold for the pair, and a padded side
// is evaluated for each pair.
TEST_F(JoinTest, WherePartsOfOneSide) {
  keyed();
  const std::string blob = "unsupported CAST target type: BLOB";
  expect_error("SELECT pk FROM a JOIN b ON a.x * 10 = b.y WHERE a.x = 3 AND cast(b.y AS blob) = 1", blob);
  expect_error("SELECT pk FROM a CROSS JOIN b WHERE b.pk = 'k4' AND cast(a.x AS blob) = 1", blob);
  struct Case {
    std::string sql;
    std::vector<std::string> want;
  };
  const std::vector<Case> cases = {
      {"SELECT pk FROM a JOIN b ON a.x * 10 = b.y WHERE a.x = 9 AND cast(b.y AS blob) = 1", {}},
      {"SELECT count(*) FROM a CROSS JOIN b WHERE b.pk = 'k9' AND cast(a.x AS blob) = 1", {"0"}},
      {"SELECT pk, b.pk AS r FROM a LEFT JOIN b ON a.x * 10 = b.y WHERE b.y IS NULL OR b.y = 30",
       {R"({"pk":"k1","r":null})", R"({"pk":"k3","r":"k3"})"}},
      {"SELECT pk, a.pk AS l FROM a RIGHT JOIN b ON a.x * 10 = b.y WHERE a.x IS NULL AND pk > 'k3'",
       {R"({"l":null,"pk":"k4"})"}},
      // in a CROSS join pk is the pair's own key, not the left row's
      {"SELECT pk FROM a CROSS JOIN b WHERE pk > 'k2_k3' AND pk < 'k3_k4'", {R"({"pk":"k2_k4"})", R"({"pk":"k3_k2"})", R"({"pk":"k3_k3"})"}},
  };
  for (const Case& c : cases) EXPECT_EQ(rows(c.sql), c.want) << c.sql;
}

// The pairs that ORDER BY and grouping hold keep the FROM table's rows they pair after the scan has
// handed them over and reused its memory: rows read from table files on threads of the scan's own,
// in batches that go back to the threads once visited.
TEST_F(JoinTest, HeldPairsOutliveTheScanOfTheFromTable) {
  Config config = engine::testing::test_config(2, true);
  config.memtable_max_bytes = 256 << 10;
  db = engine::testing::open_db(dir.file("small_memtables"), config);
  create_table("l");
  create_table("r");
  for (int i = 0; i < 20000; ++i) {
    put_row("l", "l" + std::to_string(i), R"({"k":)" + std::to_string(i % 500) + R"(,"v":")" + std::to_string(i) + R"("})");
  }
  for (int i = 0; i < 500; i += 97) put_row("r", "r" + std::to_string(i), R"({"k":)" + std::to_string(i) + "}");
  const std::vector<std::string> queries = {
      "SELECT l.v AS v, r.pk AS rp FROM l JOIN r ON l.k = r.k ORDER BY l.v LIMIT 40",
      "SELECT r.pk AS rp, string_agg(l.v, ',') AS vs, max(doc.left_doc.v) AS m FROM l LEFT JOIN r ON l.k = r.k "
      "GROUP BY r.pk",
  };
  for (const std::string& sql : queries) {
    use_plain_nested_loop(true);
    const std::vector<std::string> want = rows(sql);
    use_plain_nested_loop(false);
    engine::set_scan_threads(engine::ScanThreads{8, 0});
    EXPECT_EQ(rows(sql), want) << sql;
    engine::set_scan_threads(std::nullopt);
  }
}

// A FROM row read by a pk literal and paired with the JOIN table's primary key reads its partner by
// key when its value is a text, which meets that key alone; a number meets every key that reads as
// it, so the JOIN table is read whole (here failing on a key that is not UTF-8).
TEST_F(JoinTest, APartnerByPrimaryKeyIsReadByKey) {
  keyed();
  put_row("a", "x1", R"({"ref":"k3"})");
  put_row("a", "x2", R"({"ref":3})");
  put_row("a", "x3", R"({"ref":null})");
  must(db->put(facet::relational::row_key("b", "\xff"), "{}", 0, kMax));
  EXPECT_EQ(rows("SELECT pk, b.pk AS r, b.y AS y FROM a JOIN b ON a.ref = b.pk WHERE pk = 'x1'"),
            std::vector<std::string>{R"({"pk":"x1","r":"k3","y":30.0})"});
  EXPECT_EQ(rows("SELECT pk, b.pk AS r FROM a LEFT JOIN b ON a.ref = b.pk WHERE pk = 'x3'"),
            std::vector<std::string>{R"({"pk":"x3","r":null})"});
  expect_error("SELECT pk FROM a JOIN b ON a.ref = b.pk WHERE pk = 'x2'", "row key contains non-utf8 pk");
}

// A FROM table paired as its scan hands it over still fails on its read errors before the errors
// of pairing its rows, as when it is read whole first.
TEST_F(JoinTest, ReadErrorsOfTheFromTableComeFirst) {
  keyed();
  must(db->put(facet::relational::row_key("a", "\xff"), R"({"x":2})", 0, kMax));
  const std::string bad_key = "row key contains non-utf8 pk";
  expect_error("SELECT pk FROM a JOIN b ON a.x * 10 = b.y WHERE cast(b.y AS blob) = 1", bad_key);
  expect_error("SELECT pk FROM a LEFT JOIN b ON a.x * 10 = b.y LIMIT 1", bad_key);
  expect_error("SELECT count(*) FROM a JOIN b ON a.x * 10 = b.y", bad_key);
  must(db->put(facet::relational::row_key("a", "\xff"), "", 0, kMax));
  must(db->put(facet::relational::row_key("b", "\xff"), R"({"y":20})", 0, kMax));
  expect_error("SELECT count(*) FROM a JOIN b ON a.x * 10 = b.y", bad_key);
  EXPECT_EQ(rows("SELECT count(*) FROM b JOIN a ON b.y = a.x * 10 WHERE pk = 'k2'"), std::vector<std::string>{"1"});
}

TEST_F(JoinTest, GroupedJoinsReadBothTables) {
  orders();
  keyed();
  struct Case {
    std::string sql;
    std::vector<std::string> want;
  };
  const std::vector<Case> cases = {
      {"SELECT cust.name AS n, sum(orders.amount) AS s, count(cust.pk) AS k FROM orders LEFT JOIN cust "
       "ON orders.cust = cust.id GROUP BY cust.name HAVING sum(Orders.amount) > 6 ORDER BY cust.name DESC",
       {R"({"k":1.0,"n":"bob","s":7.0})", R"({"k":0.0,"n":null,"s":9.0})"}},
      {"SELECT a.pk AS k, count(*) AS c FROM a JOIN b ON a.pk = b.pk GROUP BY a.pk ORDER BY b.y DESC",
       {R"({"c":1.0,"k":"k3"})", R"({"c":1.0,"k":"k2"})"}},
      {"SELECT max(a.x) AS x, min(b.y) AS y FROM a CROSS JOIN b WHERE a.x < 3", {R"({"x":2.0,"y":20.0})"}},
      // `*` takes the members of the group's first joined document, `doc` reads it whole
      {"SELECT *, count(*) AS n FROM a JOIN b ON a.pk = b.pk GROUP BY b.y LIMIT 1",
       {R"({"left_doc":{"x":2},"n":1.0,"right_doc":{"y":20}})"}},
      {"SELECT string_agg(doc, ' ') AS d FROM a JOIN b ON a.pk = b.pk",
       {R"({"d":"{\"left_doc\":{\"x\":2},\"right_doc\":{\"y\":20}} {\"left_doc\":{\"x\":3},\"right_doc\":{\"y\":30}}"})"}},
  };
  for (const Case& c : cases) EXPECT_EQ(rows(c.sql), c.want) << c.sql;
}

TEST_F(JoinTest, UnqualifiedNamesOnTheJoinedDocument) {
  keyed();
  // b.pk = a.pk read as positional would compare NULLs; as a key join it pairs k2 and k3 only.
  EXPECT_EQ(rows("SELECT count(*) FROM a JOIN b ON b.pk = a.pk"), std::vector<std::string>{"2"});
  // a field the joined document has not got reads NULL, and NULL = NULL holds
  EXPECT_EQ(rows("SELECT count(*) FROM a JOIN b ON x = y"), std::vector<std::string>{"9"});
}

TEST_F(JoinTest, Refusals) {
  keyed();
  create_view("v", "SELECT doc FROM a");
  expect_error("SELECT doc FROM a JOIN b ON a.pk = b.pk", "JOIN does not support SELECT doc projection");
  expect_error("SELECT * FROM v JOIN b ON v.pk = b.pk", "table v does not exist");
  expect_error("SELECT * FROM a JOIN v ON a.pk = v.pk", "table v does not exist");
  expect_error("SELECT * FROM a JOIN b ON a.pk = b.pk WHERE cast(pk AS blob) = 1",
               "unsupported CAST target type: BLOB");
  // a window function anywhere in a join is refused before any table is read
  const std::string window = "window functions are not supported in a join";
  expect_error("SELECT pk, ROW_NUMBER() OVER (ORDER BY pk) AS rn FROM a CROSS JOIN b", window);
  expect_error("SELECT pk FROM a JOIN b ON a.pk = b.pk ORDER BY rank() OVER (ORDER BY pk)", window);
  expect_error("SELECT count(*) FROM a JOIN b ON a.pk = b.pk WHERE lag(x) OVER () > 1", window);
  expect_error("SELECT lead(x) OVER () + 1 AS n FROM a JOIN nope ON a.pk = nope.pk", window);
}

// A qualifier reads the table whose name it equals exactly; only when none does, the one it equals
// in ASCII letter case, and two such tables make it ambiguous.
TEST_F(JoinTest, QualifiersMatchTableNamesExactlyFirst) {
  for (const char* t : {"ab", "AB", "cd"}) create_table(t);
  for (const char* pk : {"k1", "k2"}) {
    put_row("ab", pk, R"({"v":"lower"})");
    put_row("AB", pk, R"({"v":"upper"})");
    put_row("cd", pk, R"({"v":"other"})");
  }
  struct Case {
    std::string sql;
    std::vector<std::string> want;
  };
  const std::vector<Case> cases = {
      {"SELECT ab.v AS l, AB.v AS u FROM ab JOIN AB ON ab.pk = AB.pk",
       {R"({"l":"lower","u":"upper"})", R"({"l":"lower","u":"upper"})"}},
      {"SELECT ab.v AS l, AB.v AS u FROM AB JOIN ab ON AB.pk = ab.pk LIMIT 1", {R"({"l":"lower","u":"upper"})"}},
      {"SELECT AB.v AS u FROM AB LEFT JOIN ab ON AB.v = ab.v", {R"({"u":"upper"})", R"({"u":"upper"})"}},
      // both operands read one table's pk: not a key join, so every pair matches
      {"SELECT count(*) FROM ab JOIN AB ON ab.pk = ab.pk", {"4"}},
      {"SELECT count(*) FROM ab JOIN AB ON AB.pk = AB.pk", {"4"}},
      // no exact match: letter case decides, when only one table answers
      {"SELECT Ab.v AS l, CD.v AS o FROM ab JOIN cd ON aB.pk = Cd.pk LIMIT 1", {R"({"l":"lower","o":"other"})"}},
  };
  for (const Case& c : cases) EXPECT_EQ(rows(c.sql), c.want) << c.sql;
  expect_error("SELECT Ab.v FROM ab JOIN AB ON ab.pk = AB.pk", "ambiguous table qualifier Ab");
  expect_error("SELECT count(*) FROM ab JOIN AB ON aB.pk = AB.pk", "ambiguous table qualifier aB");
  expect_error("SELECT ab.v FROM ab CROSS JOIN AB ORDER BY aB.v", "ambiguous table qualifier aB");
}

TEST_F(JoinTest, JoinSizeIsBounded) {
  create_table("big");
  create_table("small");
  for (int i = 0; i < 3200; ++i) {
    put_row("big", "r" + std::to_string(i), "{}");
    put_row("small", "r" + std::to_string(i), "{}");
  }
  // 3200 x 3200 pairs exceed the bound: CROSS fails before pairing anything, a nested loop on
  // passing it; a key join is not bounded
  const std::string msg = "join would produce more than 10000000 rows";
  expect_error("SELECT count(*) FROM big CROSS JOIN small", msg);
  expect_error("SELECT pk FROM big CROSS JOIN small LIMIT 1", msg);
  expect_error("SELECT pk FROM big CROSS JOIN small LIMIT 0", msg);
  expect_error("SELECT count(*) FROM big JOIN small ON big.x = small.x", msg);
  EXPECT_EQ(rows("SELECT count(*) FROM big JOIN small ON big.pk = small.pk"), std::vector<std::string>{"3200"});
  // a LIMIT without ORDER BY ends the pairing once it has its rows, long before the bound
  EXPECT_EQ(rows("SELECT pk, small.pk AS s FROM big JOIN small ON big.x = small.x LIMIT 2"),
            (std::vector<std::string>{R"({"pk":"r0","s":"r0"})", R"({"pk":"r0","s":"r1"})"}));
}

// A side whose document is not JSON stands in the joined document as the text of its bytes, when
// ON, WHERE or an item reads it.
TEST_F(JoinTest, DocumentsThatAreNotJson) {
  keyed();
  must(db->put(facet::relational::row_key("a", "k2"), "raw bytes", 0, kMax));
  struct Case {
    std::string sql;
    std::vector<std::string> want;
  };
  const std::vector<Case> cases = {
      {"SELECT pk FROM a JOIN b ON doc.left_doc = 'raw bytes'",
       {R"({"pk":"k2"})", R"({"pk":"k2"})", R"({"pk":"k2"})"}},
      {"SELECT a.x AS x, left_doc AS d FROM a JOIN b ON a.pk = b.pk WHERE doc.left_doc LIKE 'raw%'",
       {R"({"d":"raw bytes","x":null})"}},
      {"SELECT * FROM a JOIN b ON a.pk = b.pk LIMIT 1", {R"({"left_doc":"raw bytes","pk":"k2","right_doc":{"y":20}})"}},
  };
  for (const Case& c : cases) EXPECT_EQ(rows(c.sql), c.want) << c.sql;
}

TEST(IsPkEqJoin, Forms) {
  auto on = [](std::string_view sql) {
    parser::Statement stmt = must(parser::parse_sql(std::string("SELECT * FROM a JOIN b ON ") + std::string(sql)));
    return stmt.get_if<parser::Statement::Select>()->join->on_clause;
  };
  const std::optional<std::string> alias = "bb";
  for (std::string_view yes : {"a.pk = b.pk", "b.pk = a.pk", "a.pk = pk", "A.PK = B.Pk", "a.pk = bb.pk", "b.pk = pk.pk"}) {
    EXPECT_TRUE(is_pk_eq_join(on(yes), "a", "b", alias)) << yes;
  }
  for (std::string_view no : {"a.pk = a.pk", "a.x = b.pk", "a.pk < b.pk", "a.pk.z = b.pk", "c.pk = b.pk"}) {
    EXPECT_FALSE(is_pk_eq_join(on(no), "a", "b", alias)) << no;
  }
}

}  // namespace
}  // namespace quenlordb::sql::exec::testing
