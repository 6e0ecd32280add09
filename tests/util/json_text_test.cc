#include "util/json_text.h"

#include <gtest/gtest.h>

#include <charconv>
#include <cstring>
#include <limits>
#include <random>

#include <nlohmann/json.hpp>

namespace quenlordb::util {
namespace {

TEST(JsonTextTest, FloatTextTable) {
  struct Case {
    double value;
    const char* text;
  };
  const Case cases[] = {
      {0.65, "0.65"},
      {1.0, "1.0"},
      {0.44999999999999996, "0.44999999999999996"},
      {0.15 + 0.25, "0.4"},
      {100.0, "100.0"},
      {1.5, "1.5"},
      {0.0, "0.0"},
      {-0.0, "-0.0"},
      {-2.5, "-2.5"},
      {0.0001, "0.0001"},
      {1e-5, "1e-05"},
      {123456789012345.0, "123456789012345.0"},
      {1e15, "1e+15"},
      {1.5e300, "1.5e+300"},
      {5e-324, "5e-324"},
      {std::numeric_limits<double>::max(), "1.7976931348623157e+308"},
      // nlohmann's printer writes one digit more here; the shortest digits read back the same.
      {-8.48162069870304e+18, "-8.48162069870304e+18"},
      {std::numeric_limits<double>::infinity(), "null"},
      {std::numeric_limits<double>::quiet_NaN(), "null"},
  };
  for (const Case& c : cases) EXPECT_EQ(json_float_text(c.value), c.text) << c.text;
}

// The text reads back to the same double, is never longer than nlohmann's, and is laid out the
// same way (they differ only where nlohmann's digits are not the shortest).
TEST(JsonTextTest, FloatTextRoundTripsAndFollowsTheJsonLayout) {
  std::mt19937_64 rng(7);
  int same = 0;
  for (int i = 0; i < 200000; ++i) {
    std::uint64_t bits = rng();
    double v;
    std::memcpy(&v, &bits, sizeof v);
    if (!std::isfinite(v)) continue;
    const std::string text = json_float_text(v);
    const nlohmann::json back = nlohmann::json::parse(text);
    ASSERT_TRUE(back.is_number_float()) << text;
    ASSERT_EQ(std::memcmp(&v, &back.get_ref<const double&>(), sizeof v), 0) << text;
    const std::string theirs = nlohmann::json(v).dump();
    ASSERT_LE(text.size(), theirs.size()) << text << " vs " << theirs;
    same += text == theirs;
  }
  EXPECT_GT(same, 190000);
}

TEST(JsonTextTest, StringEscapes) {
  const std::string_view text = "a\"b\\c/\b\f\n\r\t\x01\x1f\x7f h\xc3\xa9";
  std::string out;
  append_json_string(out, text);
  EXPECT_EQ(out, "\"a\\\"b\\\\c/\\b\\f\\n\\r\\t\\u0001\\u001f\x7f h\xc3\xa9\"");
  EXPECT_EQ(out, nlohmann::json(std::string(text)).dump());
  EXPECT_EQ(nlohmann::json::parse(out).get<std::string>(), text);
  out.clear();
  append_json_string(out, std::string_view("\0", 1));
  EXPECT_EQ(out, "\"\\u0000\"");
}

}  // namespace
}  // namespace quenlordb::util
