#include "sql/exec/table_stats.h"

#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

namespace quenlordb::sql::exec {
namespace {

using Rows = std::vector<std::pair<std::string, std::string>>;

TableStats analyze(const Rows& rows, const std::vector<std::string>& columns, std::string_view pk = "id") {
  TableStatsBuilder builder(pk, columns);
  for (const auto& [key, doc] : rows) builder.add_row(key, doc);
  return std::move(builder).finish(1234);
}

TEST(TableStatsTest, EmptyTypedTable) {
  const TableStats stats = analyze({}, {"id", "name"});
  EXPECT_EQ(encode_table_stats(stats),
            R"({"row_count":0,"approx_byte_size":0,"avg_row_bytes":0,"last_updated_ms":1234,"columns":[)"
            R"({"name":"id","distinct_count":0,"null_count":0,"min_value":null,"max_value":null,"top_values":[]},)"
            R"({"name":"name","distinct_count":0,"null_count":0,"min_value":null,"max_value":null,"top_values":[]}]})");
}

TEST(TableStatsTest, DocumentTableCountsRowsAndBytesOnly) {
  const TableStats stats =
      analyze({{"a", std::string(10, 'x')}, {"b", std::string(20, 'x')}, {"c", std::string(31, 'x')}}, {});
  EXPECT_EQ(encode_table_stats(stats),
            R"({"row_count":3,"approx_byte_size":61,"avg_row_bytes":20,"last_updated_ms":1234,"columns":[]})");
}

TEST(TableStatsTest, NullsDistinctMinMaxAndTop) {
  const Rows rows = {
      {"1", R"({"c":"b"})"}, {"2", R"({"c":"a"})"}, {"3", R"({"c":"b"})"}, {"4", R"({"c":null})"}, {"5", R"({"d":1})"},
  };
  const TableStats stats = analyze(rows, {"c"});
  ASSERT_EQ(stats.columns.size(), 1u);
  EXPECT_EQ(encode_table_stats(stats),
            R"({"row_count":5,"approx_byte_size":44,"avg_row_bytes":8,"last_updated_ms":1234,"columns":[)"
            R"({"name":"c","distinct_count":2,"null_count":2,"min_value":"a","max_value":"b",)"
            R"("top_values":[["b",2],["a",1]]}]})");
}

TEST(TableStatsTest, ValueTexts) {
  const Rows rows = {
      {"k1", R"({"v":9.0,"ID":"no"})"},
      {"k2", R"({"v":10.0})"},
      {"k3", R"({"v":7})"},
      {"k4", R"({"v":true})"},
      {"k5", R"({"v":[1, {"b":2,"a":1}]})"},
      {"k6", R"({"v":"x","v":"last"})"},  // the last of repeated names
      {"k7", "not json"},
      {"k8", R"([{"v":1}])"},  // not an object
      {"k9", R"({"V":1})"},    // member names are compared exactly
  };
  const TableStats stats = analyze(rows, {"Id", "v"});
  ASSERT_EQ(stats.columns.size(), 2u);
  // The key column (named without regard to ASCII case) reads the primary key, never the document.
  const ColumnStatistics& id = stats.columns[0];
  EXPECT_EQ(id.name, "Id");
  EXPECT_EQ(id.null_count, 0u);
  EXPECT_EQ(id.distinct_count, 9u);
  EXPECT_EQ(id.min_value, "k1");
  EXPECT_EQ(id.max_value, "k9");

  const ColumnStatistics& v = stats.columns[1];
  EXPECT_EQ(v.null_count, 3u);
  EXPECT_EQ(v.distinct_count, 6u);
  // Byte order: "10.0" sorts before "9.0".
  EXPECT_EQ(v.min_value, "10.0");
  EXPECT_EQ(v.max_value, "true");
  const std::vector<std::pair<std::string, std::uint64_t>> top = {
      {"10.0", 1}, {"7", 1}, {"9.0", 1}, {"[1,{\"a\":1,\"b\":2}]", 1}, {"last", 1}, {"true", 1},
  };
  EXPECT_EQ(v.top_values, top);
}

TEST(TableStatsTest, TopValuesKeepTenMostFrequentTiesInByteOrder) {
  // Twelve distinct values: "v00" to "v11"; v05 and v07 three times, v02 twice, the rest once.
  Rows rows;
  int n = 0;
  auto add = [&](int value, int times) {
    for (int i = 0; i < times; ++i) {
      rows.push_back({std::to_string(n++), std::string(R"({"c":"v)") + (value < 10 ? "0" : "") +
                                               std::to_string(value) + "\"}"});
    }
  };
  for (int value : {11, 3, 9, 0, 1, 4, 6, 8, 10}) add(value, 1);
  add(7, 3);
  add(2, 2);
  add(5, 3);
  const TableStats stats = analyze(rows, {"c"});
  const ColumnStatistics& c = stats.columns[0];
  EXPECT_EQ(c.distinct_count, 12u);
  const std::vector<std::pair<std::string, std::uint64_t>> top = {
      {"v05", 3}, {"v07", 3}, {"v02", 2}, {"v00", 1}, {"v01", 1},
      {"v03", 1}, {"v04", 1}, {"v06", 1}, {"v08", 1}, {"v09", 1},
  };
  EXPECT_EQ(c.top_values, top);
  EXPECT_EQ(c.min_value, "v00");
  EXPECT_EQ(c.max_value, "v11");
}

TEST(TableStatsTest, TextsThatAreNotUtf8AreWrittenReplaced) {
  const TableStats stats = analyze({{"\xff", "{}"}}, {"id"});
  EXPECT_NE(encode_table_stats(stats).find("\"min_value\":\"\xEF\xBF\xBD\""), std::string::npos)
      << encode_table_stats(stats);
}

}  // namespace
}  // namespace quenlordb::sql::exec
