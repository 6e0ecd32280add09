#include <gtest/gtest.h>

#include <regex>
#include <string>
#include <vector>

#include "facet/relational/keys.h"
#include "facet/relational/records.h"
#include "sql/exec/exec_fixture.h"
#include "sql/exec/table_stats.h"

namespace quenlordb::sql::exec {
namespace {

using testing::affected;
using testing::kMax;
using testing::must;
namespace rel = facet::relational;

class AnalyzeTest : public testing::ExecFixture {
 protected:
  void create_table(std::string_view name, std::string_view mode, std::vector<std::string> columns = {}) {
    rel::TableSchemaMetadata schema;
    schema.schema_mode = mode;
    if (mode != "legacy") schema.doc = "typed";
    schema.pk = "id";
    for (std::string& c : columns) schema.columns.push_back({std::move(c), "TEXT"});
    put_catalog(rel::schema_key(name), must(rel::encode_schema_metadata(schema)));
  }
  void put_row(std::string_view table, std::string_view pk, std::string doc) {
    must(db->put(rel::row_key(table, pk), std::move(doc), 0, kMax));
  }
  // The stored record with its clock field replaced by 0, after checking that the clock was read.
  std::string record(std::string_view table) {
    const std::optional<std::string> stored = must(db->get(rel::stats_key(table)));
    if (!stored) return "none";
    static const std::regex clock(R"("last_updated_ms":(\d+),)");
    std::smatch m;
    EXPECT_TRUE(std::regex_search(*stored, m, clock)) << *stored;
    if (!m.empty()) {
      EXPECT_GT(std::stoull(m[1].str()), 1'700'000'000'000ull);
    }
    return std::regex_replace(*stored, clock, R"("last_updated_ms":0,)");
  }
  // The result of a statement whose commit timestamp is checked apart.
  SqlResult::Affected run_affected(std::string_view sql) {
    SqlResult result = must(run(sql), std::string(sql).c_str());
    auto* a = std::get_if<SqlResult::Affected>(&result.value);
    EXPECT_NE(a, nullptr) << sql;
    return a != nullptr ? *a : SqlResult::Affected{};
  }
};

TEST_F(AnalyzeTest, EmptyTypedTable) {
  create_table("t", "typed", {"id", "name"});
  const SqlResult::Affected r = run_affected("ANALYZE t");
  EXPECT_EQ(r.rows, 0u);
  EXPECT_EQ(r.message, "ANALYZE t: 0 rows, ~0 bytes, 2 column stats");
  ASSERT_TRUE(r.commit_ts.has_value());
  EXPECT_EQ(must(db->get(rel::stats_key("t"), *r.commit_ts)).has_value(), true);
  EXPECT_EQ(record("t"),
            R"({"row_count":0,"approx_byte_size":0,"avg_row_bytes":0,"last_updated_ms":0,"columns":[)"
            R"({"name":"id","distinct_count":0,"null_count":0,"min_value":null,"max_value":null,"top_values":[]},)"
            R"({"name":"name","distinct_count":0,"null_count":0,"min_value":null,"max_value":null,"top_values":[]}]})");
}

TEST_F(AnalyzeTest, DocumentTable) {
  create_table("d", "legacy");
  put_row("d", "a", std::string(10, ' '));
  put_row("d", "b", R"({"k":"0123456789ab"})");  // 20 bytes
  put_row("d", "c", std::string(31, 'x'));
  put_row("d", "gone", "");                          // a tombstone is not a row
  put_row("other", "a", "{}");
  const SqlResult::Affected r = run_affected("ANALYZE d");
  EXPECT_EQ(r.rows, 3u);
  EXPECT_EQ(r.message, "ANALYZE d: 3 rows, ~61 bytes");
  EXPECT_EQ(record("d"), R"({"row_count":3,"approx_byte_size":61,"avg_row_bytes":20,"last_updated_ms":0,"columns":[]})");
}

TEST_F(AnalyzeTest, TypedColumnStatistics) {
  create_table("t", "typed", {"ID", "c"});
  put_row("t", "1", R"({"c":"b"})");
  put_row("t", "2", R"({"c":"a"})");
  put_row("t", "3", R"({"c":"b"})");
  put_row("t", "4", R"({"c":null})");
  put_row("t", "5", R"({"d":1})");
  const SqlResult::Affected r = run_affected("ANALYZE t");
  EXPECT_EQ(r.message, "ANALYZE t: 5 rows, ~44 bytes, 2 column stats");
  EXPECT_EQ(record("t"),
            R"({"row_count":5,"approx_byte_size":44,"avg_row_bytes":8,"last_updated_ms":0,"columns":[)"
            R"({"name":"ID","distinct_count":5,"null_count":0,"min_value":"1","max_value":"5",)"
            R"("top_values":[["1",1],["2",1],["3",1],["4",1],["5",1]]},)"
            R"({"name":"c","distinct_count":2,"null_count":2,"min_value":"a","max_value":"b",)"
            R"("top_values":[["b",2],["a",1]]}]})");
}

TEST_F(AnalyzeTest, NumbersOfATypedInsertReadAsTheirJsonText) {
  create_table("n", "typed", {"id", "v"});
  for (const char* row : {"('a', 9)", "('b', 10)", "('c', 10)"}) {
    must(run(std::string("INSERT INTO n (id, v) VALUES ") + row));
  }
  must(run("ANALYZE n"));
  const std::string stats = record("n");
  // Byte order puts "10.0" before "9.0".
  EXPECT_NE(stats.find(R"({"name":"v","distinct_count":2,"null_count":0,"min_value":"10.0","max_value":"9.0",)"
                       R"("top_values":[["10.0",2],["9.0",1]]})"),
            std::string::npos)
      << stats;
}

TEST_F(AnalyzeTest, TimeseriesTableGetsNoColumnStatistics) {
  create_table("m", "timeseries", {"ts", "v"});
  put_row("m", "1", R"({"ts":1,"v":2.0})");
  EXPECT_EQ(run_affected("ANALYZE m").message, "ANALYZE m: 1 rows, ~16 bytes");
}

TEST_F(AnalyzeTest, AppliedAtOnceInsideATransaction) {
  create_table("t", "typed", {"id"});
  put_row("t", "a", "{}");
  must(run("BEGIN"));
  must(write_put(*db, session, rel::row_key("t", "b"), "{}"));
  // The staged row counts, and the record is written at once, with a timestamp.
  const SqlResult::Affected r = run_affected("ANALYZE t");
  EXPECT_EQ(r.message, "ANALYZE t: 2 rows, ~4 bytes, 1 column stats");
  ASSERT_TRUE(r.commit_ts.has_value());
  EXPECT_EQ(session.staged_count(), 1u);
  must(run("ROLLBACK"));
  EXPECT_EQ(live(rel::row_key("t", "b")), std::nullopt);
  EXPECT_NE(record("t").find(R"("row_count":2,)"), std::string::npos);

  // Each ANALYZE writes a new version; the earlier one stays readable as of its timestamp.
  const SqlResult::Affected again = run_affected("ANALYZE t");
  EXPECT_EQ(again.rows, 1u);
  const std::optional<std::string> first = must(db->get(rel::stats_key("t"), *r.commit_ts));
  ASSERT_TRUE(first.has_value());
  EXPECT_NE(first->find(R"("row_count":2,)"), std::string::npos);
}

TEST_F(AnalyzeTest, Failures) {
  create_table("t", "legacy");
  must(db->put("table/t/\xff", "{}", 0, kMax));
  struct Case {
    const char* sql;
    const char* message;
  };
  const Case cases[] = {
      {"ANALYZE nosuch", "table nosuch does not exist"},
      {"ANALYZE $1", "table name must be ascii alnum/_/-"},
      {"ANALYZE t", "row key contains non-utf8 pk"},
  };
  for (const Case& c : cases) {
    auto r = run(c.sql);
    ASSERT_FALSE(r) << c.sql;
    EXPECT_EQ(r.error(), QuenlorError::sql_execution(c.message)) << c.sql << ": " << r.error().to_string();
  }
  EXPECT_EQ(must(db->get(rel::stats_key("t"))), std::nullopt);
}

TEST_F(AnalyzeTest, ExplainAnalyzeOfAnalyzeWrites) {
  create_table("t", "legacy");
  put_row("t", "a", "{}");
  const std::string text = std::get<SqlResult::Explain>(must(run("EXPLAIN ANALYZE ANALYZE t")).value).text;
  const std::regex pattern(R"(execution_time_us=\d+ rows_returned=1 message=ANALYZE t: 1 rows, ~2 bytes\n)"
                           R"(operations: reads=\d+ writes=1 bloom_negatives=\d+)");
  EXPECT_TRUE(std::regex_match(text, pattern)) << text;
  EXPECT_NE(record("t"), "none");
}

}  // namespace
}  // namespace quenlordb::sql::exec
