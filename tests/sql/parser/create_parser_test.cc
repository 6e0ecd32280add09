#include <gtest/gtest.h>

#include "parse_outcome.h"

namespace quenlordb::sql::parser {
namespace {

using testing::expect_outcomes;
using testing::select_text;

TEST(CreateParserTest, TableColumnsTypesAndConstraints) {
  expect_outcomes({
      {"CREATE TABLE t (id INT PRIMARY KEY, name TEXT NOT NULL, score double)",
       R"(CreateTable { table: "t", columns: [)"
       R"(ColumnDef { name: "id", type_name: Integer, primary_key: true, not_null: false }, )"
       R"(ColumnDef { name: "name", type_name: Text, primary_key: false, not_null: true }, )"
       R"(ColumnDef { name: "score", type_name: Real, primary_key: false, not_null: false }] })"},
      // Constraints repeat in any order; nothing counts primary keys or compares names.
      {"create table T (Id int not null primary key not null, Id Bool primary key, b Blob, j json)",
       R"(CreateTable { table: "T", columns: [)"
       R"(ColumnDef { name: "Id", type_name: Integer, primary_key: true, not_null: true }, )"
       R"(ColumnDef { name: "Id", type_name: Boolean, primary_key: true, not_null: false }, )"
       R"(ColumnDef { name: "b", type_name: Blob, primary_key: false, not_null: false }, )"
       R"(ColumnDef { name: "j", type_name: Json, primary_key: false, not_null: false }] })"},
      {"CREATE TABLE t AS SELECT * FROM u", R"(CreateTableAs { table: "t", query: )" +
                                                select_text({{"from", R"(Named("u"))"}}) + " }"},
  });
}

TEST(CreateParserTest, TableErrors) {
  expect_outcomes({
      {"CREATE TABLE t (a DATE)", "error: unknown column type: DATE"},
      {"CREATE TABLE t (a date)", "error: unknown column type: date"},
      {"CREATE TABLE t (a)", "error: expected identifier"},
      {"CREATE TABLE t ()", "error: expected identifier"},
      {"CREATE TABLE t (a INT,)", "error: expected identifier"},
      {"CREATE TABLE t (a INT PRIMARY)", "error: expected keyword KEY"},
      {"CREATE TABLE t (a INT NOT)", "error: expected keyword NULL"},
      {"CREATE TABLE t (a INT NOT 5)", "error: expected keyword NULL"},
      // Any other word ends the constraints.
      {"CREATE TABLE t (a INT UNIQUE)", "error: expected symbol )"},
      {"CREATE TABLE t (a INT", "error: expected symbol )"},
      {"CREATE TABLE t SELECT * FROM u", "error: expected symbol ("},
      {"CREATE TABLE t", "error: expected symbol ("},
      {"CREATE TABLE (a INT)", "error: expected identifier"},
      {"CREATE TABLE t AS SHOW TABLES", "error: expected keyword SELECT"},
      {"CREATE SEQUENCE s", "error: expected TABLE, TIMESERIES TABLE, VIEW, FULLTEXT INDEX, or INDEX after CREATE"},
      {"CREATE", "error: expected TABLE, TIMESERIES TABLE, VIEW, FULLTEXT INDEX, or INDEX after CREATE"},
  });
}

TEST(CreateParserTest, TimeseriesTableAndOptions) {
  const std::string columns =
      R"(columns: [ColumnDef { name: "ts", type_name: Integer, primary_key: false, not_null: false }, )"
      R"(ColumnDef { name: "v", type_name: Real, primary_key: false, not_null: false }])";
  auto ts = [&](const char* bucket) {
    return R"(CreateTimeseriesTable { table: "m", )" + columns + R"(, bucket_interval: ")" + bucket + "\" }";
  };
  expect_outcomes({
      {"CREATE TIMESERIES TABLE m (ts INT, v REAL)", ts("1h")},
      {"CREATE TIMESERIES TABLE m (ts INT, v REAL) WITH (bucket_size = '5m', retention = '7d')", ts("5m")},
      {"create timeseries table m (ts int, v real) with (Bucket_Size = 'soon')", ts("soon")},
      {"CREATE TIMESERIES TABLE m (ts INT, v REAL) WITH (retention = '7d')", ts("1h")},
      {"CREATE TIMESERIES TABLE m (ts INT, v REAL) WITH (bucket_size = '1m', bucket_size = '2m')", ts("2m")},
      {"CREATE TIMESERIES TABLE m (ts INT, v REAL) WITH (bucket_size = 5)", "error: expected string literal"},
      {"CREATE TIMESERIES TABLE m (ts INT, v REAL) WITH ()", "error: expected identifier"},
      {"CREATE TIMESERIES TABLE m (ts INT, v REAL) WITH (a '1')", "error: expected symbol ="},
      {"CREATE TIMESERIES TABLE m (ts INT, v REAL) WITH (a = '1'", "error: expected symbol )"},
      {"CREATE TIMESERIES TABLE m (ts INT, v REAL) WITH bucket_size = '1m'", "error: expected symbol ("},
      {"CREATE TIMESERIES m (ts INT)", "error: expected keyword TABLE"},
      {"CREATE TIMESERIES TABLE m AS SELECT * FROM t", "error: expected symbol ("},
      {"CREATE TIMESERIES TABLE m (ts TIMESTAMP)", "error: unknown column type: TIMESTAMP"},
  });
}

TEST(CreateParserTest, ViewsOfOnePrimaryKey) {
  expect_outcomes({
      {"CREATE VIEW v AS SELECT doc FROM t WHERE pk = 'a' AS OF 7",
       R"(CreateView { view: "v", source: "t", pk: "a", as_of: Some(7), valid_at: None })"},
      {"create view V as select DOC from T where 'a' = PK valid at 3",
       R"(CreateView { view: "V", source: "T", pk: "a", as_of: None, valid_at: Some(3) })"},
      // The WITH list and FOR clauses are no part of what a view keeps.
      {"CREATE VIEW v AS WITH c AS (SELECT * FROM u) SELECT doc FROM t WHERE pk = '' FOR SYSTEM_TIME ALL",
       R"(CreateView { view: "v", source: "t", pk: "", as_of: None, valid_at: None })"},
      {"CREATE VIEW v SELECT doc FROM t WHERE pk = 'a'", "error: expected keyword AS"},
      {"CREATE VIEW 'v' AS SELECT doc FROM t WHERE pk = 'a'", "error: expected identifier"},
      {"CREATE VIEW v AS SELECT doc FROM t WHERE pk = 'a' LIMIT", "error: expected numeric literal"},
  });
}

// Each check of a view's query, in the order they are made: a query that breaks several rules is
// refused for the first.
TEST(CreateParserTest, ViewChecksInOrder) {
  expect_outcomes({
      {"CREATE VIEW v AS SELECT * FROM (SELECT * FROM t) s ORDER BY a",
       "error: CREATE VIEW requires simple table reference"},
      {"CREATE VIEW v AS SELECT doc FROM read_json('f') WHERE pk = 'a'", "error: CREATE VIEW requires simple table reference"},
      {"CREATE VIEW v AS SELECT * FROM t JOIN u", "error: CREATE VIEW requires SELECT doc projection"},
      {"CREATE VIEW v AS SELECT doc AS d FROM t WHERE pk = 'a'", "error: CREATE VIEW requires SELECT doc projection"},
      {"CREATE VIEW v AS SELECT doc, doc FROM t WHERE pk = 'a'", "error: CREATE VIEW requires SELECT doc projection"},
      {"CREATE VIEW v AS SELECT t.doc FROM t WHERE pk = 'a'", "error: CREATE VIEW requires SELECT doc projection"},
      {"CREATE VIEW v AS SELECT doc FROM t JOIN u ON pk ORDER BY a", "error: CREATE VIEW does not support JOIN"},
      {"CREATE VIEW v AS SELECT doc FROM t LIMIT 1", "error: CREATE VIEW requires WHERE pk='...'"},
      {"CREATE VIEW v AS SELECT doc FROM t WHERE pk = 5", "error: CREATE VIEW requires WHERE pk='...'"},
      {"CREATE VIEW v AS SELECT doc FROM t WHERE pk = 'a' AND pk = 'b'", "error: CREATE VIEW requires WHERE pk='...'"},
      {"CREATE VIEW v AS SELECT doc FROM t WHERE pk = 'a' LIMIT 1",
       "error: CREATE VIEW does not support GROUP BY, ORDER BY, or LIMIT"},
      {"CREATE VIEW v AS SELECT doc FROM t WHERE pk = 'a' ORDER BY doc",
       "error: CREATE VIEW does not support GROUP BY, ORDER BY, or LIMIT"},
      {"CREATE VIEW v AS SELECT doc FROM t WHERE pk = 'a' GROUP BY doc",
       "error: CREATE VIEW does not support GROUP BY, ORDER BY, or LIMIT"},
  });
}

TEST(CreateParserTest, IndexForms) {
  expect_outcomes({
      {"CREATE FULLTEXT INDEX f ON t (title, body)",
       R"(CreateFulltextIndex { index: "f", table: "t", columns: ["title", "body"] })"},
      {"create fulltext index f on t (doc)", R"(CreateFulltextIndex { index: "f", table: "t", columns: ["doc"] })"},
      {"CREATE INDEX i ON t (a)", R"(CreateIndex { index: "i", table: "t", column: "a" })"},
      {"CREATE FULLTEXT f ON t (x)", "error: expected keyword INDEX"},
      {"CREATE FULLTEXT INDEX f t (x)", "error: expected keyword ON"},
      {"CREATE FULLTEXT INDEX f ON t ()", "error: expected identifier"},
      {"CREATE FULLTEXT INDEX f ON t title", "error: expected symbol ("},
      {"CREATE FULLTEXT INDEX f ON t (a b)", "error: expected symbol )"},
      {"CREATE INDEX i ON t (a, b)", "error: expected symbol )"},
      {"CREATE INDEX i ON t ()", "error: expected identifier"},
      {"CREATE INDEX i t (a)", "error: expected keyword ON"},
      {"CREATE INDEX ON t (a)", "error: expected keyword ON"},
      {"CREATE INDEX i ON (a)", "error: expected identifier"},
  });
}

}  // namespace
}  // namespace quenlordb::sql::parser
