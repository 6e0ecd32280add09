// The numeric functions of the library. A number argument is read by to_f64; where that gives
// none the result is Null.
#include <cmath>

#include "sql/eval/function_args.h"
#include "sql/eval/scalar_function.h"
#include "util/saturate.h"

namespace quenlordb::sql::eval {

namespace {

// f applied to argument 0 when it is a number that `accept` allows; Null otherwise.
template <double (*F)(double), bool (*Accept)(double)>
Result<SqlValue> unary(FunctionArgs& args) {
  const std::optional<double> x = TRY(args.number(0));
  if (!x || !Accept(*x)) return SqlValue::null();
  return SqlValue::number(F(*x));
}

bool any(double) { return true; }
bool positive(double x) { return x > 0; }
bool not_negative(double x) { return x >= 0; }  // -0 passes, NaN does not
double log_e(double x) { return std::log(x); }
double log_10(double x) { return std::log10(x); }
double exp_e(double x) { return std::exp(x); }
double square_root(double x) { return std::sqrt(x); }
double floor_of(double x) { return std::floor(x); }
double ceil_of(double x) { return std::ceil(x); }
double sign_of(double x) { return x > 0 ? 1.0 : x < 0 ? -1.0 : 0.0; }

Result<SqlValue> pi(FunctionArgs&) { return SqlValue::number(3.141592653589793); }

Result<SqlValue> random(FunctionArgs&) { return SqlValue::number(fastrand_f64()); }

Result<SqlValue> abs(FunctionArgs& args) {
  const SqlValue x = TRY(args.value(0));
  if (!x.is_number()) return SqlValue::null();  // numeric text included
  return SqlValue::number(std::fabs(x.number_value()));
}

// x rounded half away from zero to `digits` decimal places, as round(x * f) / f with f = 10^digits
// by repeated multiplication (1 / 10^-digits for negative digits). The factor is built in 64-bit
// arithmetic and stops growing once it is infinite, so any digit count returns at once. Where the
// factor (or x * f) leaves the double range the formula would give NaN or infinity; the true
// answer is then x itself (no digits are lost at that scale) or zero (every double rounds to 0 at
// a scale beyond 10^308).
double round_to_digits(double x, std::int32_t digits) {
  const std::int64_t steps = digits < 0 ? -static_cast<std::int64_t>(digits) : digits;
  double power = 1.0;
  for (std::int64_t i = 0; i < steps && std::isfinite(power); ++i) power *= 10.0;
  const double f = digits < 0 ? 1.0 / power : power;
  if (!std::isfinite(x)) return x;
  if (f == 0.0) return std::copysign(0.0, x);
  const double scaled = x * f;
  if (!std::isfinite(scaled)) return x;
  return std::round(scaled) / f;
}

// ROUND(x [, digits]). A Number, or a text that reads as a number, is rounded to the digits of
// argument 1 (0 when it is absent or not a number). A Bool is rounded to an integer without
// reading argument 1; a text that does not read gives Null.
Result<SqlValue> round(FunctionArgs& args) {
  const SqlValue v = TRY(args.value(0));
  if (v.is_null()) return SqlValue::null();
  const std::optional<double> x = to_f64(v);
  if (!x) return SqlValue::null();
  if (v.is_bool()) return SqlValue::number(std::round(*x));
  std::int32_t digits = 0;
  if (args.has(1)) {
    const std::optional<double> d = TRY(args.number(1));
    digits = d ? util::saturate_to_i32(*d) : 0;
  }
  return SqlValue::number(round_to_digits(*x, digits));
}

Result<SqlValue> mod(FunctionArgs& args) {
  const std::optional<double> a = TRY(args.number(0));
  const std::optional<double> b = TRY(args.number(1));
  if (!a || !b || *b == 0.0) return SqlValue::null();  // a NaN divisor is not 0
  return SqlValue::number(std::fmod(*a, *b));
}

Result<SqlValue> pow(FunctionArgs& args) {
  const std::optional<double> a = TRY(args.number(0));
  const std::optional<double> b = TRY(args.number(1));
  if (!a || !b) return SqlValue::null();
  return SqlValue::number(std::pow(*a, *b));
}

constexpr ScalarFunction kMath[] = {
    {"PI", 0, pi},
    {"RANDOM", 0, random},
    {"LN", 1, unary<log_e, positive>},
    {"LOG", 1, unary<log_10, positive>},  // base 10
    {"LOG10", 1, unary<log_10, positive>},
    {"EXP", 1, unary<exp_e, any>},
    {"SQRT", 1, unary<square_root, not_negative>},
    {"FLOOR", 1, unary<floor_of, any>},
    {"CEIL", 1, unary<ceil_of, any>},
    {"CEILING", 1, unary<ceil_of, any>},
    {"ABS", 1, abs},
    {"SIGN", 1, unary<sign_of, any>},
    {"ROUND", 1, round},
    {"MOD", 2, mod},
    {"POW", 2, pow},
    {"POWER", 2, pow},
};

}  // namespace

std::span<const ScalarFunction> math_functions() { return kMath; }

}  // namespace quenlordb::sql::eval
