#include "ai/risk.h"

#include <gtest/gtest.h>

#include <string>

namespace quenlordb::ai {
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

}  // namespace
}  // namespace quenlordb::ai
