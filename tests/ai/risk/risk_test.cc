#include "ai/risk/risk.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <optional>
#include <string>

namespace quenlordb::ai::risk {
namespace {

TEST(QuickRiskScoreTest, ScoresKeywordGroups) {
  struct Case {
    const char* name;
    std::string doc;
    double expected;
  };
  const Case cases[] = {
      {"empty", "", 0.0},
      {"four bytes never score", "pani", 0.0},
      {"four bytes of a keyword prefix", "ERRO", 0.0},
      {"lowercase panic at five bytes", "panic", 0.40},
      {"uppercase PANIC", "PANIC", 0.40},
      {"unlisted variant Panic", "Panic", 0.0},
      {"unlisted variants add nothing", "TIMEOUT UNAUTHORIZED eRRoR", 0.0},
      {"substring inside a longer word", "errors", 0.30},
      {"a group counts once", "error Error ERROR error", 0.30},
      {"critical and unauthorized reach the threshold", "critical unauthorized", 0.75},
      {"error, failed and timeout reach the threshold", "error failed timeout", 0.75},
      {"error and critical in double arithmetic", "Error CRITICAL", 0.6499999999999999},
      {"all six groups clamp to 1", "ERROR Failed critical Unauthorized timeout panic", 1.0},
      {"json syntax is scanned as bytes", R"({"m":"Error"})", 0.30},
      {"bytes around and inside are raw", std::string("\x00\xffpanic\x00", 8), 0.40},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(quick_risk_score(c.doc), c.expected) << c.name;
  }
}

TEST(HexEncodeTest, TwoLowercaseDigitsPerByte) {
  const std::pair<std::string, const char*> cases[] = {
      {"", ""},
      {"ab", "6162"},
      {"\x0f", "0f"},
      {std::string("\x00\xff\xa0", 3), "00ffa0"},
  };
  for (const auto& [bytes, expected] : cases) EXPECT_EQ(hex_encode(bytes), expected);
}

TEST(RiskKeyTest, SourceTimestampIsTheDecimalNumberAfterTheLastSlash) {
  const std::string prefix = risk_key_prefix("k1");
  EXPECT_EQ(prefix, "__ai/risk/6b31/");
  const std::pair<std::string, std::optional<std::uint64_t>> cases[] = {
      {prefix + "9", 9},
      {prefix + "10", 10},
      {prefix + "18446744073709551615", 18446744073709551615ull},
      {prefix + "18446744073709551616", std::nullopt},  // beyond 2^64 - 1
      {prefix, std::nullopt},
      {prefix + "1x", std::nullopt},
      {prefix + "-1", std::nullopt},
      {prefix + "+1", std::nullopt},
  };
  for (const auto& [key, expected] : cases) EXPECT_EQ(risk_key_source_ts(key), expected) << key;
}

}  // namespace
}  // namespace quenlordb::ai::risk
