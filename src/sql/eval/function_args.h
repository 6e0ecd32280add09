// The arguments of one scalar function call as its implementation sees them, and the argument
// conventions of the function library: each argument is evaluated only when the implementation
// asks for it, at most once, so that a function evaluates exactly the arguments it reads, in the
// order it reads them. Internal to the library; one object serves one call on one thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "error.h"
#include "sql/eval/eval_context.h"
#include "sql/eval/sql_value.h"
#include "sql/parser/ast.h"

namespace quenlordb::sql::eval {

// The largest text a function builds: the write-ahead log's record limit, since a longer value
// could never be stored. Functions whose result would be longer fail instead of building it.
inline constexpr std::size_t kMaxFunctionResultBytes = std::size_t{64} << 20;

class FunctionArgs {
 public:
  // name: the function's name as the library table spells it (upper case), for messages.
  FunctionArgs(std::string_view name, std::span<const parser::Expr> exprs, EvalContext& ctx)
      : name_(name), exprs_(exprs), ctx_(ctx) {}
  FunctionArgs(const FunctionArgs&) = delete;
  FunctionArgs& operator=(const FunctionArgs&) = delete;

  std::string_view name() const { return name_; }
  std::size_t size() const { return exprs_.size(); }
  bool has(std::size_t i) const { return i < exprs_.size(); }

  // The value of argument i (i < size(), which the table's minimum or has() guarantees); its
  // error ends the call.
  Result<SqlValue> value(std::size_t i) {
    if (i >= exprs_.size()) throw Panic("scalar function read past its arguments");
    return ctx_.eval(exprs_[i]);
  }

  // A text argument: none for Null (the whole result is then Null); Text as it is; Bool and
  // Number as their sort-string text.
  Result<std::optional<std::string>> text(std::size_t i);
  // A strict text argument: Text only; none for every other kind.
  Result<std::optional<std::string>> strict_text(std::size_t i);
  // A number argument: to_f64 of the value.
  Result<std::optional<double>> number(std::size_t i);
  // A count argument: the number truncated and saturated to 64 unsigned bits; 0 for negative
  // values, NaN and values that are not numbers.
  Result<std::uint64_t> count(std::size_t i);
  // A number truncated toward zero and saturated to signed 64 bits; none when the value is not a
  // number. A timestamp argument reads this way, as seconds since 1970.
  Result<std::optional<std::int64_t>> integer(std::size_t i);
  Result<std::optional<std::int64_t>> timestamp(std::size_t i) { return integer(i); }

  // Ok when a result of `bytes` bytes may be built; else SqlExecution "{NAME} result too large
  // (limit 67108864 bytes)". overflowed says the size could not even be computed.
  Result<void> check_result_size(std::uint64_t bytes, bool overflowed = false) const;

 private:
  std::string_view name_;
  std::span<const parser::Expr> exprs_;
  EvalContext& ctx_;
};

// One function of the library: the fewest arguments it takes (with fewer the result is Null and
// nothing is evaluated) and its implementation.
struct ScalarFunction {
  std::string_view name;  // upper case
  std::size_t min_args;
  Result<SqlValue> (*impl)(FunctionArgs& args);
};

// The families of the library, each in its own source file.
std::span<const ScalarFunction> math_functions();         // functions_math.cc
std::span<const ScalarFunction> text_functions();         // functions_text.cc
std::span<const ScalarFunction> conditional_functions();  // functions_conditional.cc
std::span<const ScalarFunction> time_functions();         // functions_time.cc: dates, clock, buckets

}  // namespace quenlordb::sql::eval
