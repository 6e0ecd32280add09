// The conditional functions of the library: choosing among values, evaluating only the arguments
// that the choice needs.
#include <compare>

#include "sql/eval/function_args.h"

namespace quenlordb::sql::eval {

namespace {

// GREATEST and LEAST: the non-Null argument that no later one beats; a later value replaces the
// candidate only when it compares strictly beyond it, so incomparable values never replace.
template <bool kGreatest>
Result<SqlValue> extreme(FunctionArgs& args) {
  constexpr std::partial_ordering kBeats = kGreatest ? std::partial_ordering::greater : std::partial_ordering::less;
  SqlValue best;
  for (std::size_t i = 0; i < args.size(); ++i) {
    SqlValue v = TRY(args.value(i));
    if (v.is_null()) continue;
    if (best.is_null() || cmp_partial(v, best) == kBeats) best = std::move(v);
  }
  return best;
}

Result<SqlValue> coalesce(FunctionArgs& args) {
  for (std::size_t i = 0; i < args.size(); ++i) {
    SqlValue v = TRY(args.value(i));
    if (!v.is_null()) return v;
  }
  return SqlValue::null();
}

Result<SqlValue> nullif(FunctionArgs& args) {
  SqlValue a = TRY(args.value(0));
  const SqlValue b = TRY(args.value(1));
  if (cmp_partial(a, b) == std::partial_ordering::equivalent) return SqlValue::null();
  return a;
}

Result<SqlValue> if_then_else(FunctionArgs& args) {
  const SqlValue condition = TRY(args.value(0));
  return args.value(is_truthy(condition) ? 1 : 2);
}

Result<SqlValue> type_of(FunctionArgs& args) {
  const SqlValue v = TRY(args.value(0));
  switch (v.kind()) {
    case SqlValue::Kind::Null: return SqlValue::text("null");
    case SqlValue::Kind::Bool: return SqlValue::text("boolean");
    case SqlValue::Kind::Number: return SqlValue::text("number");
    case SqlValue::Kind::Text: return SqlValue::text("text");
  }
  return SqlValue::null();
}

constexpr ScalarFunction kConditional[] = {
    {"GREATEST", 0, extreme<true>},
    {"LEAST", 0, extreme<false>},
    {"COALESCE", 1, coalesce},
    {"TYPEOF", 1, type_of},
    {"NULLIF", 2, nullif},
    {"IF", 3, if_then_else},
    {"IIF", 3, if_then_else},
};

}  // namespace

std::span<const ScalarFunction> conditional_functions() { return kConditional; }

}  // namespace quenlordb::sql::eval
