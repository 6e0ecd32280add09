// The date and time functions of the library: the wall clock, calendar fields and truncation
// (datetime.h), time buckets, and the markers of gap-filling. A timestamp is a number of seconds
// since 1970-01-01 00:00:00 UTC.
#include <chrono>
#include <string>

#include "sql/eval/datetime.h"
#include "sql/eval/function_args.h"
#include "util/saturate.h"
#include "util/unicode.h"

namespace quenlordb::sql::eval {

namespace {

// Whole seconds since 1970 from the wall clock; 0 when the clock reads earlier.
Result<SqlValue> now(FunctionArgs&) {
  const auto since_epoch = std::chrono::system_clock::now().time_since_epoch();
  const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(since_epoch).count();
  return SqlValue::number(seconds < 0 ? 0.0 : static_cast<double>(seconds));
}

// EXTRACT(field, timestamp), DATE_PART and DATE_TRUNC(unit, timestamp): Calendar's answer for
// the upper-cased name. A name that is not Text gives Null without reading the timestamp; a name
// the calendar does not know fails (the message ending in the name as written) before the
// timestamp is read.
template <auto Calendar>
Result<SqlValue> calendar(FunctionArgs& args, std::string_view unsupported) {
  const auto name = TRY(args.strict_text(0));
  if (!name) return SqlValue::null();
  const std::string upper = util::to_upper_full(*name);
  if (!Calendar(0, upper)) return fail(QuenlorError::sql_execution(std::string(unsupported) + *name));
  const std::optional<std::int64_t> seconds = TRY(args.timestamp(1));
  if (!seconds) return SqlValue::null();
  return SqlValue::number(static_cast<double>(*Calendar(*seconds, upper)));
}

Result<SqlValue> extract(FunctionArgs& args) { return calendar<extract_from_epoch>(args, "unsupported EXTRACT field: "); }

Result<SqlValue> date_trunc(FunctionArgs& args) {
  return calendar<date_trunc_epoch>(args, "unsupported DATE_TRUNC unit: ");
}

// TIME_BUCKET(width, t) and TIME_BUCKET_GAPFILL: the start of t's bucket, width × ⌊t / width⌋,
// with t saturated to 0..2^64-1 (the product never exceeds t). The width is an interval text or a
// number of seconds; Null when it is 0 or does not read, or when t is not a number. The second
// argument is evaluated in every case.
Result<SqlValue> time_bucket(FunctionArgs& args) {
  const SqlValue width_value = TRY(args.value(0));
  std::optional<std::uint64_t> width;
  if (width_value.is_text()) {
    width = parse_interval_seconds(width_value.text_value());
  } else if (width_value.is_number()) {
    width = util::saturate_to_u64(width_value.number_value());
  }
  const std::optional<double> t = TRY(args.number(1));
  if (!width || *width == 0 || !t) return SqlValue::null();
  const std::uint64_t seconds = util::saturate_to_u64(*t);
  return SqlValue::number(static_cast<double>(seconds / *width * *width));
}

// LOCF, RATE, DELTA and INTERPOLATE mark columns for gap-filling, which the grouped query path
// applies; on a row they are the value of their argument.
Result<SqlValue> gapfill_marker(FunctionArgs& args) { return args.value(0); }

constexpr ScalarFunction kTime[] = {
    {"NOW", 0, now},
    {"CURRENT_TIMESTAMP", 0, now},
    {"EPOCH", 0, now},
    {"EXTRACT", 2, extract},
    {"DATE_PART", 2, extract},
    {"DATE_TRUNC", 2, date_trunc},
    {"TIME_BUCKET", 2, time_bucket},
    {"TIME_BUCKET_GAPFILL", 2, time_bucket},
    {"LOCF", 1, gapfill_marker},
    {"RATE", 1, gapfill_marker},
    {"DELTA", 1, gapfill_marker},
    {"INTERPOLATE", 1, gapfill_marker},
};

}  // namespace

std::span<const ScalarFunction> time_functions() { return kTime; }

}  // namespace quenlordb::sql::eval
