#include "sql/exec/executor.h"

#include <gtest/gtest.h>

#include <string>
#include <variant>
#include <vector>

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

// Every kind of statement reaches the code of its kind: the result has the form that kind returns,
// and for the affected-rows form the message that code writes.
TEST_F(ExecutorTest, EveryStatementKindIsDispatched) {
  enum Form { kAffected, kRows, kExplain };
  struct Case {
    std::string sql;
    Form form;
    std::string message;  // the start of an Affected result's message
  };
  const std::string file = dir.file("t.csv");
  const std::vector<Case> cases = {
      {"BEGIN", kAffected, "BEGIN"},
      {"COMMIT", kAffected, "COMMIT (0 writes)"},
      {"BEGIN", kAffected, "BEGIN"},
      {"ROLLBACK", kAffected, "ROLLBACK (0 staged writes discarded)"},
      {"CREATE TABLE t (id TEXT PRIMARY KEY, n INT)", kAffected, "created table t"},
      {"CREATE VIEW v AS SELECT doc FROM t WHERE pk = 'a'", kAffected, "created view v"},
      {"CREATE INDEX i ON t (n)", kAffected, "created index i"},
      {"CREATE FULLTEXT INDEX f ON t (doc)", kAffected, "created fulltext index f"},
      {"DROP FULLTEXT INDEX f ON t", kAffected, "dropped fulltext index f"},
      {"CREATE TIMESERIES TABLE m (id TEXT PRIMARY KEY, ts INT, v REAL)", kAffected, "created timeseries table m"},
      {"ALTER TABLE t ADD COLUMN c TEXT", kAffected, "altered table t"},
      {"INSERT INTO t (pk, doc) VALUES ('a', '{}')", kAffected, "inserted 1 row"},
      {"INSERT INTO t (id, n) VALUES ('b', 1)", kAffected, "inserted 1 row"},
      {"UPDATE t SET n = 2 WHERE pk = 'b'", kAffected, "updated 1 row(s)"},
      {"DELETE FROM t WHERE pk = 'a'", kAffected, "deleted 1 row(s)"},
      {"SELECT * FROM t", kRows, ""},
      {"COPY t TO '" + file + "'", kAffected, "exported 1 rows"},
      {"COPY t FROM '" + file + "'", kAffected, "imported 1 rows"},
      {"SHOW TABLES", kRows, ""},
      {"DESCRIBE t", kRows, ""},
      {"SELECT pk FROM t UNION SELECT pk FROM m", kRows, ""},
      {"INSERT INTO t (id) VALUES ('c') RETURNING pk", kRows, ""},
      {"CREATE TABLE u AS SELECT * FROM t", kAffected, "created table u with"},
      {"EXPLAIN SELECT * FROM t", kExplain, ""},
      {"EXPLAIN ANALYZE SELECT * FROM t", kExplain, ""},
      {"EXPLAIN AI 'k'", kExplain, ""},
      {"ANALYZE t", kAffected, "ANALYZE t:"},
      {"DROP INDEX i ON t", kAffected, "dropped index i"},
      {"DROP VIEW v", kAffected, "dropped view v"},
      {"DROP TABLE u", kAffected, "dropped table u"},
  };
  std::vector<bool> seen(std::variant_size_v<parser::Statement::Node>);
  for (const Case& c : cases) {
    parser::Statement stmt = must(parser::parse_sql(c.sql));
    seen[stmt.node().index()] = true;
    Result<SqlResult> r = execute_stmt(*db, session, std::move(stmt));
    ASSERT_TRUE(r) << c.sql << ": " << r.error().to_string();
    EXPECT_EQ(r->value.index(), static_cast<std::size_t>(c.form)) << c.sql;
    if (c.form == kAffected) {
      EXPECT_TRUE(std::get<SqlResult::Affected>(r->value).message.starts_with(c.message)) << c.sql;
    }
  }
  for (std::size_t kind = 0; kind < seen.size(); ++kind) EXPECT_TRUE(seen[kind]) << "no case of kind " << kind;
}

}  // namespace
}  // namespace quenlordb::sql::exec
