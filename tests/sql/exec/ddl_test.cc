#include "sql/exec/ddl.h"

#include <gtest/gtest.h>

#include "facet/relational/keys.h"
#include "facet/relational/records.h"
#include "sql/exec/exec_fixture.h"

namespace quenlordb::sql::exec {
namespace {

namespace rel = facet::relational;
using testing::affected;
using testing::must;

class DdlTest : public testing::ExecFixture {
 protected:
  SqlResult::Affected ok(std::string_view sql) {
    auto r = run(sql);
    EXPECT_TRUE(r) << sql << ": " << r.error().to_string();
    if (!r) return {};
    return std::get<SqlResult::Affected>(r->value);
  }
};

TEST_F(DdlTest, CreateTableWritesTheDocumentOrTheTypedShape) {
  struct Case {
    const char* sql;
    const char* table;
    const char* schema;
  };
  const Case cases[] = {
      {"CREATE TABLE d (PK TEXT PRIMARY KEY)", "d", R"({"pk":"pk","doc":"json","columns":[{"name":"pk","type":"TEXT"},{"name":"doc","type":"JSON"}],"schema_mode":"legacy"})"},
      {"CREATE TABLE n (pk INTEGER PRIMARY KEY)", "n", R"({"pk":"pk","doc":"typed","columns":[{"name":"pk","type":"INTEGER"}],"schema_mode":"typed"})"},
      {"CREATE TABLE nn (pk STRING PRIMARY KEY NOT NULL, x BOOL)", "nn", R"({"pk":"pk","doc":"typed","columns":[{"name":"pk","type":"TEXT"},{"name":"x","type":"BOOLEAN"}],"schema_mode":"typed"})"},
      {"CREATE TABLE t (a INT, b TEXT PRIMARY KEY, c TEXT PRIMARY KEY, d DOUBLE, e BYTES, f JSON)", "t",
       R"({"pk":"b","doc":"typed","columns":[{"name":"a","type":"INTEGER"},{"name":"b","type":"TEXT"},{"name":"c","type":"TEXT"},{"name":"d","type":"REAL"},{"name":"e","type":"BLOB"},{"name":"f","type":"JSON"}],"schema_mode":"typed"})"},
  };
  for (const Case& c : cases) {
    SqlResult::Affected a = ok(c.sql);
    EXPECT_EQ(a.rows, 1u) << c.sql;
    EXPECT_EQ(a.message, std::string("created table ") + c.table);
    ASSERT_TRUE(a.commit_ts) << c.sql;
    EXPECT_EQ(must(db->get(rel::schema_key(c.table), *a.commit_ts)), c.schema) << c.sql;
  }
  expect_error("CREATE TABLE t (x INT PRIMARY KEY)", "table t already exists");
  expect_error("CREATE TABLE u (pk TEXT)", "CREATE TABLE requires at least one PRIMARY KEY column");
  // Name checks: the table name first, then column names when the schema is encoded.
  using parser::SqlType;
  auto create = [&](std::string table, std::string column) {
    return execute_stmt(*db, session, parser::Statement::CreateTable{table, {{column, SqlType::Integer, true}}});
  };
  EXPECT_EQ(create("a.b", "pk").error(), QuenlorError::sql_execution("table name must be ascii alnum/_/-"));
  EXPECT_EQ(create("", "pk").error(), QuenlorError::sql_execution("table name cannot be empty"));
  EXPECT_EQ(create("u", "a b").error(), QuenlorError::sql_execution("identifier name must be ascii alnum/_/-"));
  EXPECT_EQ(live(rel::schema_key("u")), std::nullopt);
}

TEST_F(DdlTest, TypedTableMainPath) {
  ok("CREATE TABLE items (id INT PRIMARY KEY, name TEXT, price REAL)");
  ok("INSERT INTO items (id, name, price) VALUES (2, 'b', 1.5)");
  ok("INSERT INTO items (id, name, price) VALUES (1, 'a', 3)");
  EXPECT_EQ(rows("SELECT name FROM items WHERE price > 2"), (std::vector<std::string>{R"({"name":"a"})"}));
  ok("CREATE TABLE docs (pk TEXT PRIMARY KEY)");
  ok("INSERT INTO docs (pk, doc) VALUES ('k', '{\"v\":1}')");
  EXPECT_EQ(rows("SELECT doc FROM docs WHERE pk = 'k'"), (std::vector<std::string>{R"({"v":1})"}));
}

TEST_F(DdlTest, ShowTablesListsSchemaKeysInByteOrderSeeingTheTransaction) {
  ok("CREATE TABLE b (pk TEXT PRIMARY KEY)");
  ok("CREATE TABLE B (pk TEXT PRIMARY KEY)");
  ok("CREATE TABLE a-1 (pk TEXT PRIMARY KEY)");
  ok("CREATE VIEW v AS SELECT doc FROM b WHERE pk = 'x'");
  EXPECT_EQ(rows("SHOW TABLES"), (std::vector<std::string>{"B", "a-1", "b"}));
  ok("BEGIN");
  SqlResult::Affected staged = ok("CREATE TABLE c (pk TEXT PRIMARY KEY)");
  EXPECT_EQ(staged.commit_ts, std::nullopt);
  ok("DROP TABLE b");
  EXPECT_EQ(rows("SHOW TABLES"), (std::vector<std::string>{"B", "a-1", "c"}));
  ok("ROLLBACK");
  EXPECT_EQ(rows("SHOW TABLES"), (std::vector<std::string>{"B", "a-1", "b"}));
  must(execute_sql(*db, "BEGIN; CREATE TABLE c (pk TEXT PRIMARY KEY); COMMIT"));
  EXPECT_EQ(rows("SHOW TABLES"), (std::vector<std::string>{"B", "a-1", "b", "c"}));
}

TEST_F(DdlTest, DescribeListsColumnsMarkingThePrimaryKey) {
  ok("CREATE TABLE t (a INT, B TEXT PRIMARY KEY)");
  ok("ALTER TABLE t ADD COLUMN b2 weird_type");
  EXPECT_EQ(rows("DESCRIBE t"), (std::vector<std::string>{
                                    R"({"column":"a","primary_key":false,"type":"INTEGER"})",
                                    R"({"column":"B","primary_key":true,"type":"TEXT"})",
                                    R"({"column":"b2","primary_key":false,"type":"weird_type"})",
                                }));
  // A schema without columns (as older records have) describes its pk and doc.
  put_catalog(rel::schema_key("old"), R"({"pk":"Id"})");
  EXPECT_EQ(rows("DESCRIBE old"), (std::vector<std::string>{
                                      R"({"column":"Id","primary_key":true,"type":"TEXT"})",
                                      R"({"column":"doc","primary_key":false,"type":"JSON"})",
                                  }));
  ok("CREATE TABLE d (pk TEXT PRIMARY KEY)");
  EXPECT_EQ(rows("DESCRIBE d"), (std::vector<std::string>{
                                    R"({"column":"pk","primary_key":true,"type":"TEXT"})",
                                    R"({"column":"doc","primary_key":false,"type":"JSON"})",
                                }));
  ok("CREATE VIEW v AS SELECT doc FROM d WHERE pk = 'x'");
  expect_error("DESCRIBE v", "table v does not exist");
}

TEST_F(DdlTest, DropTableTombstonesRowsSchemaAndIndexDefinitions) {
  expect_error("DROP TABLE t", "table t does not exist");
  ok("CREATE TABLE t (id TEXT PRIMARY KEY, body TEXT, n INT)");
  ok("CREATE TABLE u (pk TEXT PRIMARY KEY)");
  for (const char* pk : {"a", "b/c", "z"}) {
    ok(std::string("INSERT INTO t (id, body) VALUES ('") + pk + "', 'x')");
  }
  ok("INSERT INTO u (pk, doc) VALUES ('a', '{}')");
  ok("CREATE INDEX i1 ON t (body)");
  ok("CREATE INDEX i2 ON t (n)");
  ok("CREATE INDEX i1 ON u (pk)");
  ok("CREATE FULLTEXT INDEX f ON t (body)");
  ok("DELETE FROM t WHERE id = 'z'");  // a row already tombstoned is not counted

  SqlResult::Affected a = ok("DROP TABLE t");
  EXPECT_EQ(a.rows, 1u + 2 + 2);
  EXPECT_EQ(a.message, "dropped table t (metadata + row tombstones)");
  ASSERT_TRUE(a.commit_ts);
  // The last write is the last index definition's tombstone.
  EXPECT_EQ(must(db->get(rel::index_meta_key("t", "i2"), *a.commit_ts)), "");
  EXPECT_NE(must(db->get(rel::index_meta_key("t", "i2"), *a.commit_ts - 1)), "");
  EXPECT_EQ(scan(rel::row_prefix("t")), std::vector<LiveEntry>{});
  EXPECT_EQ(scan(rel::index_meta_prefix("t")), std::vector<LiveEntry>{});
  EXPECT_EQ(live(rel::schema_key("t")), std::nullopt);
  // Other tables keep theirs; the full-text definition of t stays and a new t inherits it.
  EXPECT_EQ(scan(rel::row_prefix("u")).size(), 1u);
  EXPECT_TRUE(live(rel::index_meta_key("u", "i1")));
  EXPECT_TRUE(live(rel::fts_index_meta_key("t", "f")));
  ok("CREATE TABLE t (id TEXT PRIMARY KEY, body TEXT)");
  EXPECT_EQ(scan(rel::row_prefix("t")), std::vector<LiveEntry>{});
  expect_error("CREATE FULLTEXT INDEX f ON t (body)", "fulltext index f already exists on t");

  // Inside a transaction the rows staged earlier are counted and nothing is applied until COMMIT.
  ok("BEGIN");
  ok("INSERT INTO t (id, body) VALUES ('q', 'x')");
  SqlResult::Affected staged = ok("DROP TABLE t");
  EXPECT_EQ(staged.rows, 2u);
  EXPECT_EQ(staged.commit_ts, std::nullopt);
  ok("ROLLBACK");
  EXPECT_TRUE(live(rel::schema_key("t")));
}

TEST_F(DdlTest, CreateViewChecksSourceThenNameAndStoresAnEscapedQuery) {
  ok("CREATE TABLE t (pk TEXT PRIMARY KEY)");
  ok(R"(INSERT INTO t (pk, doc) VALUES ('it\'s a \\ b', '{"v":1}'))");
  SqlResult::Affected a = ok(R"(CREATE VIEW v AS SELECT doc FROM t WHERE pk = 'it\'s a \\ b')");
  EXPECT_EQ(a.message, "created view v");
  EXPECT_EQ(live(rel::view_key("v")),
            must(rel::encode_view_metadata({"v", R"(SELECT doc FROM t WHERE pk='it\'s a \\ b')", {"t"}})));
  // The stored query reads back the row it names.
  EXPECT_EQ(rows("SELECT * FROM v"), (std::vector<std::string>{R"({"doc":{"v":1},"pk":"it's a \\ b"})"}));

  ok("CREATE VIEW w AS SELECT doc FROM t WHERE pk = 'k' AS OF 7");
  EXPECT_EQ(must(rel::parse_view_metadata(*live(rel::view_key("w")))).query, "SELECT doc FROM t WHERE pk='k' AS OF 7");
  must(execute_stmt(*db, session, parser::Statement::CreateView{"w2", "t", "k", 7, 9}));
  EXPECT_EQ(must(rel::parse_view_metadata(*live(rel::view_key("w2")))).query,
            "SELECT doc FROM t WHERE pk='k' AS OF 7 VALID AT 9");
  // A view may bear a table's name.
  ok("CREATE VIEW t AS SELECT doc FROM t WHERE pk = 'k'");

  expect_error("CREATE VIEW v AS SELECT doc FROM nope WHERE pk = 'a'", "source table nope does not exist");
  expect_error("CREATE VIEW x AS SELECT doc FROM v WHERE pk = 'a'", "source table v does not exist");
  expect_error("CREATE VIEW v AS SELECT doc FROM t WHERE pk = 'a'", "view v already exists");

  expect_error("DROP VIEW nope", "view nope does not exist");
  EXPECT_EQ(ok("DROP VIEW v").message, "dropped view v");
  EXPECT_EQ(live(rel::view_key("v")), std::nullopt);
  ok("CREATE VIEW v AS SELECT doc FROM t WHERE pk = 'a'");
}

TEST_F(DdlTest, IndexDefinitionsAreScopedByTable) {
  ok("CREATE TABLE t (id INT PRIMARY KEY, Name TEXT)");
  ok("CREATE TABLE u (pk TEXT PRIMARY KEY)");
  expect_error("CREATE INDEX i ON nope (a)", "table nope does not exist");
  expect_error("CREATE INDEX i ON t (age)", "column age does not exist on table t");
  SqlResult::Affected a = ok("CREATE INDEX i ON t (name)");
  EXPECT_EQ(a.message, "created index i (metadata-only)");
  EXPECT_EQ(live(rel::index_meta_key("t", "i")),
            R"({"name":"i","table":"t","columns":["name"],"unique":false})");
  for (const char* sql : {"CREATE INDEX j ON t (ID)", "CREATE INDEX k ON t (DOC)", "CREATE INDEX i ON u (pk)"}) ok(sql);
  expect_error("CREATE INDEX i ON t (id)", "index i already exists");

  expect_error("DROP INDEX nope ON t", "index nope does not exist");
  expect_error("DROP INDEX i ON nope", "index i does not exist");
  EXPECT_EQ(ok("DROP INDEX i ON t").message, "dropped index i on t");
  EXPECT_EQ(live(rel::index_meta_key("t", "i")), std::nullopt);
  EXPECT_TRUE(live(rel::index_meta_key("u", "i")));
  ok("CREATE INDEX i ON t (id)");
}

TEST_F(DdlTest, FulltextIndexDefinitions) {
  ok("CREATE TABLE t (id TEXT PRIMARY KEY, title TEXT, body TEXT)");
  ok("INSERT INTO t (id, title) VALUES ('a', 'x')");
  ok("INSERT INTO t (id, title) VALUES ('b', 'y')");
  expect_error("CREATE FULLTEXT INDEX f ON nope (doc)", "table nope does not exist");
  expect_error("CREATE FULLTEXT INDEX f ON t (title, summary)", "column summary does not exist on table t");
  SqlResult::Affected a = ok("CREATE FULLTEXT INDEX f ON t (TITLE, body, Doc, id)");
  EXPECT_EQ(a.message, "created fulltext index f on t(TITLE, body, Doc, id) \u2014 indexed 2 rows");
  ASSERT_TRUE(a.commit_ts);
  EXPECT_EQ(must(db->get(rel::fts_index_meta_key("t", "f"), *a.commit_ts)),
            R"({"name":"f","table":"t","columns":["TITLE","body","Doc","id"]})");
  expect_error("CREATE FULLTEXT INDEX f ON t (body)", "fulltext index f already exists on t");

  expect_error("DROP FULLTEXT INDEX g ON t", "fulltext index g does not exist on t");
  EXPECT_EQ(must(run("DROP FULLTEXT INDEX f ON t")), affected(1, std::nullopt, "dropped fulltext index f on t"));
  EXPECT_EQ(live(rel::fts_index_meta_key("t", "f")), std::nullopt);
}

TEST_F(DdlTest, TimeseriesTableChoosesItsTimestampAndValueColumns) {
  struct Case {
    const char* columns;
    const char* ts_column;
    std::vector<std::string> values;
    const char* message_tail;
  };
  const Case cases[] = {
      {"(id TEXT PRIMARY KEY, v REAL, Ts TEXT, w INT, s TEXT)", "Ts", {"v", "w"}, "ts_column=Ts, value columns: v, w)"},
      {"(id INT PRIMARY KEY, at INT, v REAL)", "at", {"v"}, "ts_column=at, value columns: v)"},
      {"(id INT PRIMARY KEY, TIMESTAMP REAL)", "TIMESTAMP", {}, "ts_column=TIMESTAMP)"},
      {"(id TEXT PRIMARY KEY, s TEXT)", "ts", {}, "ts_column=ts)"},
  };
  int n = 0;
  for (const Case& c : cases) {
    const std::string table = "m" + std::to_string(n++);
    SqlResult::Affected a = ok("CREATE TIMESERIES TABLE " + table + " " + c.columns + " WITH (bucket_size = '5m')");
    EXPECT_EQ(a.message, "created timeseries table " + table + " (bucket_size=5m, " + c.message_tail);
    rel::TimeseriesMetadata meta = must(rel::parse_timeseries_metadata(*live(rel::timeseries_meta_key(table))));
    EXPECT_EQ(meta, (rel::TimeseriesMetadata{table, "5m", 300, c.ts_column, c.values})) << c.columns;
    // The result reports the schema write, which precedes the time-series record.
    ASSERT_TRUE(a.commit_ts);
    EXPECT_EQ(must(rel::parse_schema_metadata(*must(db->get(rel::schema_key(table), *a.commit_ts)))).schema_mode,
              "timeseries");
    EXPECT_EQ(must(db->get(rel::schema_key(table), *a.commit_ts - 1)), std::nullopt);
  }
  ok("CREATE TIMESERIES TABLE d (id TEXT PRIMARY KEY, ts INT, v REAL)");
  EXPECT_EQ(live(rel::schema_key("d")),
            R"({"pk":"id","doc":"typed","columns":[{"name":"id","type":"TEXT"},{"name":"ts","type":"INTEGER"},{"name":"v","type":"REAL"}],"schema_mode":"timeseries"})");
  EXPECT_EQ(must(rel::parse_timeseries_metadata(*live(rel::timeseries_meta_key("d")))).bucket_seconds, 3600u);

  expect_error("CREATE TIMESERIES TABLE d (id TEXT PRIMARY KEY)", "table d already exists");
  expect_error("CREATE TIMESERIES TABLE e (id TEXT PRIMARY KEY) WITH (bucket_size = '0s')",
               "invalid bucket_size interval: '0s'");
  expect_error("CREATE TIMESERIES TABLE e (id TEXT PRIMARY KEY) WITH (bucket_size = 'soon')",
               "invalid bucket_size interval: 'soon'");
  expect_error("CREATE TIMESERIES TABLE e (ts INT, v REAL)",
               "CREATE TIMESERIES TABLE requires at least one PRIMARY KEY column");
  EXPECT_EQ(live(rel::schema_key("e")), std::nullopt);
  EXPECT_EQ(live(rel::timeseries_meta_key("e")), std::nullopt);
}

TEST_F(DdlTest, AlterTableAppendsAColumnOnce) {
  expect_error("ALTER TABLE nope ADD COLUMN c INT", "table nope does not exist");
  ok("CREATE TABLE d (pk TEXT PRIMARY KEY)");
  ok("INSERT INTO d (pk, doc) VALUES ('a', '{}')");
  SqlResult::Affected a = ok("ALTER TABLE d ADD COLUMN Score Double");
  EXPECT_EQ(a.message, "altered table d: added column Score Double (metadata-only)");
  EXPECT_TRUE(a.commit_ts);
  EXPECT_EQ(must(load_table_schema(*db, session, "d")),
            (rel::TableSchemaMetadata{"pk", "json", {{"pk", "TEXT"}, {"doc", "JSON"}, {"Score", "Double"}}, "legacy"}));
  EXPECT_EQ(live(rel::row_key("d", "a")), "{}");
  const auto before = live(rel::schema_key("d"));
  EXPECT_EQ(must(run("ALTER TABLE d ADD COLUMN score INT")),
            affected(0, std::nullopt, "column score already exists on table d"));
  EXPECT_EQ(must(run("ALTER TABLE d ADD COLUMN DOC INT")),
            affected(0, std::nullopt, "column DOC already exists on table d"));
  EXPECT_EQ(live(rel::schema_key("d")), before);
}

}  // namespace
}  // namespace quenlordb::sql::exec
