#include <gtest/gtest.h>

#include "parse_outcome.h"

namespace quenlordb::sql::parser {
namespace {

using testing::expect_outcomes;
using testing::parse_outcome;
using testing::select_text;

constexpr const char* kPkJoinAB =
    R"(Some(JoinSpec { join_type: Inner, right_table: "b", right_alias: None, on_clause: Some(BinOp { )"
    R"(left: FieldAccess { column: "a", path: ["pk"] }, op: Eq, right: FieldAccess { column: "b", path: ["pk"] } }) }))";

TEST(SelectParserTest, ItemsAndPlainSource) {
  expect_outcomes({
      {"SELECT * FROM t", select_text({})},
      {"select a AS x, *, b from T",
       select_text({{"from", R"(Named("T"))"},
                    {"items", R"([Expr { expr: Column("a"), alias: Some("x") }, AllColumns, Expr { expr: Column("b"), alias: None }])"}})},
      // A trailing comma makes FROM an item; an alias needs AS.
      {"SELECT a, FROM t", "error: expected keyword FROM"},
      {"SELECT a x FROM t", "error: expected keyword FROM"},
      {"SELECT a AS FROM t", "error: expected keyword FROM"},
      {"SELECT a AS 'x' FROM t", "error: expected identifier"},
      {"SELECT * t", "error: expected keyword FROM"},
      {"SELECT * FROM", "error: expected identifier"},
      {"SELECT * FROM 'file.csv'", "error: expected identifier"},
      // No alias on a plain table name.
      {"SELECT * FROM t u", "error: unexpected trailing tokens"},
  });
}

TEST(SelectParserTest, ClausesAfterWhereInAnyOrder) {
  const std::string expected = select_text({
      {"items", R"([Expr { expr: Column("a"), alias: None }])"},
      {"filter", R"(Some(BinOp { left: Column("x"), op: Eq, right: NumberLit(1.0) }))"},
      {"as_of", "Some(100)"},
      {"valid_at", "Some(50)"},
      {"order_by", R"(Some([(Column("a"), Desc)]))"},
      {"limit", "Some(3)"},
  });
  expect_outcomes({
      {"SELECT a FROM t WHERE x = 1 ORDER BY a DESC LIMIT 3 AS OF 100 VALID AT 50", expected},
      {"SELECT a FROM t WHERE x = 1 VALID AT 50 LIMIT 3 AS OF 100 ORDER BY a DESC", expected},
      {"SELECT a FROM t ORDER BY a WHERE x = 1", "error: unexpected trailing tokens"},
      {"SELECT * FROM t ORDER BY a, b ASC, c desc LIMIT 0",
       select_text({{"order_by", R"(Some([(Column("a"), Asc), (Column("b"), Asc), (Column("c"), Desc)]))"},
                    {"limit", "Some(0)"}})},
      {"SELECT * FROM t GROUP BY g, h HAVING n",
       select_text({{"group_by", R"(Some([Column("g"), Column("h")]))"}, {"having", R"(Some(Column("n")))"}})},
      // AS without OF ends the clauses.
      {"SELECT * FROM t AS OF 1 AS x", "error: unexpected trailing tokens"},
  });
}

TEST(SelectParserTest, ClauseErrors) {
  expect_outcomes({
      {"SELECT a FROM t LIMIT 1 LIMIT 2", "error: LIMIT specified more than once"},
      {"SELECT a FROM t AS OF 1 ORDER BY a AS OF 2", "error: AS OF specified more than once"},
      {"SELECT a FROM t VALID AT 1 VALID AT 2", "error: VALID AT specified more than once"},
      {"SELECT a FROM t GROUP BY a GROUP BY b", "error: GROUP BY specified more than once"},
      {"SELECT a FROM t GROUP BY a HAVING x HAVING y", "error: HAVING specified more than once"},
      {"SELECT a FROM t ORDER BY a ORDER BY b", "error: ORDER BY specified more than once"},
      // The repeated clause is refused before its own syntax is looked at.
      {"SELECT a FROM t LIMIT 1 LIMIT x", "error: LIMIT specified more than once"},
      {"SELECT g FROM t HAVING x GROUP BY g", "error: HAVING requires GROUP BY"},
      {"SELECT a FROM t GROUP a", "error: expected keyword BY"},
      {"SELECT a FROM t ORDER a", "error: expected keyword BY"},
      {"SELECT a FROM t VALID 5", "error: expected keyword AT"},
      {"SELECT a FROM t LIMIT x", "error: expected numeric literal"},
      {"SELECT a FROM t LIMIT 1.5", "error: invalid number"},
      {"SELECT a FROM t AS OF 18446744073709551616", "error: invalid number"},
  });
}

TEST(SelectParserTest, ForClausesKeptInOrder) {
  expect_outcomes({
      {"SELECT * FROM t FOR SYSTEM_TIME ALL FOR APPLICATION_TIME AS OF 5 FOR system_time as of 6",
       select_text({{"temporal", "[SystemTimeAll, ApplicationTimeAsOf(5), SystemTimeAsOf(6)]"}})},
      {"SELECT * FROM t FOR SYSTEM_TIME FROM 9 TO 1", select_text({{"temporal", "[SystemTimeFromTo(9, 1)]"}})},
      {"SELECT * FROM t FOR SYSTEM_TIME BETWEEN 2 AND 3", select_text({{"temporal", "[SystemTimeBetween(2, 3)]"}})},
      {"SELECT * FROM t FOR APPLICATION_TIME FROM 1 TO 2", select_text({{"temporal", "[ApplicationTimeFromTo(1, 2)]"}})},
      {"SELECT * FROM t FOR APPLICATION_TIME BETWEEN 4 AND 4 LIMIT 1",
       select_text({{"temporal", "[ApplicationTimeBetween(4, 4)]"}, {"limit", "Some(1)"}})},
  });
}

TEST(SelectParserTest, ForClauseErrors) {
  expect_outcomes({
      {"SELECT * FROM t FOR VALID_TIME ALL", "error: expected SYSTEM_TIME or APPLICATION_TIME after FOR"},
      {"SELECT * FROM t FOR", "error: expected SYSTEM_TIME or APPLICATION_TIME after FOR"},
      {"SELECT * FROM t FOR SYSTEM_TIME", "error: expected AS OF, FROM ... TO, BETWEEN ... AND, or ALL after SYSTEM_TIME"},
      {"SELECT * FROM t FOR SYSTEM_TIME UNTIL 5",
       "error: expected AS OF, FROM ... TO, BETWEEN ... AND, or ALL after SYSTEM_TIME"},
      {"SELECT * FROM t FOR APPLICATION_TIME ALL",
       "error: expected AS OF, FROM ... TO, or BETWEEN ... AND after APPLICATION_TIME"},
      {"SELECT * FROM t FOR SYSTEM_TIME AS 5", "error: expected keyword OF"},
      {"SELECT * FROM t FOR APPLICATION_TIME FROM 1 2", "error: expected keyword TO"},
      {"SELECT * FROM t FOR SYSTEM_TIME BETWEEN 1 TO 2", "error: expected keyword AND"},
      {"SELECT * FROM t FOR APPLICATION_TIME AS OF x", "error: expected numeric literal"},
      {"SELECT * FROM t FOR SYSTEM_TIME FROM 1 TO 2.0", "error: invalid number"},
  });
}

TEST(SelectParserTest, TableFunctionsAndTheirAliases) {
  expect_outcomes({
      {"SELECT * FROM read_csv('f.csv') x",
       select_text({{"from", R"(TableFunction { name: "read_csv", args: [StringLit("f.csv")], alias: Some("x") })"}})},
      {"SELECT * FROM Read_Json('f', 2) AS y",
       select_text({{"from", R"(TableFunction { name: "Read_Json", args: [StringLit("f"), NumberLit(2.0)], alias: Some("y") })"}})},
      {"SELECT * FROM gen() WHERE a",
       select_text({{"from", R"(TableFunction { name: "gen", args: [], alias: None })"}, {"filter", R"(Some(Column("a")))"}})},
      {"SELECT * FROM gen() cross join u",
       select_text({{"from", R"(TableFunction { name: "gen", args: [], alias: None })"},
                    {"join", R"(Some(JoinSpec { join_type: Cross, right_table: "u", right_alias: None, on_clause: None }))"}})},
      {"SELECT * FROM gen() union SELECT * FROM t",
       "SetOp { op: Union, left: " + select_text({{"from", R"(TableFunction { name: "gen", args: [], alias: None })"}}) +
           ", right: " + select_text({}) + " }"},
      // Any other word is the alias, even one that starts a clause.
      {"SELECT * FROM read_csv('f.csv') VALID AT 5", "error: unexpected trailing tokens"},
      {"SELECT * FROM read_csv('f.csv') LIMIT 5",
       select_text({{"from", R"(TableFunction { name: "read_csv", args: [StringLit("f.csv")], alias: None })"},
                    {"limit", "Some(5)"}})},
      {"SELECT * FROM gen(1", "error: expected symbol )"},
      {"SELECT * FROM gen() AS 'x'", "error: expected identifier"},
  });
}

TEST(SelectParserTest, SubquerySources) {
  const std::string inner = select_text({});
  expect_outcomes({
      {"SELECT * FROM (SELECT * FROM t) AS s",
       select_text({{"from", "Subquery { query: " + inner + R"(, alias: "s" })"}})},
      {"SELECT * FROM (SELECT * FROM t) s", select_text({{"from", "Subquery { query: " + inner + R"(, alias: "s" })"}})},
      {"SELECT * FROM (SELECT * FROM t)", "error: expected identifier"},
      {"SELECT * FROM (SELECT * FROM t) AS", "error: expected identifier"},
      {"SELECT * FROM (SELECT * FROM t s", "error: expected symbol )"},
      {"SELECT * FROM (SHOW TABLES) s", "error: expected keyword SELECT"},
      // Set operations are not read inside a subquery.
      {"SELECT * FROM (SELECT * FROM a UNION SELECT * FROM b) s", "error: expected symbol )"},
  });
}

TEST(SelectParserTest, JoinForms) {
  auto join = [](const char* type, const char* on) {
    return select_text({{"from", R"(Named("a"))"},
                        {"join", std::string("Some(JoinSpec { join_type: ") + type +
                                     R"(, right_table: "b", right_alias: None, on_clause: )" + on + " })"}});
  };
  const std::string on_x = R"(Some(Column("x")))";
  expect_outcomes({
      {"SELECT * FROM a JOIN b ON x", join("Inner", on_x.c_str())},
      {"SELECT * FROM a INNER JOIN b ON x", join("Inner", on_x.c_str())},
      {"SELECT * FROM a LEFT JOIN b ON x", join("Left", on_x.c_str())},
      {"SELECT * FROM a left outer join b ON x", join("Left", on_x.c_str())},
      {"SELECT * FROM a RIGHT JOIN b ON x", join("Right", on_x.c_str())},
      {"SELECT * FROM a RIGHT OUTER JOIN b ON x", join("Right", on_x.c_str())},
      {"SELECT * FROM a CROSS JOIN b", join("Cross", "None")},
      {"SELECT * FROM a LEFT OUTER JOIN b", join("Left", "None")},
      {"SELECT * FROM a JOIN b WHERE x", select_text({{"from", R"(Named("a"))"},
                                                      {"join", R"(Some(JoinSpec { join_type: Inner, right_table: "b", right_alias: None, on_clause: None }))"},
                                                      {"filter", on_x}})},
      {"SELECT * FROM a JOIN b ON a.pk = b.pk",
       join("Inner", R"(Some(BinOp { left: FieldAccess { column: "a", path: ["pk"] }, op: Eq, right: FieldAccess { column: "b", path: ["pk"] } }))")},
  });
}

TEST(SelectParserTest, OnPkShortcut) {
  expect_outcomes({
      {"SELECT * FROM a JOIN b ON pk", select_text({{"from", R"(Named("a"))"}, {"join", kPkJoinAB}})},
      {"SELECT * FROM a JOIN b ON PK", select_text({{"from", R"(Named("a"))"}, {"join", kPkJoinAB}})},
      // From a non-table source the left side is named "left".
      {"SELECT * FROM (SELECT * FROM t) s LEFT JOIN b ON pk",
       select_text({{"from", "Subquery { query: " + select_text({}) + R"(, alias: "s" })"},
                    {"join", R"(Some(JoinSpec { join_type: Left, right_table: "b", right_alias: None, on_clause: Some(BinOp { )"
                             R"(left: FieldAccess { column: "left", path: ["pk"] }, op: Eq, right: FieldAccess { column: "b", path: ["pk"] } }) }))"}})},
      // The shortcut takes pk alone.
      {"SELECT * FROM a JOIN b ON pk = b.pk", "error: unexpected trailing tokens"},
      {"SELECT * FROM a JOIN b ON pkey",
       select_text({{"from", R"(Named("a"))"},
                    {"join", R"(Some(JoinSpec { join_type: Inner, right_table: "b", right_alias: None, on_clause: Some(Column("pkey")) }))"}})},
  });
}

TEST(SelectParserTest, JoinErrors) {
  expect_outcomes({
      {"SELECT * FROM a CROSS JOIN b ON x", "error: unexpected trailing tokens"},
      {"SELECT * FROM a OUTER JOIN b", "error: unexpected trailing tokens"},
      {"SELECT * FROM a INNER b", "error: expected keyword JOIN"},
      {"SELECT * FROM a LEFT OUTER b", "error: expected keyword JOIN"},
      {"SELECT * FROM a RIGHT b", "error: expected keyword JOIN"},
      {"SELECT * FROM a CROSS b", "error: expected keyword JOIN"},
      {"SELECT * FROM a JOIN (SELECT * FROM b) s", "error: expected identifier"},
      {"SELECT * FROM a JOIN b JOIN c", "error: unexpected trailing tokens"},
      {"SELECT * FROM a JOIN b u ON x", "error: unexpected trailing tokens"},
  });
}

TEST(SelectParserTest, WithLists) {
  const std::string cte_x = "CteClause { name: \"x\", query: " + select_text({}) + " }";
  const std::string cte_y = "CteClause { name: \"y\", query: " + select_text({{"from", R"(Named("x"))"}}) + " }";
  expect_outcomes({
      {"WITH x AS (SELECT * FROM t), y AS (SELECT * FROM x) SELECT * FROM y",
       select_text({{"ctes", "[" + cte_x + ", " + cte_y + "]"}, {"from", R"(Named("y"))"}})},
      // An entry may have its own WITH.
      {"with y as (with x as (select * from t) select * from x) select * from t",
       select_text({{"ctes", "[CteClause { name: \"y\", query: " +
                                 select_text({{"ctes", "[" + cte_x + "]"}, {"from", R"(Named("x"))"}}) + " }]"}})},
      {"WITH x AS (SELECT * FROM t), SELECT * FROM x", "error: expected keyword AS"},
      {"WITH x AS (SELECT * FROM t), 'y' AS (SELECT * FROM t) SELECT * FROM x", "error: expected identifier"},
      {"WITH x AS (SELECT * FROM t),", "error: expected identifier"},
      {"WITH x (SELECT * FROM t) SELECT * FROM x", "error: expected keyword AS"},
      {"WITH x AS SELECT * FROM t", "error: expected symbol ("},
      {"WITH x AS (SELECT * FROM t SELECT * FROM x", "error: expected symbol )"},
      {"WITH x AS (SELECT * FROM t) DELETE FROM x", "error: expected keyword SELECT"},
      {"WITH x AS (SELECT * FROM a UNION SELECT * FROM b) SELECT * FROM x", "error: expected symbol )"},
  });
}

TEST(SelectParserTest, SetOperationsAssociateToTheRight) {
  auto from = [](const char* table) { return select_text({{"from", std::string("Named(\"") + table + "\")"}}); };
  expect_outcomes({
      {"SELECT * FROM a UNION ALL SELECT * FROM b UNION SELECT * FROM c",
       "SetOp { op: UnionAll, left: " + from("a") + ", right: SetOp { op: Union, left: " + from("b") + ", right: " +
           from("c") + " } }"},
      {"SELECT * FROM a INTERSECT SELECT * FROM b EXCEPT SELECT * FROM c",
       "SetOp { op: Intersect, left: " + from("a") + ", right: SetOp { op: Except, left: " + from("b") + ", right: " +
           from("c") + " } }"},
      {"SELECT * FROM a union WITH x AS (SELECT * FROM t) SELECT * FROM x",
       "SetOp { op: Union, left: " + from("a") + ", right: " +
           select_text({{"ctes", "[CteClause { name: \"x\", query: " + from("t") + " }]"}, {"from", R"(Named("x"))"}}) +
           " }"},
      {"SELECT * FROM a UNION", "error: expected keyword SELECT"},
      {"SELECT * FROM a UNION ALL ALL SELECT * FROM b", "error: expected keyword SELECT"},
      {"SELECT * FROM a LIMIT 1 UNION SELECT * FROM b LIMIT 2 LIMIT 3", "error: LIMIT specified more than once"},
  });
}

TEST(SelectParserTest, TemporalClausesOfUpdateAndDeleteStopAtAnythingElse) {
  Parser p(tokenize("AS OF 1 VALID AT 2 AS OF 3 AS x").value());
  std::optional<std::uint64_t> as_of;
  std::optional<std::uint64_t> valid_at;
  ASSERT_TRUE(p.parse_temporal_clauses(as_of, valid_at));
  EXPECT_EQ(as_of, 3u);
  EXPECT_EQ(valid_at, 2u);
  EXPECT_EQ(p.pos(), 9u);  // at the AS that has no OF after it
}

}  // namespace
}  // namespace quenlordb::sql::parser
