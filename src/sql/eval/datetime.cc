#include "sql/eval/datetime.h"

#include <limits>
#include <string>

#include "util/unicode.h"

namespace quenlordb::sql::eval {

namespace {

constexpr std::int64_t kSecondsPerDay = 86400;

std::int64_t floor_div(std::int64_t a, std::int64_t b) {
  const std::int64_t q = a / b;
  return (a % b != 0 && (a < 0) != (b < 0)) ? q - 1 : q;
}

// The remainder in [0, b) for b > 0.
std::int64_t floor_mod(std::int64_t a, std::int64_t b) {
  const std::int64_t r = a % b;
  return r < 0 ? r + b : r;
}

// seconds moved back to the start of its period of the given length, saturated to the int64 range.
std::int64_t period_start(std::int64_t seconds, std::int64_t length) {
  std::int64_t start;
  if (__builtin_sub_overflow(seconds, floor_mod(seconds, length), &start)) return std::numeric_limits<std::int64_t>::min();
  return start;
}

// days × 86400, saturated to the int64 range.
std::int64_t days_to_seconds(std::int64_t days) {
  std::int64_t seconds;
  if (__builtin_mul_overflow(days, kSecondsPerDay, &seconds)) {
    return days < 0 ? std::numeric_limits<std::int64_t>::min() : std::numeric_limits<std::int64_t>::max();
  }
  return seconds;
}

struct CivilDate {
  std::int64_t year;
  unsigned month;  // 1-12
  unsigned day;    // 1-31
};

// The days-from-civil method: eras of 400 years (146097 days) counted from 0000-03-01, so that
// the leap day falls at the end of each counted year. Every int64 day number / 86400 fits.
CivilDate civil_from_days(std::int64_t days) {
  const std::int64_t shifted = days + 719468;
  const std::int64_t era = floor_div(shifted, 146097);
  const std::int64_t doe = shifted - era * 146097;                               // [0, 146096]
  const std::int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;  // [0, 399]
  const std::int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);              // [0, 365], from March 1
  const std::int64_t mp = (5 * doy + 2) / 153;                                   // [0, 11], March = 0
  const auto day = static_cast<unsigned>(doy - (153 * mp + 2) / 5 + 1);
  const auto month = static_cast<unsigned>(mp < 10 ? mp + 3 : mp - 9);
  return {yoe + era * 400 + (month <= 2 ? 1 : 0), month, day};
}

std::int64_t days_from_civil(std::int64_t year, unsigned month, unsigned day) {
  year -= month <= 2 ? 1 : 0;
  const std::int64_t era = floor_div(year, 400);
  const std::int64_t yoe = year - era * 400;
  const std::int64_t mp = month > 2 ? month - 3 : month + 9;
  const std::int64_t doy = (153 * mp + 2) / 5 + day - 1;
  const std::int64_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + doe - 719468;
}

bool is_leap_year(std::int64_t year) { return (year % 4 == 0 && year % 100 != 0) || year % 400 == 0; }

// Day of the year, 1-366.
unsigned day_of_year(const CivilDate& date) {
  static constexpr unsigned kBeforeMonth[12] = {0, 31, 59, 90, 120, 151, 181, 212, 243, 273, 304, 334};
  const unsigned leap = date.month > 2 && is_leap_year(date.year) ? 1 : 0;
  return kBeforeMonth[date.month - 1] + leap + date.day;
}

// text as an unsigned decimal integer: an optional "+", then one or more ASCII digits, the value
// within 64 bits.
std::optional<std::uint64_t> parse_unsigned(std::string_view text) {
  if (!text.empty() && text.front() == '+') text.remove_prefix(1);
  if (text.empty()) return std::nullopt;
  std::uint64_t value = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return std::nullopt;
    if (__builtin_mul_overflow(value, 10u, &value) || __builtin_add_overflow(value, c - '0', &value)) {
      return std::nullopt;
    }
  }
  return value;
}

std::optional<std::uint64_t> unit_seconds(char unit) {
  switch (unit) {
    case 's': return 1;
    case 'm': return 60;
    case 'h': return 3600;
    case 'd': return 86400;
    case 'w': return 604800;
    default: return std::nullopt;
  }
}

}  // namespace

std::optional<std::int64_t> date_trunc_epoch(std::int64_t seconds, std::string_view unit) {
  const std::int64_t days = floor_div(seconds, kSecondsPerDay);
  if (unit == "SECOND") return seconds;
  if (unit == "MINUTE") return period_start(seconds, 60);
  if (unit == "HOUR") return period_start(seconds, 3600);
  if (unit == "DAY") return days_to_seconds(days);
  if (unit == "WEEK") return days_to_seconds(days - floor_mod(days + 3, 7));  // day 0 was a Thursday
  if (unit == "MONTH" || unit == "QUARTER" || unit == "YEAR") {
    const CivilDate date = civil_from_days(days);
    const unsigned month = unit == "MONTH" ? date.month : unit == "QUARTER" ? (date.month - 1) / 3 * 3 + 1 : 1;
    return days_to_seconds(days_from_civil(date.year, month, 1));
  }
  return std::nullopt;
}

std::optional<double> extract_from_epoch(std::int64_t seconds, std::string_view field) {
  const std::int64_t days = floor_div(seconds, kSecondsPerDay);
  if (field == "EPOCH") return static_cast<double>(seconds);
  if (field == "HOUR") return static_cast<double>(floor_mod(seconds, kSecondsPerDay) / 3600);
  if (field == "MINUTE") return static_cast<double>(floor_mod(seconds, 3600) / 60);
  if (field == "SECOND") return static_cast<double>(floor_mod(seconds, 60));
  if (field == "DOW" || field == "DAYOFWEEK") return static_cast<double>(floor_mod(days + 4, 7));

  const CivilDate date = civil_from_days(days);
  if (field == "YEAR") return static_cast<double>(date.year);
  if (field == "QUARTER") return (date.month - 1) / 3 + 1;
  if (field == "MONTH") return date.month;
  if (field == "DAY") return date.day;
  if (field == "DOY" || field == "DAYOFYEAR") return day_of_year(date);
  if (field == "WEEK" || field == "ISOWEEK") return (day_of_year(date) - 1) / 7 + 1;
  return std::nullopt;
}

std::optional<std::uint64_t> parse_interval_seconds(std::string_view text) {
  const std::string lowered = util::to_lower_full(util::trim_white_space(text));
  std::string_view t = lowered;
  if (t.empty()) return std::nullopt;
  if (auto whole = parse_unsigned(t)) return whole;

  if (t.ends_with("ms")) {
    const std::string_view count = t.substr(0, t.size() - 2);
    if (count.empty() || count == "+" || count == "-") return std::nullopt;
    const auto millis = parse_unsigned(count);
    if (!millis) return std::nullopt;
    return *millis < 1000 ? 1 : *millis / 1000;
  }

  const auto unit = unit_seconds(t.back());  // a non-ASCII last character ends in a byte >= 0x80
  if (!unit) return std::nullopt;
  const std::string_view count_text = t.substr(0, t.size() - 1);
  if (count_text == "+" || count_text == "-") return std::nullopt;
  std::uint64_t count = 1;
  if (!count_text.empty()) {
    const auto parsed = parse_unsigned(count_text);
    if (!parsed) return std::nullopt;
    count = *parsed;
  }
  std::uint64_t seconds;
  if (__builtin_mul_overflow(count, *unit, &seconds)) return std::nullopt;
  return seconds;
}

}  // namespace quenlordb::sql::eval
