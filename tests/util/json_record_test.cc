#include "util/json_record.h"

#include <gtest/gtest.h>

#include <array>

namespace quenlordb::util {
namespace {

std::string nested_arrays(std::size_t depth) { return std::string(depth, '[') + std::string(depth, ']'); }

TEST(JsonRecordTest, NestingLimitIs127Levels) {
  EXPECT_TRUE(parse_json_record(nested_arrays(127)));
  auto deep = parse_json_record(nested_arrays(128));
  ASSERT_FALSE(deep);
  EXPECT_EQ(deep.error().kind(), ErrorKind::SerdeJson);
  // Deep input must fail cleanly, without recursing once per level.
  EXPECT_FALSE(parse_json_record(nested_arrays(1'000'000)));
  EXPECT_FALSE(parse_json_record(std::string(100'000, '[') + "{\"a\":" + std::string(100'000, ']')));
}

TEST(JsonRecordTest, ParseRefusesAnythingButOneValue) {
  for (std::string_view text : {"", "{} x", "{}{}", "{\"a\":1,}", "[1 2]", "\"\xff\""}) {
    auto r = parse_json_record(text);
    ASSERT_FALSE(r) << text;
    EXPECT_EQ(r.error().kind(), ErrorKind::SerdeJson);
    EXPECT_FALSE(r.error().message().starts_with("[json.exception")) << r.error().message();
  }
  EXPECT_EQ(parse_json_record(" {\"a\" : [1, -2, 2.5, null, true, \"x\"]} \n").value().dump(),
            R"({"a":[1,-2,2.5,null,true,"x"]})");
}

// A record {a: string (required), b: u64 (optional)} read from text.
struct Ab {
  std::string a;
  std::uint64_t b = 7;
};
constexpr std::array<RecordField, 2> kAbFields{{{"a"}, {"b", false}}};
constexpr RecordShape kAbShape{"struct Ab", kAbFields};

Result<Ab> read_ab(std::string_view text) {
  OrderedJson v = TRY(parse_json_record(text));
  Ab out;
  TRY(read_record(v, kAbShape, [&](std::size_t i, const OrderedJson& f) -> Result<void> {
    if (i == 0) out.a = TRY(read_json_string(f));
    if (i == 1) out.b = TRY(read_json_uint<std::uint64_t>(f));
    return {};
  }));
  return out;
}

TEST(JsonRecordTest, RecordForms) {
  struct Case {
    const char* name;
    const char* text;
    const char* a;
    std::uint64_t b;
  };
  const Case cases[] = {
      {"object", R"({"a":"x","b":3})", "x", 3},
      {"any member order", R"({"b":3,"a":"x"})", "x", 3},
      {"optional missing takes default", R"({"a":"x"})", "x", 7},
      {"unknown members skipped, even repeated", R"({"z":[{"q":1}],"a":"x","z":null})", "x", 7},
      {"array form", R"(["x",3])", "x", 3},
      {"array form without trailing optional", R"(["x"])", "x", 7},
  };
  for (const Case& c : cases) {
    auto r = read_ab(c.text);
    ASSERT_TRUE(r) << c.name << ": " << r.error().to_string();
    EXPECT_EQ(r->a, c.a) << c.name;
    EXPECT_EQ(r->b, c.b) << c.name;
  }
}

TEST(JsonRecordTest, RecordErrors) {
  struct Case {
    const char* text;
    const char* message;
  };
  const Case cases[] = {
      {R"({"a":"x","a":"y"})", "duplicate field `a`"},
      {R"({"b":1,"b":1,"a":"x"})", "duplicate field `b`"},
      {R"({"b":1})", "missing field `a`"},
      {R"([])", "invalid length 0, expected struct Ab with 2 elements"},
      {R"(["x",1,2])", "trailing characters"},
      {R"(5)", "invalid type: integer `5`, expected struct Ab"},
      {R"("s")", "invalid type: string \"s\", expected struct Ab"},
      {R"({"a":null})", "invalid type: null, expected a string"},
      {R"({"a":"x","b":-1})", "invalid value: integer `-1`, expected u64"},
      {R"({"a":"x","b":1.0})", "invalid type: floating point `1.0`, expected u64"},
      {R"({"a":"x","b":18446744073709551616})", "invalid type: floating point"},
      {R"({"a":"x","b":true})", "invalid type: boolean `true`, expected u64"},
      {R"({"a":"x","b":{}})", "invalid type: map, expected u64"},
  };
  for (const Case& c : cases) {
    auto r = read_ab(c.text);
    ASSERT_FALSE(r) << c.text;
    EXPECT_EQ(r.error().kind(), ErrorKind::SerdeJson);
    EXPECT_TRUE(r.error().message().starts_with(c.message)) << c.text << " -> " << r.error().message();
  }
}

TEST(JsonRecordTest, UnsignedWidthsAndBytes) {
  EXPECT_EQ(read_json_uint<std::uint32_t>(OrderedJson(4294967295u)).value(), 4294967295u);
  EXPECT_EQ(read_json_uint<std::uint32_t>(OrderedJson(std::uint64_t{4294967296})).error().message(),
            "invalid value: integer `4294967296`, expected u32");
  EXPECT_EQ(read_json_bytes(parse_json_record("[0,97,255]").value()).value(), std::string("\0a\xff", 3));
  EXPECT_EQ(read_json_bytes(parse_json_record("[0,256]").value()).error().message(),
            "invalid value: integer `256`, expected u8");
  EXPECT_EQ(read_json_bytes(parse_json_record("\"ab\"").value()).error().message(),
            "invalid type: string \"ab\", expected a sequence");
}

TEST(JsonRecordTest, PrettyDumpRefusesTextThatIsNotUtf8) {
  OrderedJson v = OrderedJson::object();
  v["name"] = std::string("\xff");
  auto r = dump_json_pretty(v);
  ASSERT_FALSE(r);
  EXPECT_EQ(r.error().kind(), ErrorKind::SerdeJson);
}

TEST(JsonRecordTest, FloatFieldTakesAnyNumber) {
  EXPECT_EQ(read_json_f64(parse_json_record("1").value()).value(), 1.0);
  EXPECT_EQ(read_json_f64(parse_json_record("-2").value()).value(), -2.0);
  EXPECT_EQ(read_json_f64(parse_json_record("0.65").value()).value(), 0.65);
  EXPECT_EQ(read_json_f64(parse_json_record("\"1\"").value()).error().message(),
            "invalid type: string \"1\", expected f64");
  EXPECT_FALSE(read_json_f64(parse_json_record("null").value()));
}

}  // namespace
}  // namespace quenlordb::util
