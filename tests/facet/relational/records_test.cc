#include "facet/relational/records.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>

namespace quenlordb::facet::relational {
namespace {

TEST(SchemaRecordTest, DefaultsAndEmptyTexts) {
  const TableSchemaMetadata defaults;
  for (std::string_view text : {R"({})", R"({"pk":"","doc":""})", R"([])", R"({"extra":[1,{"x":null}],"other":3})"}) {
    auto r = parse_schema_metadata(text);
    ASSERT_TRUE(r) << text << ": " << r.error().to_string();
    EXPECT_EQ(*r, defaults) << text;
    EXPECT_EQ(r->schema_mode, default_schema_mode());
  }
}

TEST(SchemaRecordTest, RoundTripAndOmittedColumns) {
  TableSchemaMetadata schema{"id", "typed", {{"id", "INTEGER"}, {"name", "TEXT"}}, "typed"};
  const std::string text = encode_schema_metadata(schema).value();
  EXPECT_EQ(text,
            R"({"pk":"id","doc":"typed","columns":[{"name":"id","type":"INTEGER"},{"name":"name","type":"TEXT"}],)"
            R"("schema_mode":"typed"})");
  EXPECT_EQ(parse_schema_metadata(text).value(), schema);
  EXPECT_EQ(encode_schema_metadata(TableSchemaMetadata{}).value(), R"({"pk":"pk","doc":"json","schema_mode":"legacy"})");
  // The array form reads the same fields in order; trailing ones take their defaults.
  EXPECT_EQ(parse_schema_metadata(R"(["id","typed",[["id","INTEGER"]]])").value(),
            (TableSchemaMetadata{"id", "typed", {{"id", "INTEGER"}}, "legacy"}));
}

TEST(SchemaRecordTest, BadNamesFailOnReadAndOnWrite) {
  const QuenlorError bad = QuenlorError::sql_execution("identifier name must be ascii alnum/_/-");
  EXPECT_EQ(parse_schema_metadata(R"({"columns":[{"name":"a b","type":"TEXT"}]})").error(), bad);
  EXPECT_EQ(parse_schema_metadata(R"({"pk":"p.k"})").error(), bad);
  EXPECT_EQ(encode_schema_metadata(TableSchemaMetadata{"pk", "json", {{"a b", "TEXT"}}, "legacy"}).error(), bad);
  EXPECT_EQ(encode_schema_metadata(TableSchemaMetadata{"pk", "json", {{"", "TEXT"}}, "legacy"}).error(),
            QuenlorError::sql_execution("identifier name cannot be empty"));
}

TEST(RecordWritersTest, CompactFieldOrder) {
  EXPECT_EQ(encode_column_metadata({"n", "TEXT"}).value(), R"({"name":"n","type":"TEXT"})");
  EXPECT_EQ(encode_view_metadata({"v", "SELECT * FROM t", {}}).value(), R"({"name":"v","query":"SELECT * FROM t"})");
  EXPECT_EQ(encode_view_metadata({"v", "q", {"t"}}).value(), R"({"name":"v","query":"q","depends_on":["t"]})");
  EXPECT_EQ(encode_index_metadata({"i", "t", {"c"}, false}).value(),
            R"({"name":"i","table":"t","columns":["c"],"unique":false})");
  EXPECT_EQ(encode_fts_index_metadata({"i", "t", {"doc", "title"}}).value(),
            R"({"name":"i","table":"t","columns":["doc","title"]})");
  EXPECT_EQ(encode_timeseries_metadata({"m", "1h", 3600, "ts", {"v", "w"}}).value(),
            R"({"table":"m","bucket_interval":"1h","bucket_seconds":3600,"ts_column":"ts","value_columns":["v","w"]})");
  // A text that is not UTF-8 cannot be written as JSON.
  auto bad = encode_view_metadata({"v", "\xff", {}});
  ASSERT_FALSE(bad);
  EXPECT_EQ(bad.error().kind(), ErrorKind::SerdeJson);
}

TEST(RecordReadersTest, ReadBackWhatWasWritten) {
  const ViewMetadata view{"v", "SELECT 1", {"t"}};
  EXPECT_EQ(parse_view_metadata(encode_view_metadata(view).value()).value(), view);
  EXPECT_EQ(parse_view_metadata(R"({"name":"v","query":"q"})").value(), (ViewMetadata{"v", "q", {}}));
  const FtsIndexMetadata fts{"i", "t", {"doc"}};
  EXPECT_EQ(parse_fts_index_metadata(encode_fts_index_metadata(fts).value()).value(), fts);
  const TimeseriesMetadata ts{"m", "5m", 300, "ts", {"v"}};
  EXPECT_EQ(parse_timeseries_metadata(encode_timeseries_metadata(ts).value()).value(), ts);
  EXPECT_EQ(parse_timeseries_metadata(R"(["m","5m",300,"ts",["v"]])").value(), ts);
  EXPECT_EQ(parse_column_metadata(R"(["n","TEXT"])").value(), (TableColumnMetadata{"n", "TEXT"}));
}

template <auto Parse>
Result<void> discard_value(std::string_view text) {
  auto r = Parse(text);
  if (!r) return fail(r.error());
  return {};
}

// Each case: a reader, the record text, and the start of the expected message (after the kind's
// prefix). Texts the JSON parser words itself are checked for their kind only.
TEST(RecordReadersTest, ReaderRuleTexts) {
  using Reader = std::function<Result<void>(std::string_view)>;
  const Reader schema = discard_value<parse_schema_metadata>;
  const Reader column = discard_value<parse_column_metadata>;
  const Reader view = discard_value<parse_view_metadata>;
  const Reader fts = discard_value<parse_fts_index_metadata>;
  const Reader ts = discard_value<parse_timeseries_metadata>;
  struct Case {
    const char* name;
    const Reader* reader;
    const char* text;
    const char* message;
  };
  const Case cases[] = {
      {"repeated known field", &schema, R"({"pk":"a","pk":"b"})", "duplicate field `pk`"},
      {"repeated field, second occurrence invalid", &view, R"({"name":"v","query":"q","name":3})", "duplicate field `name`"},
      {"first missing field is named", &fts, R"({})", "missing field `name`"},
      {"missing list field", &ts, R"({"table":"m","bucket_interval":"1h","bucket_seconds":1,"ts_column":"ts"})",
       "missing field `value_columns`"},
      {"number instead of record", &schema, "5", "invalid type: integer `5`, expected struct TableSchemaMetadata"},
      {"text instead of record", &column, R"("x")", "invalid type: string \"x\", expected struct TableColumnMetadata"},
      {"null instead of record", &view, "null", "invalid type: null, expected struct ViewMetadata"},
      {"boolean instead of record", &fts, "true", "invalid type: boolean `true`, expected struct FtsIndexMetadata"},
      {"float instead of record", &ts, "1.5", "invalid type: floating point `1.5`, expected struct TimeseriesMetadata"},
      {"column that is not a record", &schema, R"({"columns":[7]})",
       "invalid type: integer `7`, expected struct TableColumnMetadata"},
      {"null columns", &schema, R"({"columns":null})", "invalid type: null, expected a sequence"},
      {"wrong field type", &schema, R"({"pk":1})", "invalid type: integer `1`, expected a string"},
      {"wrong element type", &fts, R"({"name":"i","table":"t","columns":["a",2]})",
       "invalid type: integer `2`, expected a string"},
      {"negative seconds", &ts, R"(["m","1h",-1,"ts",[]])", "invalid value: integer `-1`, expected u64"},
      {"short column array", &column, R"(["n"])", "invalid length 1, expected struct TableColumnMetadata with 2 elements"},
      {"short view array", &view, R"(["v"])", "invalid length 1, expected struct ViewMetadata with 3 elements"},
      {"short fts array", &fts, R"(["i","t"])", "invalid length 2, expected struct FtsIndexMetadata with 3 elements"},
      {"short ts array", &ts, R"([])", "invalid length 0, expected struct TimeseriesMetadata with 5 elements"},
      {"long column array", &column, R"(["n","TEXT",1])", "trailing characters"},
      {"long schema array", &schema, R"(["pk","json",[],"legacy",0])", "trailing characters"},
      {"not JSON", &schema, "{", ""},
      {"text after the record", &schema, "{} {}", ""},
  };
  for (const Case& c : cases) {
    auto r = (*c.reader)(c.text);
    ASSERT_FALSE(r) << c.name;
    EXPECT_EQ(r.error().kind(), ErrorKind::SerdeJson) << c.name << ": " << r.error().to_string();
    EXPECT_TRUE(r.error().message().starts_with(c.message)) << c.name << ": " << r.error().message();
  }
}

TEST(RecordReadersTest, NestingLimitHoldsInSkippedMembers) {
  // The record itself is one level, so 126 levels inside its member make 127.
  auto wrap = [](std::size_t depth) { return R"({"x":)" + std::string(depth, '[') + std::string(depth, ']') + "}"; };
  EXPECT_TRUE(parse_schema_metadata(wrap(126)));
  auto deep = parse_schema_metadata(wrap(127));
  ASSERT_FALSE(deep);
  EXPECT_EQ(deep.error().kind(), ErrorKind::SerdeJson);
}

}  // namespace
}  // namespace quenlordb::facet::relational
