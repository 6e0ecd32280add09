// CREATE TABLE AS: the schema derived from the first row, the keys of the rows, and what is
// written when it fails.
#include <gtest/gtest.h>

#include <fstream>
#include <string>
#include <vector>

#include "exec_fixture.h"

namespace quenlordb::sql::exec::testing {
namespace {

using Rows = std::vector<std::string>;

class CreateTableAsTest : public ExecFixture {
 protected:
  void SetUp() override {
    ExecFixture::SetUp();
    must(run("CREATE TABLE src (pk TEXT PRIMARY KEY)"));
    must(run(R"(INSERT INTO src (pk, doc) VALUES ('a', '{"id":7,"name":"ann","ok":true,"tags":["x"]}'))"));
    must(run(R"(INSERT INTO src (pk, doc) VALUES ('b', '{"id":2.5,"name":"bob","ok":false}'))"));
  }
};

TEST_F(CreateTableAsTest, DerivesColumnsAndKeysFromTheRows) {
  struct Case {
    std::string query;
    std::string schema;
    std::vector<LiveEntry> rows;
  };
  const std::vector<Case> cases = {
      // A member named id (any case) is the key; numbers key rows by their positional text.
      {"SELECT doc FROM src",
       R"({"pk":"id","doc":"json","columns":[{"name":"id","type":"REAL"},{"name":"name","type":"TEXT"},)"
       R"({"name":"ok","type":"BOOLEAN"},{"name":"tags","type":"TEXT"}],"schema_mode":"legacy"})",
       {{"table/c/2.5", R"({"id":2.5,"name":"bob","ok":false})"},
        {"table/c/7", R"({"id":7,"name":"ann","ok":true,"tags":["x"]})"}}},
      {"SELECT id, name FROM src WHERE pk = 'a'",
       R"({"pk":"id","doc":"json","columns":[{"name":"id","type":"REAL"},{"name":"name","type":"TEXT"}],)"
       R"("schema_mode":"legacy"})",
       {{"table/c/7", R"({"id":7.0,"name":"ann"})"}}},
      // Without pk or id the first column is the key and says so in its type.
      {"SELECT name, ok FROM src",
       R"x({"pk":"name","doc":"json","columns":[{"name":"name","type":"TEXT (pk)"},{"name":"ok","type":"BOOLEAN"}],)x"
       R"("schema_mode":"legacy"})",
       {{"table/c/ann", R"({"name":"ann","ok":true})"}, {"table/c/bob", R"({"name":"bob","ok":false})"}}},
      // Rows that are not objects, or lack the key member, are numbered.
      {"SELECT count(*) FROM src",
       R"({"pk":"pk","doc":"json","columns":[{"name":"pk","type":"TEXT"},{"name":"doc","type":"JSON"}],)"
       R"("schema_mode":"legacy"})",
       {{"table/c/row_0", "2"}}},
      {"SELECT ok AS ID, name FROM src ORDER BY name",
       R"({"pk":"ID","doc":"json","columns":[{"name":"ID","type":"BOOLEAN"},{"name":"name","type":"TEXT"}],)"
       R"("schema_mode":"legacy"})",
       {{"table/c/row_0", R"({"ID":true,"name":"ann"})"}, {"table/c/row_1", R"({"ID":false,"name":"bob"})"}}},
      {"SELECT doc FROM src WHERE pk = 'none'",
       R"({"pk":"pk","doc":"json","columns":[{"name":"pk","type":"TEXT"},{"name":"doc","type":"JSON"}],)"
       R"("schema_mode":"legacy"})",
       {}},
  };
  for (const Case& c : cases) {
    const SqlResult result = must(run("CREATE TABLE c AS " + c.query));
    const std::size_t n = c.rows.size();
    EXPECT_EQ(result, affected(n, std::nullopt, "created table c with " + std::to_string(n) + " row(s)")) << c.query;
    EXPECT_EQ(live("__meta/table/c"), c.schema) << c.query;
    EXPECT_EQ(scan("table/c/"), c.rows) << c.query;
    must(run("DROP TABLE c"));
  }
}

TEST_F(CreateTableAsTest, CopyIsQueriedByItsNumericKey) {
  must(run("CREATE TABLE t (id INTEGER PRIMARY KEY, name TEXT)"));
  must(run("INSERT INTO t (id, name) VALUES (7, 'seven')"));
  must(run("CREATE TABLE c AS SELECT id, name FROM t"));
  EXPECT_EQ(rows("SELECT name FROM c WHERE pk = '7'"), Rows{R"({"name":"seven"})"});
}

TEST_F(CreateTableAsTest, FailsBeforeWritingAnything) {
  // An existing table fails before the query runs: the query's own failure is not reached.
  expect_error("CREATE TABLE src AS SELECT * FROM nosuch", "table src already exists");
  struct Case {
    std::string sql;
    std::string message;
  };
  must(run(R"(INSERT INTO src (pk, doc) VALUES ('e', '{"id":"","name":"nil"}'))"));
  must(run(R"(INSERT INTO src (pk, doc) VALUES ('s', '{"a b":1}'))"));
  const std::string csv = dir.file("codes.csv");
  std::ofstream(csv) << "code,name\n0E0,zero\n0E8,also zero\n";
  const std::vector<Case> cases = {
      {"CREATE TABLE c AS SELECT doc FROM src WHERE pk != 's'", "pk cannot be empty"},
      {"CREATE TABLE c AS SELECT doc FROM src WHERE pk = 's'", "identifier name must be ascii alnum/_/-"},
      {"CREATE TABLE c AS SELECT * FROM nosuch", "table or view nosuch does not exist"},
      // Two rows under one key: a grouped query keyed by its count, and numbers READ_CSV infers
      // (0E0 and 0E8 are both 0).
      {"CREATE TABLE c AS SELECT name, count(*) AS n FROM src GROUP BY name",
       "CREATE TABLE AS result has two rows with primary key 1 (column n); select a unique column as pk"},
      {"CREATE TABLE c AS SELECT code, name FROM READ_CSV('" + csv + "')",
       "CREATE TABLE AS result has two rows with primary key 0 (column code); select a unique column as pk"},
  };
  for (const Case& c : cases) {
    expect_error(c.sql, c.message);
    EXPECT_FALSE(live("__meta/table/c")) << c.sql;
    EXPECT_TRUE(scan("table/c/").empty()) << c.sql;
  }
  // A key longer than a put takes ("table/c/" and the id) fails before the first write too.
  put_row("src", "long", R"({"id":")" + std::string(65529, 'k') + R"("})");
  EXPECT_EQ(error("CREATE TABLE c AS SELECT doc FROM src WHERE pk < 'c' OR pk = 'long'"),
            "io error: key is too long (65537 bytes; at most 65536)");
  EXPECT_FALSE(live("__meta/table/c"));
  EXPECT_TRUE(scan("table/c/").empty());
}

// Nineteen-digit ids are common: each keys its own row.
TEST_F(CreateTableAsTest, IntegerKeysKeepTheirDigits) {
  put_row("src", "x", R"({"id":1234567890123456789})");
  put_row("src", "y", R"({"id":1234567890123456790})");
  put_row("src", "z", R"({"id":18446744073709551615})");
  put_row("src", "w", R"({"id":123456789012345678901234567890})");
  must(run("CREATE TABLE c AS SELECT doc FROM src WHERE pk >= 'w'"));
  EXPECT_EQ(scan("table/c/"), (std::vector<LiveEntry>{{"table/c/1234567890123456789", R"({"id":1234567890123456789})"},
                                                      {"table/c/123456789012345678901234567890",
                                                       R"({"id":123456789012345678901234567890})"},
                                                      {"table/c/1234567890123456790", R"({"id":1234567890123456790})"},
                                                      {"table/c/18446744073709551615", R"({"id":18446744073709551615})"}}));
}

// A row nested deeper than a document may be is refused, as INSERT refuses it.
TEST_F(CreateTableAsTest, RefusesARowDeeperThanADocument) {
  auto nested = [](int levels) { return "{\"x\":" + std::string(levels - 1, '[') + std::string(levels - 1, ']') + "}"; };
  put_row("src", "d127", nested(127));
  put_row("src", "d128", nested(128));  // written past SQL, which refuses it
  must(run("CREATE TABLE ok AS SELECT doc FROM src WHERE pk = 'd127'"));
  EXPECT_EQ(live("table/ok/row_0"), nested(127));
  EXPECT_EQ(error("CREATE TABLE c AS SELECT doc FROM src WHERE pk >= 'd'"), "serde json error: recursion limit exceeded");
  EXPECT_FALSE(live("__meta/table/c"));
  EXPECT_TRUE(scan("table/c/").empty());
}

TEST_F(CreateTableAsTest, InsideATransactionTheCopyIsStaged) {
  must(run("BEGIN"));
  EXPECT_EQ(must(run("CREATE TABLE c AS SELECT name FROM src")),
            affected(2, std::nullopt, "created table c with 2 row(s)"));
  EXPECT_EQ(rows("SELECT name FROM c WHERE pk = 'bob'"), Rows{R"({"name":"bob"})"});
  must(run("ROLLBACK"));
  EXPECT_FALSE(live("__meta/table/c"));
  EXPECT_TRUE(scan("table/c/").empty());
}

TEST_F(CreateTableAsTest, RowsJoinTheFullTextIndexesOfTheirTable) {
  // A full-text index outlives DROP TABLE, so a table made again under the name is indexed by it.
  must(run("CREATE TABLE c (pk TEXT PRIMARY KEY)"));
  must(run("CREATE FULLTEXT INDEX f ON c (doc)"));
  must(run("DROP TABLE c"));
  must(run("CREATE TABLE c AS SELECT name, pk FROM src"));
  EXPECT_EQ(rows("SELECT name FROM c WHERE MATCH(doc, 'bob')"), Rows{R"({"name":"bob"})"});
}

}  // namespace
}  // namespace quenlordb::sql::exec::testing
