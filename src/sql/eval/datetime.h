// Calendar and interval arithmetic of the SQL time functions. Time is a plain count of seconds since
// 1970-01-01 00:00:00 UTC (no zones, no fractions) on the proleptic Gregorian calendar.
//
// Instants before 1970 belong to the day, hour and minute they lie in: day numbers use floor
// division and every remainder is non-negative, so -1 is 1969-12-31 23:59:59. All arithmetic is in
// 64 bits and saturates, so every int64 instant has an answer. Pure functions, safe on any thread.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

namespace quenlordb::sql::eval {

// seconds truncated to the start of its SECOND, MINUTE, HOUR, DAY, WEEK (the Monday), MONTH,
// QUARTER or YEAR; unit is upper-case already. A start before the int64 range saturates to its
// minimum. None for any other unit name.
std::optional<std::int64_t> date_trunc_epoch(std::int64_t seconds, std::string_view unit);

// The EPOCH, YEAR, QUARTER, MONTH, DAY, DOY/DAYOFYEAR, WEEK/ISOWEEK (weeks counted from January 1,
// not ISO weeks), DOW/DAYOFWEEK (0 = Sunday), HOUR, MINUTE or SECOND of seconds; field is upper-case
// already. None for any other field name.
std::optional<double> extract_from_epoch(std::int64_t seconds, std::string_view field);

// An interval text in seconds: an unsigned decimal count of seconds ("90"), a count of
// milliseconds ("1500ms", rounded down but at least 1), or a count with one unit letter among s, m,
// h, d and w ("5m"; no count means 1). White space around the text is ignored and letters are read
// in any case. None for anything else and for a product beyond 2^64 - 1.
std::optional<std::uint64_t> parse_interval_seconds(std::string_view text);

}  // namespace quenlordb::sql::eval
