// The scalar function library: every Function expression is evaluated here. The library
// resolves the name (upper-cased with the full Unicode mapping) in its table, where each function
// has a minimum argument count and an implementation (the families live in functions_*.cc). With
// fewer arguments than the minimum the result is Null and no argument is evaluated; otherwise the
// function evaluates its arguments itself, in order and only as far as it needs them, so extra
// arguments are never evaluated. An unknown name fails with SqlExecution "unknown function: {}"
// holding the name as written; aggregate and window names reaching it are unknown too.
//
// Type mismatches never fail: they give Null. The errors are those of the arguments, an
// unsupported DATE_TRUNC unit or EXTRACT field, and a text result beyond 64 MiB.
#pragma once

#include <span>
#include <string_view>

#include "error.h"
#include "sql/eval/eval_context.h"
#include "sql/eval/sql_value.h"
#include "sql/parser/ast.h"

namespace quenlordb::sql::eval {

Result<SqlValue> eval_scalar_function(std::string_view name, std::span<const parser::Expr> args, EvalContext& ctx);

// A double in [0, 1) from the calling thread's xorshift generator, seeded from the wall clock on
// its first use. No lock; each thread has its own sequence.
double fastrand_f64();

}  // namespace quenlordb::sql::eval
