// READ_CSV, READ_JSON and READ_NDJSON as row sources of a SELECT.
#include <fcntl.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "exec_fixture.h"
#include "util/file.h"

namespace quenlordb::sql::exec::testing {
namespace {

using Rows = std::vector<std::string>;

class TableFunctionTest : public ExecFixture {
 protected:
  // Writes text to a fresh file of the test's directory and returns its path.
  std::string file(std::string_view name, std::string_view text) {
    const std::string path = dir.file(std::string(name));
    util::File f = must(util::File::open(path, O_WRONLY | O_CREAT | O_TRUNC));
    must(f.write_all(text));
    return path;
  }
};

TEST_F(TableFunctionTest, CsvRowsAreIndexedObjectsWithInferredValues) {
  const std::string p = file("in.csv", "n, amount ,b,s,amount\n007,1e3,TRUE,yes,5\n\n-12,inf,false,1.2.3\n,,x,\"a,\"\"b\"\"\nc\"\n");
  // A blank line keeps its index; a short line reads its missing fields as empty; a later header
  // field of the same trimmed name wins; a quoted line feed stays in its field.
  EXPECT_EQ(rows("SELECT pk, doc FROM read_csv('" + p + "')"),
            (Rows{R"({"doc":{"amount":5,"b":true,"n":7,"s":"yes"},"pk":"0"})",
                  R"({"doc":{"amount":null,"b":false,"n":-12,"s":"1.2.3"},"pk":"2"})",
                  R"({"doc":{"amount":null,"b":"x","n":null,"s":"a,\"b\"\nc"},"pk":"3"})"}));
  const std::string q = file("values.csv", "v\n007\n+5\n1e3\n-2.50\nTRUE\nfAlSe\nyes\ninf\nNaN\n1.2.3\n\" 42\"\n\"\"\n9223372036854775808\n");
  EXPECT_EQ(rows("SELECT doc FROM read_csv('" + q + "')"),
            (Rows{R"({"v":7})", R"({"v":5})", R"({"v":1000.0})", R"({"v":-2.5})", R"({"v":true})",
                  R"({"v":false})", R"({"v":"yes"})", R"({"v":"inf"})", R"({"v":"NaN"})", R"({"v":"1.2.3"})",
                  R"({"v":" 42"})", R"({"v":null})", R"({"v":9.223372036854776e+18})"}));
}

TEST_F(TableFunctionTest, CsvHeaderOnlyFilesAndEmptyFile) {
  EXPECT_EQ(rows("SELECT * FROM read_csv('" + file("h.csv", "a,b\n") + "')"), Rows{});
  EXPECT_EQ(rows("SELECT * FROM read_csv('" + file("lf.csv", "\n") + "')"), Rows{});
  EXPECT_EQ(rows("SELECT doc FROM read_csv('" + file("one.csv", "\nx,y\n") + "')"), Rows{R"({"":"x"})"});
  expect_error("SELECT * FROM read_csv('" + file("empty.csv", "") + "')", "CSV file is empty");
}

TEST_F(TableFunctionTest, JsonAndNdjsonRowsTakeAnyValue) {
  const std::string j = file("in.json", R"([1, "x", {"b": 2, "a": [true, null]}])");
  EXPECT_EQ(rows("SELECT pk, doc FROM READ_JSON('" + j + "')"),
            (Rows{R"({"doc":1,"pk":"0"})", R"({"doc":"x","pk":"1"})", R"({"doc":{"a":[true,null],"b":2},"pk":"2"})"}));
  const std::string n = file("in.ndjson", "{\"k\": 1}\n  \r\n[2]\r\n\"s\"");
  EXPECT_EQ(rows("SELECT pk, doc FROM Read_NDJson('" + n + "')"),
            (Rows{R"({"doc":{"k":1},"pk":"0"})", R"({"doc":[2],"pk":"2"})", R"({"doc":"s","pk":"3"})"}));
  EXPECT_EQ(rows("SELECT * FROM read_json('" + file("e.json", "[]") + "')"), Rows{});
}

// One byte-order mark (U+FEFF) at the very start of a file is not part of its text; anywhere else
// it is data.
TEST_F(TableFunctionTest, OneByteOrderMarkAtTheStartIsSkipped) {
  const std::string bom = "\xEF\xBB\xBF";
  const struct {
    const char* function;
    std::string text;
    Rows want;
  } cases[] = {
      {"read_csv", bom + "id,name\n1,a\n", {R"({"id":1,"name":"a"})"}},
      {"read_csv", bom + bom + "id\n1\n", {R"({")" + bom + R"(id":1})"}},
      {"read_csv", bom + "id\n" + bom + "1\n", {R"({"id":")" + bom + R"(1"})"}},
      {"read_json", bom + "[{\"id\":1}]", {R"({"id":1})"}},
      {"read_ndjson", bom + "{\"id\":1}\n{\"id\":2}\n", {R"({"id":1})", R"({"id":2})"}},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(rows(std::string("SELECT doc FROM ") + c.function + "('" + file("bom", c.text) + "')"), c.want)
        << c.function << " " << c.text;
  }
  expect_error("SELECT * FROM read_csv('" + file("bom.csv", bom) + "')", "CSV file is empty");
}

TEST_F(TableFunctionTest, FilteringGroupingOrderingAndAliases) {
  const std::string p = file("sales.csv", "region,amount\neast,10\nwest,3\neast,5.5\n");
  EXPECT_EQ(rows("SELECT region, amount FROM read_csv('" + p + "') WHERE amount > 4 ORDER BY amount"),
            (Rows{R"({"amount":5.5,"region":"east"})", R"({"amount":10.0,"region":"east"})"}));
  // The alias names the source, replacing a CTE of that name.
  must(run("CREATE TABLE t (pk TEXT PRIMARY KEY)"));
  must(run(R"(INSERT INTO t (pk, doc) VALUES ('k', '{"region":"west","amount":99}'))"));
  EXPECT_EQ(rows("WITH s AS (SELECT region, amount FROM t) SELECT amount FROM read_csv('" + p +
                 "') AS s WHERE region = 'west'"),
            Rows{R"({"amount":3.0})"});
  EXPECT_EQ(rows("SELECT region, sum(amount) AS total FROM read_csv('" + p + "') x GROUP BY region ORDER BY region"),
            (Rows{R"({"region":"east","total":15.5})", R"({"region":"west","total":3.0})"}));
  EXPECT_EQ(rows("SELECT count(*) FROM read_csv('" + p + "')"), Rows{"3"});
}

TEST_F(TableFunctionTest, Failures) {
  const std::string csv = file("f.csv", "a\n1\n");
  const std::string missing = dir.file("missing.csv");
  struct Case {
    std::string sql;
    ErrorKind kind;
    std::string message;  // empty: the kind alone is checked
  };
  const std::vector<Case> cases = {
      {"SELECT * FROM Read_Xml('" + csv + "')", ErrorKind::SqlExecution, "unknown table function: Read_Xml()"},
      {"SELECT * FROM read_parquet(1)", ErrorKind::SqlExecution, "Parquet support requires --features parquet"},
      {"SELECT * FROM READ_PARQUET('" + csv + "')", ErrorKind::SqlExecution,
       "Parquet support requires --features parquet"},
      {"SELECT * FROM READ_CSV()", ErrorKind::SqlExecution, "read_csv() requires a file path as first argument"},
      {"SELECT * FROM read_json(5)", ErrorKind::SqlExecution, "read_json() requires a file path as first argument"},
      {"SELECT * FROM read_ndjson(path)", ErrorKind::SqlExecution,
       "read_ndjson() requires a file path as first argument"},
      {"SELECT * FROM read_csv('" + missing + "')", ErrorKind::SqlExecution,
       "failed to read file '" + missing + "': No such file or directory (os error 2)"},
      {"SELECT * FROM read_csv('" + file("bad.csv", "a\n\xff\n") + "')", ErrorKind::SqlExecution,
       "failed to read file '" + dir.file("bad.csv") + "': stream did not contain valid UTF-8"},
      {"SELECT * FROM read_json('" + file("obj.json", R"({"a":1})") + "')", ErrorKind::SerdeJson, ""},
      {"SELECT * FROM read_json('" + file("broken.json", "[1,") + "')", ErrorKind::SerdeJson, ""},
      {"SELECT * FROM read_ndjson('" + file("bad.ndjson", "1\n{nope\n2\n") + "')", ErrorKind::SerdeJson, ""},
  };
  for (const Case& c : cases) {
    const Result<SqlResult> r = run(c.sql);
    ASSERT_FALSE(r) << c.sql;
    EXPECT_EQ(r.error().kind(), c.kind) << c.sql;
    if (!c.message.empty()) {
      EXPECT_EQ(r.error().message(), c.message) << c.sql;
    }
  }
}

}  // namespace
}  // namespace quenlordb::sql::exec::testing
