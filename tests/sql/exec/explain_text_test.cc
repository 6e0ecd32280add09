#include <gtest/gtest.h>

#include <string>

#include "sql/exec/explain.h"
#include "sql/parser/parser.h"

namespace quenlordb::sql::exec {
namespace {

std::optional<std::string> probe_pk(std::string_view sql) { return storage_probe_pk(parser::parse_sql(sql).value()); }

TEST(ExplainTextTest, OnlyAPointReadOfTheDocumentProbesStorage) {
  EXPECT_EQ(probe_pk("SELECT doc FROM t WHERE pk = 'a'"), "a");
  EXPECT_EQ(probe_pk("select DOC from t where 'b' = Pk as of 7"), "b");
  EXPECT_EQ(probe_pk("SELECT doc FROM t WHERE pk = ''"), "");
  for (const char* sql : {
           "SELECT * FROM t WHERE pk = 'a'",
           "SELECT doc FROM t",
           "SELECT doc AS d FROM t WHERE pk = 'a'",
           "SELECT doc FROM t WHERE pk = 5",
           "SELECT doc FROM t WHERE pk = 'a' AND x = 1",
           "SELECT pk, doc FROM t WHERE pk = 'a'",
           "SELECT doc FROM t JOIN u ON a = b WHERE pk = 'a'",
           "SELECT doc FROM (SELECT * FROM t) s WHERE pk = 'a'",
           "DELETE FROM t WHERE pk = 'a'",
       }) {
    EXPECT_EQ(probe_pk(sql), std::nullopt) << sql;
  }
}

TEST(ExplainTextTest, StorageLine) {
  const std::pair<engine::GetExplain, const char*> cases[] = {
      {{std::nullopt, 3, 7, std::nullopt}, "\nStorage: shard_id=3 bloom_hit=None sstable_block=None commit_ts_used=7"},
      {{12, 0, 42, true}, "\nStorage: shard_id=0 bloom_hit=Some(true) sstable_block=Some(12) commit_ts_used=42"},
      {{std::nullopt, 1, 0, false}, "\nStorage: shard_id=1 bloom_hit=Some(false) sstable_block=None commit_ts_used=0"},
  };
  for (const auto& [probe, expected] : cases) {
    std::string out = "plan";
    append_storage_line(out, probe);
    EXPECT_EQ(out, std::string("plan") + expected);
  }
}

TEST(ExplainTextTest, AnalyzeReport) {
  engine::DbStats before{4, 10, 100, 0, 0, 5, 0};
  engine::DbStats after{4, 12, 103, 1, 0, 5, 9};
  EXPECT_EQ(explain_analyze_text(17, SqlResult{SqlResult::Rows{{"a", "b", "c"}}}, before, after, 1100.0000000000002),
            "execution_time_us=17 rows_returned=3\noperations: reads=3 writes=2 bloom_negatives=0\nplan_cost=1100.0");
  EXPECT_EQ(explain_analyze_text(0, SqlResult{SqlResult::Affected{1, 9, "inserted 1 row"}}, before, after, std::nullopt),
            "execution_time_us=0 rows_returned=1 message=inserted 1 row\n"
            "operations: reads=3 writes=2 bloom_negatives=0");
  EXPECT_EQ(explain_analyze_text(5, SqlResult{SqlResult::Explain{"Query Plan:\n  x"}}, before, std::nullopt, 1.0),
            "execution_time_us=5 rows_returned=0 explain=Query Plan:\n  x\nplan_cost=1.0");
  // A counter that reads lower afterwards shows no growth, not a wrapped-around difference.
  EXPECT_EQ(explain_analyze_text(1, SqlResult{SqlResult::Rows{}}, after, before, std::nullopt),
            "execution_time_us=1 rows_returned=0\noperations: reads=0 writes=0 bloom_negatives=0");
}

}  // namespace
}  // namespace quenlordb::sql::exec
