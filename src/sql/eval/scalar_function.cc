#include "sql/eval/scalar_function.h"

#include <chrono>
#include <cstdint>
#include <string>
#include <unordered_map>

#include "sql/eval/function_args.h"
#include "util/saturate.h"
#include "util/unicode.h"

namespace quenlordb::sql::eval {

namespace {

// The library's table: upper-case name to its entry, built once from the families.
const std::unordered_map<std::string_view, const ScalarFunction*>& function_table() {
  static const auto table = [] {
    std::unordered_map<std::string_view, const ScalarFunction*> t;
    for (auto family : {math_functions(), text_functions(), conditional_functions(), time_functions()}) {
      for (const ScalarFunction& f : family) {
        if (!t.emplace(f.name, &f).second) throw Panic("scalar function listed twice: " + std::string(f.name));
      }
    }
    return t;
  }();
  return table;
}

}  // namespace

Result<SqlValue> eval_scalar_function(std::string_view name, std::span<const parser::Expr> args, EvalContext& ctx) {
  const std::string upper = util::to_upper_full(name);
  const auto& table = function_table();
  const auto it = table.find(upper);
  if (it == table.end()) return fail(QuenlorError::sql_execution("unknown function: " + std::string(name)));
  const ScalarFunction& function = *it->second;
  if (args.size() < function.min_args) return SqlValue::null();
  FunctionArgs function_args(function.name, args, ctx);
  return function.impl(function_args);
}

double fastrand_f64() {
  constexpr std::uint64_t kUnseeded = 0x123456789abcdef0;
  thread_local std::uint64_t state = kUnseeded;
  if (state == kUnseeded) {
    const auto since_epoch = std::chrono::system_clock::now().time_since_epoch();
    if (since_epoch.count() >= 0) {
      const auto nanos = std::chrono::duration_cast<std::chrono::nanoseconds>(since_epoch).count();
      state = static_cast<std::uint64_t>(nanos) ^ kUnseeded;
    }
  }
  std::uint64_t x = state;
  x ^= x << 13;
  x ^= x >> 7;
  x ^= x << 17;
  state = x;
  return static_cast<double>(x >> 11) * 0x1p-53;
}

// ---- argument conventions

Result<std::optional<std::string>> FunctionArgs::text(std::size_t i) {
  SqlValue v = TRY(value(i));
  if (v.is_null()) return std::nullopt;
  if (v.is_text()) return std::move(v).text_value();
  return to_sort_string(v);
}

Result<std::optional<std::string>> FunctionArgs::strict_text(std::size_t i) {
  SqlValue v = TRY(value(i));
  if (!v.is_text()) return std::nullopt;
  return std::move(v).text_value();
}

Result<std::optional<double>> FunctionArgs::number(std::size_t i) {
  const SqlValue v = TRY(value(i));
  return to_f64(v);
}

Result<std::uint64_t> FunctionArgs::count(std::size_t i) {
  const std::optional<double> x = TRY(number(i));
  return x ? util::saturate_to_u64(*x) : 0;
}

Result<std::optional<std::int64_t>> FunctionArgs::integer(std::size_t i) {
  const std::optional<double> x = TRY(number(i));
  if (!x) return std::nullopt;
  return util::saturate_to_i64(*x);
}

Result<void> FunctionArgs::check_result_size(std::uint64_t bytes, bool overflowed) const {
  if (!overflowed && bytes <= kMaxFunctionResultBytes) return {};
  return fail(QuenlorError::sql_execution(std::string(name_) + " result too large (limit " +
                                          std::to_string(kMaxFunctionResultBytes) + " bytes)"));
}

}  // namespace quenlordb::sql::eval
