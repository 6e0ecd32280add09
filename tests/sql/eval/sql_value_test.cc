#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "sql/eval/number_text.h"
#include "sql/eval/sql_value.h"
#include "util/saturate.h"
#include "print_value.h"

namespace quenlordb::sql::eval {
namespace {

constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

SqlValue N(double x) { return SqlValue::number(x); }
SqlValue T(const char* s) { return SqlValue::text(s); }
SqlValue B(bool b) { return SqlValue::boolean(b); }

std::string zeros(std::size_t n) { return std::string(n, '0'); }

TEST(NumberTextTest, PositionalFloatText) {
  const std::pair<double, std::string> cases[] = {
      {1.0, "1"},
      {2.5, "2.5"},
      {0.1 + 0.2, "0.30000000000000004"},
      {1e21, "1" + zeros(21)},
      {1e-7, "0.0000001"},
      {-0.0, "-0"},
      {0.0, "0"},
      {-2.5, "-2.5"},
      {123456789012345678.0, "123456789012345680"},
      // to_chars(fixed) would print 1e308's exact binary expansion, not a 1 and 308 zeros
      {1e308, "1" + zeros(308)},
      {5e-324, "0." + zeros(323) + "5"},
      {std::numeric_limits<double>::max(), "17976931348623157" + zeros(292)},
      {kNaN, "NaN"},
      {kInf, "inf"},
      {-kInf, "-inf"},
  };
  for (const auto& [x, text] : cases) EXPECT_EQ(positional_float_text(x), text) << x;
}

TEST(NumberTextTest, DecimalFloatSyntax) {
  struct Case {
    const char* text;
    std::optional<double> value;
  };
  const Case cases[] = {
      {"1e3", 1000},
      {"+.5", 0.5},
      {"1.", 1},
      {".5e1", 5},
      {"-0", -0.0},
      {"1E-2", 0.01},
      {"Infinity", kInf},
      {"-INF", -kInf},
      {"+inf", kInf},
      {"0.30000000000000004", 0.1 + 0.2},
      {"5e-324", 5e-324},
      {"2.4703282292062328e-324", 5e-324},  // just above half the smallest subnormal rounds up
      {"1e400", kInf},                       // beyond the range: infinity, not a refusal
      {"-1e400", -kInf},
      {"1e-400", 0.0},                       // below it: zero, not a refusal
      {"0.0000000000000000000001e-380", 0.0},
      {"10000000000000000000000e300", kInf},
      {"1e99999999999999999999999", kInf},
      {"000000000000000000000001e-400", 0.0},
      {" 1", std::nullopt},
      {"1 ", std::nullopt},
      {"1,5", std::nullopt},
      {"0x10", std::nullopt},
      {"", std::nullopt},
      {"+", std::nullopt},
      {".", std::nullopt},
      {"+-1", std::nullopt},
      {"--1", std::nullopt},
      {"nan(1)", std::nullopt},
      {"1e", std::nullopt},
      {"1e+", std::nullopt},
      {"e5", std::nullopt},
      {"1_000", std::nullopt},
      {"infinit", std::nullopt},
      {"1.2.3", std::nullopt},
  };
  for (const Case& c : cases) {
    const std::optional<double> got = parse_decimal_float(c.text);
    ASSERT_EQ(got.has_value(), c.value.has_value()) << c.text;
    if (got) {
      EXPECT_EQ(*got, *c.value) << c.text;
      EXPECT_EQ(std::signbit(*got), std::signbit(*c.value)) << c.text;
    }
  }
  for (const char* nan : {"nan", "NaN", "-nan", "+NAN"}) {
    ASSERT_TRUE(parse_decimal_float(nan)) << nan;
    EXPECT_TRUE(std::isnan(*parse_decimal_float(nan))) << nan;
  }
}

TEST(SaturateTest, DoubleToIntegerNeverLeavesTheRange) {
  constexpr std::int64_t kMax = std::numeric_limits<std::int64_t>::max();
  constexpr std::int64_t kMin = std::numeric_limits<std::int64_t>::min();
  const std::pair<double, std::int64_t> i64[] = {
      {12.7, 12}, {-12.7, -12}, {kNaN, 0}, {kInf, kMax}, {-kInf, kMin}, {1e300, kMax}, {-1e300, kMin},
      {9223372036854775808.0, kMax}, {-9223372036854775808.0, kMin}, {9223372036854774784.0, 9223372036854774784},
  };
  for (const auto& [x, want] : i64) EXPECT_EQ(util::saturate_to_i64(x), want) << x;
  const std::pair<double, std::uint64_t> u64[] = {
      {-1.0, 0}, {-0.5, 0}, {0.9, 0}, {kNaN, 0}, {kInf, UINT64_MAX}, {1e20, UINT64_MAX}, {3.9, 3},
  };
  for (const auto& [x, want] : u64) EXPECT_EQ(util::saturate_to_u64(x), want) << x;
  const std::pair<double, std::int32_t> i32[] = {
      {1e10, INT32_MAX}, {-1e10, INT32_MIN}, {kNaN, 0}, {-2.9, -2},
  };
  for (const auto& [x, want] : i32) EXPECT_EQ(util::saturate_to_i32(x), want) << x;
}

TEST(SqlValueTest, ToF64AndSortString) {
  EXPECT_EQ(to_f64(SqlValue::null()), std::nullopt);
  EXPECT_EQ(to_f64(B(true)), 1.0);
  EXPECT_EQ(to_f64(B(false)), 0.0);
  EXPECT_TRUE(std::isnan(*to_f64(N(kNaN))));
  EXPECT_EQ(to_f64(T("1e3")), 1000.0);
  EXPECT_EQ(to_f64(T("abc")), std::nullopt);

  EXPECT_EQ(to_sort_string(SqlValue::null()), "");
  EXPECT_EQ(to_sort_string(B(false)), "false");
  EXPECT_EQ(to_sort_string(N(1e21)), "1" + zeros(21));
  EXPECT_EQ(to_sort_string(N(-0.0)), "-0");
  EXPECT_EQ(to_sort_string(T("x y")), "x y");
}

TEST(SqlValueTest, FormatNumber) {
  const std::pair<double, std::string> cases[] = {
      {3.0, "3"},
      {-0.0, "0"},
      {2.5, "2.5"},
      {0.5, "0.5"},
      {1e20, "1" + zeros(20)},
      {kNaN, "NaN"},
      {kInf, "inf"},
      {-kInf, "-inf"},
      // the saturated integer converts back to 2^63 itself, so 2^63 prints as the largest i64
      {9223372036854775808.0, "9223372036854775807"},
      {-9223372036854775808.0, "-9223372036854775808"},
      {1e300, "1" + zeros(300)},
      {-7.0, "-7"},
  };
  for (const auto& [x, text] : cases) EXPECT_EQ(format_number(x), text) << x;
}

TEST(SqlValueTest, CmpPartialAcrossKinds) {
  using O = std::partial_ordering;
  struct Case {
    const char* name;
    SqlValue left, right;
    O want;
  };
  const Case cases[] = {
      {"null null", SqlValue::null(), SqlValue::null(), O::equivalent},
      {"null number", SqlValue::null(), N(0), O::unordered},
      {"number null", N(0), SqlValue::null(), O::unordered},
      {"null text", SqlValue::null(), T(""), O::unordered},
      {"bool bool", B(false), B(true), O::less},
      {"bool bool equal", B(true), B(true), O::equivalent},
      {"bool number", B(true), N(1), O::unordered},
      {"number bool", N(1), B(true), O::unordered},
      {"bool text", B(true), T("true"), O::unordered},
      {"numbers", N(1), N(2), O::less},
      {"minus zero", N(-0.0), N(0.0), O::equivalent},
      {"nan nan", N(kNaN), N(kNaN), O::unordered},
      {"nan number", N(kNaN), N(1), O::unordered},
      {"infinities", N(-kInf), N(kInf), O::less},
      {"number numeric text", N(10), T("9"), O::greater},
      {"numeric text number", T("9"), N(10), O::less},
      {"number equal text", N(1000), T("1e3"), O::equivalent},
      {"number nan text", N(1), T("nan"), O::unordered},
      {"text not a number", T("abc"), N(1), O::unordered},
      {"number padded text", N(1), T(" 1"), O::unordered},
      {"texts by bytes", T("10"), T("9"), O::less},
      {"proper prefix", T("ab"), T("abc"), O::less},
      {"empty text", T(""), T("a"), O::less},
      {"bytes unsigned", T("\xc3\xa9"), T("z"), O::greater},
      {"equal texts", T("é"), T("é"), O::equivalent},
  };
  for (const Case& c : cases) EXPECT_EQ(cmp_partial(c.left, c.right), c.want) << c.name;
}

TEST(SqlValueTest, IsTruthy) {
  const std::pair<SqlValue, bool> cases[] = {
      {SqlValue::null(), false}, {B(false), false}, {B(true), true},    {N(0), false},    {N(-0.0), false},
      {N(kNaN), true},           {N(-1), true},     {T(""), false},     {T("0"), true},   {T("false"), true},
  };
  for (const auto& [v, want] : cases) EXPECT_EQ(is_truthy(v), want) << debug_text(v);
}

TEST(SqlValueTest, JsonConversions) {
  using nlohmann::json;
  EXPECT_EQ(json_value_to_sql(json(nullptr)), SqlValue::null());
  EXPECT_EQ(json_value_to_sql(json(true)), B(true));
  EXPECT_EQ(json_value_to_sql(json::parse("18446744073709551615")), N(18446744073709551616.0));
  EXPECT_EQ(json_value_to_sql(json::parse("-3")), N(-3));
  EXPECT_EQ(json_value_to_sql(json::parse("2.5")), N(2.5));
  EXPECT_EQ(json_value_to_sql(json::parse(R"("a\"b")")), T("a\"b"));
  EXPECT_EQ(json_value_to_sql(json::parse(R"({"b": 1, "a": [2, "x", {"d":null,"c":true}]})")),
            T(R"({"a":[2,"x",{"c":true,"d":null}],"b":1})"));

  EXPECT_EQ(sql_value_to_json(SqlValue::null()).dump(), "null");
  EXPECT_EQ(sql_value_to_json(B(false)).dump(), "false");
  EXPECT_EQ(sql_value_to_json(N(3)).dump(), "3.0");
  EXPECT_EQ(sql_value_to_json(N(kInf)).dump(), "null");
  EXPECT_EQ(sql_value_to_json(N(kNaN)).dump(), "null");
  EXPECT_EQ(sql_value_to_json(T("é\n")).dump(), "\"é\\n\"");
}

}  // namespace
}  // namespace quenlordb::sql::eval
