#include <gtest/gtest.h>

#include <regex>
#include <string>

#include "facet/relational/keys.h"
#include "facet/relational/records.h"
#include "sql/exec/explain.h"
#include "sql/exec/select_source.h"
#include "sql/exec/exec_fixture.h"
#include "sql/parser/debug_text.h"
#include "sql/planner/planner.h"

namespace quenlordb::sql::exec {
namespace {

using testing::kMax;
using testing::must;
namespace rel = facet::relational;

class ExplainTest : public testing::ExecFixture {
 protected:
  std::string text(std::string_view sql) {
    const SqlResult result = must(run(sql), std::string(sql).c_str());
    const auto* explain = std::get_if<SqlResult::Explain>(&result.value);
    EXPECT_NE(explain, nullptr) << sql;
    return explain != nullptr ? explain->text : "";
  }
  // The plan text of the statement alone.
  std::string plan(std::string_view sql) { return planner::explain_plan(must(parser::parse_sql(sql))); }
  std::string storage_line(const engine::GetExplain& probe) {
    std::string out;
    append_storage_line(out, probe);
    return out;
  }
};

TEST_F(ExplainTest, PointReadOfADocumentAddsTheStorageLine) {
  create_table("t");
  must(db->put(rel::row_key("t", "a"), R"({"x":1})", 0, kMax));
  const std::string sql = "SELECT doc FROM t WHERE pk = 'a'";
  const engine::GetExplain probe = must(db->explain_get(rel::row_key("t", "a")));
  // No table file yet: nothing was probed.
  EXPECT_EQ(probe.bloom_hit, std::nullopt);
  EXPECT_EQ(probe.sstable_block, std::nullopt);
  EXPECT_EQ(text("EXPLAIN " + sql), plan(sql) + storage_line(probe));
  EXPECT_EQ(storage_line(probe), "\nStorage: shard_id=" + std::to_string(probe.shard_id) +
                                     " bloom_hit=None sstable_block=None commit_ts_used=" +
                                     std::to_string(probe.commit_ts_used));

  // AS OF is the snapshot used, whatever the shard has committed; FOR clauses do not count.
  const std::string as_of = text("EXPLAIN SELECT doc FROM t WHERE 'a' = pk AS OF 7 FOR SYSTEM_TIME AS OF 9");
  EXPECT_NE(as_of.find(" commit_ts_used=7"), std::string::npos) << as_of;
  EXPECT_EQ(as_of.find("\nStorage: "), plan("SELECT doc FROM t WHERE 'a' = pk").size());
}

TEST_F(ExplainTest, OtherShapesGiveThePlanAlone) {
  create_table("t");
  for (const char* sql : {
           "SELECT * FROM t WHERE pk = 'a'",
           "SELECT doc FROM t",
           "SELECT doc AS d FROM t WHERE pk = 'a'",
           "SELECT doc FROM t WHERE pk = 5",
           "SELECT doc FROM t JOIN u ON a = b WHERE pk = 'a'",
           "SELECT * FROM nosuch",
       }) {
    EXPECT_EQ(text(std::string("EXPLAIN ") + sql), plan(sql)) << sql;
  }
}

TEST_F(ExplainTest, TheProbedNameMustBeATableOrAView) {
  auto r = run("EXPLAIN SELECT doc FROM nosuch WHERE pk = 'a'");
  ASSERT_FALSE(r);
  EXPECT_EQ(r.error(), QuenlorError::sql_execution("table or view nosuch does not exist"));
}

TEST_F(ExplainTest, AViewIsProbedInItsTableAtItsSnapshot) {
  create_table("t");
  create_view("v", "SELECT doc FROM t WHERE pk = 'x' AS OF 3 VALID AT 5");
  // The key is the query's own literal, the snapshot the view's unless the query names one.
  const std::string probed = text("EXPLAIN SELECT doc FROM v WHERE pk = 'a'");
  const engine::GetExplain probe = must(db->explain_get(rel::row_key("t", "a"), 3, 5));
  EXPECT_EQ(probed, plan("SELECT doc FROM v WHERE pk = 'a'") + storage_line(probe));
  EXPECT_NE(text("EXPLAIN SELECT doc FROM v WHERE pk = 'a' AS OF 11").find(" commit_ts_used=11"), std::string::npos);

  create_view("bad", "SELECT doc FROM (SELECT * FROM t) s WHERE pk = 'x'");
  auto r = run("EXPLAIN SELECT doc FROM bad WHERE pk = 'a'");
  ASSERT_FALSE(r);
  EXPECT_EQ(r.error(), QuenlorError::sql_execution("view bad has unsupported query shape"));
}

TEST_F(ExplainTest, ATableFileProbedShowsItsBloomAnswerAndBlock) {
  quenlordb::testing::TempDir small_dir;
  Config config = engine::testing::test_config(1);
  config.memtable_max_bytes = 1024;
  auto small = engine::testing::open_db(small_dir.file("db"), config);
  must(small->put(rel::schema_key("t"), must(rel::encode_schema_metadata({})), 0, kMax));
  must(small->put(rel::row_key("t", "a"), R"({"x":1})", 0, kMax));
  for (int i = 0; small->stats().value().flushes == 0 && i < 1000; ++i) {
    must(small->put(rel::row_key("t", "fill" + std::to_string(i)), std::string(100, 'x'), 0, kMax));
  }
  ASSERT_GT(small->stats().value().flushes, 0u);

  const SqlResult result = must(execute_sql(*small, "EXPLAIN SELECT doc FROM t WHERE pk = 'a'"));
  const std::string& text = std::get<SqlResult::Explain>(result.value).text;
  const engine::GetExplain probe = must(small->explain_get(rel::row_key("t", "a")));
  EXPECT_EQ(probe.bloom_hit, true);
  ASSERT_TRUE(probe.sstable_block.has_value());
  EXPECT_NE(text.find(" bloom_hit=Some(true) sstable_block=Some(" + std::to_string(*probe.sstable_block) + ")"),
            std::string::npos)
      << text;
}

TEST_F(ExplainTest, ExplainRunsNothing) {
  const std::string sql = "INSERT INTO t (pk, doc) VALUES ('a', '{}')";
  EXPECT_EQ(text("EXPLAIN " + sql), "No plan available for: " + parser::debug_text(must(parser::parse_sql(sql))));
  EXPECT_EQ(live(rel::row_key("t", "a")), std::nullopt);
  // Not even a transaction statement takes effect.
  EXPECT_EQ(text("EXPLAIN BEGIN"), "No plan available for: Begin");
  EXPECT_FALSE(session.in_transaction());
}

TEST_F(ExplainTest, AnalyzeRunsTheStatementAndAccountsForIt) {
  // BEGIN really runs: the session is in a transaction afterwards.
  const std::regex begin(R"(execution_time_us=\d+ rows_returned=0 message=BEGIN\n)"
                         R"(operations: reads=\d+ writes=\d+ bloom_negatives=\d+)");
  const std::string began = text("EXPLAIN ANALYZE BEGIN");
  EXPECT_TRUE(std::regex_match(began, begin)) << began;
  EXPECT_TRUE(session.in_transaction());
  must(run("ROLLBACK"));

  // A nested EXPLAIN returns its text as the suffix; the EXPLAIN statement itself has no plan.
  const std::string inner = plan("SELECT a FROM t");
  const std::string nested = text("EXPLAIN ANALYZE EXPLAIN SELECT a FROM t");
  const std::regex nested_pattern(R"(execution_time_us=\d+ rows_returned=0 explain=([\s\S]*)\n)"
                                  R"(operations: reads=\d+ writes=\d+ bloom_negatives=\d+)");
  std::smatch match;
  ASSERT_TRUE(std::regex_match(nested, match, nested_pattern)) << nested;
  EXPECT_EQ(match[1].str(), inner);
  EXPECT_EQ(nested.find("plan_cost="), std::string::npos);
}

TEST_F(ExplainTest, AnalyzeOfAnInsertWritesTheRow) {
  create_table("t");
  const std::string inserted = text("EXPLAIN ANALYZE INSERT INTO t (pk, doc) VALUES ('a', '{}')");
  const std::regex pattern(R"(execution_time_us=\d+ rows_returned=1 message=inserted 1 row\n)"
                           R"(operations: reads=\d+ writes=1 bloom_negatives=\d+)");
  EXPECT_TRUE(std::regex_match(inserted, pattern)) << inserted;
  EXPECT_EQ(live(rel::row_key("t", "a")), "{}");

  // Inside a transaction the write is staged like any other, and goes with the rollback.
  must(run("BEGIN"));
  must(run("EXPLAIN ANALYZE INSERT INTO t (pk, doc) VALUES ('b', '{}')"));
  EXPECT_EQ(session.staged_count(), 1u);
  must(run("ROLLBACK"));
  EXPECT_EQ(live(rel::row_key("t", "b")), std::nullopt);
}

TEST_F(ExplainTest, AnalyzeOfASelectCountsItsRowsAndShowsThePlanCost) {
  must(run("CREATE TABLE t (pk TEXT PRIMARY KEY)"));
  must(run("INSERT INTO t (pk, doc) VALUES ('a', '{\"x\":1}')"));
  must(run("INSERT INTO t (pk, doc) VALUES ('b', '{\"x\":2}')"));
  const std::string analyzed = text("EXPLAIN ANALYZE SELECT * FROM t WHERE x > 1");
  const std::regex pattern(R"(execution_time_us=\d+ rows_returned=1\n)"
                           R"(operations: reads=\d+ writes=0 bloom_negatives=\d+\n)"
                           R"(plan_cost=\d+\.\d)");
  EXPECT_TRUE(std::regex_match(analyzed, pattern)) << analyzed;
}

TEST_F(ExplainTest, AnalyzeOfAFailingStatementReturnsItsFailure) {
  auto r = run("EXPLAIN ANALYZE COMMIT");
  ASSERT_FALSE(r);
  EXPECT_EQ(r.error(), QuenlorError::sql_execution("COMMIT requires an active transaction"));
  r = run("EXPLAIN ANALYZE INSERT INTO nosuch (pk, doc) VALUES ('a', '{}')");
  ASSERT_FALSE(r);
  EXPECT_EQ(r.error(), QuenlorError::sql_execution("table nosuch does not exist"));
}

TEST_F(ExplainTest, ResolveSelectTargetPrefersTheTable) {
  create_table("n");
  create_view("n", "SELECT doc FROM other WHERE pk = 'x' AS OF 3");
  EXPECT_EQ(must(resolve_select_target(*db, session, "n", std::nullopt, 4)), (SelectTarget{std::nullopt, "n", {}, 4}));
  create_view("w", "SELECT doc FROM other WHERE pk = 'x' AS OF 3");
  EXPECT_EQ(must(resolve_select_target(*db, session, "w", std::nullopt, 4)), (SelectTarget{3, "other", "x", 4}));
  // A view whose query is not a pk equality selects every row.
  create_view("all", "SELECT doc FROM other");
  EXPECT_EQ(must(resolve_select_target(*db, session, "all", 8, std::nullopt)),
            (SelectTarget{8, "other", std::nullopt, std::nullopt}));
  // A table removed (tombstone) is no longer a table.
  put_catalog(rel::schema_key("n"), "");
  EXPECT_EQ(must(resolve_select_target(*db, session, "n", std::nullopt, std::nullopt)).table, "other");
}

}  // namespace
}  // namespace quenlordb::sql::exec
