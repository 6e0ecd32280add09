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
  std::vector<std::string> rows(std::string_view sql) {
    auto r = run(sql);
    EXPECT_TRUE(r) << sql << ": " << r.error().to_string();
    if (!r) return {};
    return std::get<SqlResult::Rows>(r->value).rows;
  }
  void expect_error(std::string_view sql, std::string_view message) {
    auto r = run(sql);
    ASSERT_FALSE(r) << sql;
    EXPECT_EQ(r.error(), QuenlorError::sql_execution(std::string(message))) << sql << ": " << r.error().to_string();
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
  must(db->put(rel::schema_key("old"), R"({"pk":"Id"})", 0, testing::kMax));
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

}  // namespace
}  // namespace quenlordb::sql::exec
