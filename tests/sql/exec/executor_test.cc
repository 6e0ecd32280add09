#include "sql/exec/executor.h"

#include <gtest/gtest.h>

#include "sql/exec/exec_fixture.h"

namespace quenlordb::sql::exec {
namespace {

using testing::affected;
using testing::kMax;
using testing::must;

class ExecutorTest : public testing::ExecFixture {};

TEST_F(ExecutorTest, TransactionResultsAndMessages) {
  EXPECT_EQ(must(execute_sql(*db, "BEGIN; COMMIT")), affected(0, std::nullopt, "COMMIT (0 writes)"));
  EXPECT_EQ(must(execute_sql(*db, "begin; rollback;")), affected(0, std::nullopt, "ROLLBACK (0 staged writes discarded)"));
  struct Case {
    const char* script;
    const char* message;
  };
  const Case errors[] = {
      {"BEGIN", "transaction left open; issue COMMIT or ROLLBACK"},
      {"BEGIN; BEGIN", "nested BEGIN is not supported"},
      {"COMMIT", "COMMIT requires an active transaction"},
      {"ROLLBACK", "ROLLBACK requires an active transaction"},
      {"BEGIN; COMMIT; COMMIT", "COMMIT requires an active transaction"},
      {"BEGIN; ROLLBACK; ROLLBACK", "ROLLBACK requires an active transaction"},
  };
  for (const Case& c : errors) {
    auto r = execute_sql(*db, c.script);
    ASSERT_FALSE(r) << c.script;
    EXPECT_EQ(r.error(), QuenlorError::sql_execution(c.message)) << c.script;
  }
}

TEST_F(ExecutorTest, CommitAppliesStagedWritesOldestFirst) {
  EXPECT_EQ(must(run("BEGIN")), affected(0, std::nullopt, "BEGIN"));
  must(write_put(*db, session, "t/a", "1"));
  must(write_put(*db, session, "t/b", "2"));
  must(write_put(*db, session, "t/a", "3"));
  SqlResult result = must(run("COMMIT"));
  const auto& commit = std::get<SqlResult::Affected>(result.value);
  EXPECT_EQ(commit.rows, 3u);
  EXPECT_EQ(commit.message, "COMMIT (3 writes)");
  EXPECT_FALSE(session.in_transaction());
  EXPECT_EQ(session.staged_count(), 0u);
  // The newer write to t/a was applied after the older one, and the reported timestamp is that of
  // the last put: t/a's version at it holds "3", the one before it "1".
  ASSERT_TRUE(commit.commit_ts);
  EXPECT_EQ(must(db->get("t/a")), "3");
  EXPECT_EQ(must(db->get("t/a", *commit.commit_ts)), "3");
  EXPECT_EQ(must(db->get("t/a", *commit.commit_ts - 1)), "1");
  EXPECT_EQ(must(db->get("t/b")), "2");
  // Applied with the SQL bounds.
  EXPECT_EQ(must(db->get("t/b", std::nullopt, kMax)), std::nullopt);
}

TEST_F(ExecutorTest, RollbackDiscardsStagedWrites) {
  must(run("BEGIN"));
  must(write_put(*db, session, "t/a", "1"));
  must(write_put(*db, session, "t/a", "2"));
  EXPECT_EQ(must(run("ROLLBACK")), affected(2, std::nullopt, "ROLLBACK (2 staged writes discarded)"));
  EXPECT_EQ(must(db->get("t/a")), std::nullopt);
  EXPECT_EQ(must(read_live_key(*db, session, "t/a")), std::nullopt);
  // The session leaves no trace of the discarded writes in a next transaction.
  must(run("BEGIN"));
  EXPECT_EQ(must(collect_visible_by_prefix(*db, session, "t/")), std::vector<LiveEntry>{});
}

TEST_F(ExecutorTest, FirstFailureEndsTheScript) {
  // Statements after a failure are not even parsed: the parse error of the third is not reported.
  auto r = execute_sql(*db, "BEGIN; BEGIN; this is not sql");
  ASSERT_FALSE(r);
  EXPECT_EQ(r.error(), QuenlorError::sql_execution("nested BEGIN is not supported"));
  r = execute_sql(*db, "BEGIN; COMMIT; this is not sql; COMMIT");
  ASSERT_FALSE(r);
  EXPECT_EQ(r.error().kind(), ErrorKind::SqlParse);
  r = execute_sql(*db, "'unterminated");
  ASSERT_FALSE(r);
  EXPECT_EQ(r.error().kind(), ErrorKind::SqlParse);
  r = execute_sql(*db, " ; ");
  ASSERT_FALSE(r);
  EXPECT_EQ(r.error().kind(), ErrorKind::SqlParse);
  r = execute_sql(*db, "BEGIN; SELECT '\xff'");
  ASSERT_FALSE(r);
  EXPECT_NE(r.error().kind(), ErrorKind::SqlExecution);
}

}  // namespace
}  // namespace quenlordb::sql::exec
