#include "sql/eval/datetime.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <optional>
#include <string>

namespace quenlordb::sql::eval {
namespace {

constexpr std::int64_t kMin = std::numeric_limits<std::int64_t>::min();
constexpr std::int64_t kMax = std::numeric_limits<std::int64_t>::max();

TEST(DateTruncTest, TruncatesToThePeriodStart) {
  struct Case {
    const char* unit;
    std::int64_t seconds;
    std::optional<std::int64_t> expected;
  };
  const Case cases[] = {
      {"DAY", 90000, 86400},
      {"WEEK", 0, -259200},                  // Monday 1969-12-29
      {"WEEK", 4 * 86400, 4 * 86400},        // Monday 1970-01-05 is its own week start
      {"MONTH", 1709251200 + 86399, 1709251200},  // 2024-03-01
      {"QUARTER", 1715731200, 1711929600},   // 2024-05-15 -> 2024-04-01
      {"YEAR", 951782400, 946684800},        // 2000-02-29 -> 2000-01-01
      {"SECOND", -7, -7},
      {"MINUTE", 119, 60},
      {"HOUR", 7300, 7200},
      // Before 1970 an instant belongs to the period it lies in, not to the following one.
      {"DAY", -1, -86400},
      {"HOUR", -1, -3600},
      {"MINUTE", -1, -60},
      {"WEEK", -4 * 86400, -10 * 86400},     // Sunday 1969-12-28 -> Monday 1969-12-22
      {"MONTH", -1, -2678400},               // 1969-12-01
      {"YEAR", -1, -31536000},               // 1969-01-01
      {"YEAR", -62135596800 + 86400 * 40, -62135596800},  // 0001-02-10 -> 0001-01-01
      // A start before the int64 range saturates.
      {"MINUTE", kMin, kMin},
      {"DAY", kMin, kMin},
      {"WEEK", kMin, kMin},
      {"YEAR", kMin, kMin},
      {"SECOND", kMax, kMax},
      // Unknown units have no answer (lower case included: the caller upper-cases).
      {"DECADE", 123, std::nullopt},
      {"day", 123, std::nullopt},
      {"", 123, std::nullopt},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(date_trunc_epoch(c.seconds, c.unit), c.expected) << c.unit << " " << c.seconds;
  }
}

TEST(ExtractTest, ReadsCalendarFields) {
  struct Case {
    const char* field;
    std::int64_t seconds;
    std::optional<double> expected;
  };
  const Case cases[] = {
      {"YEAR", 951782400, 2000},   {"DOY", 951782400, 60},      {"DAYOFYEAR", 951782400, 60},
      {"MONTH", 951782400, 2},     {"DAY", 951782400, 29},      {"QUARTER", 1715731200, 2},
      {"DOW", 0, 4},               {"DAYOFWEEK", 3 * 86400, 0}, {"WEEK", 0, 1},
      {"ISOWEEK", 951782400, 9},   {"EPOCH", -5, -5},           {"HOUR", 7300, 2},
      {"MINUTE", 7300, 1},         {"SECOND", 7300, 40},
      {"DOY", -2203891200, 60},    // 1900-03-01: 1900 is no leap year
      {"DOY", 4107542400, 60},     // 2100-03-01
      {"DOY", 978220800, 366},     // 2000-12-31
      // One second before 1970 is 1969-12-31 23:59:59, a Wednesday.
      {"YEAR", -1, 1969},          {"MONTH", -1, 12},           {"DAY", -1, 31},
      {"HOUR", -1, 23},            {"MINUTE", -1, 59},          {"SECOND", -1, 59},
      {"DOW", -1, 3},              {"DOW", -5 * 86400, 6},      {"DOY", -1, 365},
      // The ends of the int64 range: 292277026596-12-04 15:30:07 and -292277022657-01-27 08:29:52.
      {"YEAR", kMax, 292277026596.0}, {"MONTH", kMax, 12},      {"DAY", kMax, 4},
      {"HOUR", kMax, 15},          {"MINUTE", kMax, 30},        {"SECOND", kMax, 7},
      {"YEAR", kMin, -292277022657.0}, {"MONTH", kMin, 1},      {"DAY", kMin, 27},
      {"HOUR", kMin, 8},           {"MINUTE", kMin, 29},        {"SECOND", kMin, 52},
      {"NONSENSE", 5, std::nullopt}, {"year", 5, std::nullopt},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(extract_from_epoch(c.seconds, c.field), c.expected) << c.field << " " << c.seconds;
  }
}

// Walks day by day through six thousand years around 1970 and checks that the calendar advances
// as the Gregorian one does.
TEST(ExtractTest, CalendarAdvancesOneDayAtATime) {
  const auto field = [](std::int64_t day, const char* name) {
    return static_cast<int>(*extract_from_epoch(day * 86400 + 43210, name));
  };
  const auto days_in_february = [](int year) {
    return (year % 4 == 0 && year % 100 != 0) || year % 400 == 0 ? 29 : 28;
  };
  constexpr int kMonthDays[] = {31, 0, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  std::int64_t first = -1100000;  // about 1958 BC
  int year = field(first, "YEAR"), month = field(first, "MONTH"), day = field(first, "DAY");
  int doy = field(first, "DOY"), dow = field(first, "DOW");
  for (std::int64_t d = first + 1; d < 1100000; ++d) {
    const int month_days = month == 2 ? days_in_february(year) : kMonthDays[month - 1];
    if (day < month_days) {
      ++day;
      ++doy;
    } else {
      day = 1;
      month = month % 12 + 1;
      if (month == 1) {
        ++year;
        doy = 1;
      } else {
        ++doy;
      }
    }
    dow = (dow + 1) % 7;
    ASSERT_EQ(field(d, "YEAR"), year) << d;
    ASSERT_EQ(field(d, "MONTH"), month) << d;
    ASSERT_EQ(field(d, "DAY"), day) << d;
    ASSERT_EQ(field(d, "DOY"), doy) << d;
    ASSERT_EQ(field(d, "DOW"), dow) << d;
    const std::int64_t month_start = (d - (day - 1)) * 86400;
    ASSERT_EQ(date_trunc_epoch(d * 86400 + 5, "MONTH"), month_start) << d;
    ASSERT_EQ(date_trunc_epoch(d * 86400 + 5, "YEAR"), (d - (doy - 1)) * 86400) << d;
  }
}

TEST(IntervalTest, ParsesIntervalTexts) {
  struct Case {
    std::string text;
    std::optional<std::uint64_t> expected;
  };
  const Case cases[] = {
      {"90", 90},
      {"+90", 90},
      {"0", 0},
      {"5m", 300},
      {"+5m", 300},
      {"2H", 7200},
      {"h", 3600},
      {"1w", 604800},
      {"3d", 259200},
      {"10s", 10},
      {"  5M  ", 300},
      {"\xe3\x80\x80" "2d\n", 172800},  // U+3000 counts as white space
      {"0ms", 1},
      {"1500ms", 1},
      {"2500ms", 2},
      {"5MS", 1},
      {"+1000ms", 1},
      {"18446744073709551615", 18446744073709551615u},
      {"18446744073709551615ms", 18446744073709551u},
      {"307445734561825860m", 18446744073709551600u},
      // None:
      {"", std::nullopt},
      {" \t ", std::nullopt},
      {"1.5h", std::nullopt},
      {"-5m", std::nullopt},
      {"-90", std::nullopt},
      {"5 m", std::nullopt},
      {"5min", std::nullopt},
      {"5mm", std::nullopt},
      {"5x", std::nullopt},
      {"++5m", std::nullopt},
      {"ms", std::nullopt},
      {"+ms", std::nullopt},
      {"-ms", std::nullopt},
      {"+m", std::nullopt},
      {"-", std::nullopt},
      {"5\xc2\xb5", std::nullopt},                 // 5µ: a unit beyond ASCII
      {"18446744073709551616", std::nullopt},      // beyond 64 bits
      {"18446744073709551616ms", std::nullopt},
      // A product beyond 2^64 - 1 is no interval, not a wrapped small one.
      {"307445734561825861m", std::nullopt},
      {"4611686018427387904m", std::nullopt},
  };
  for (const Case& c : cases) EXPECT_EQ(parse_interval_seconds(c.text), c.expected) << '"' << c.text << '"';
}

}  // namespace
}  // namespace quenlordb::sql::eval
