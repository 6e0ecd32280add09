#include "sql/exec/literals.h"

#include "sql/eval/eval_context.h"

namespace quenlordb::sql::exec {

Result<eval::SqlValue> eval_const_expr(const parser::Expr& expr) {
  using parser::Expr;
  if (const auto* text = expr.get_if<Expr::StringLit>()) return eval::SqlValue::text(text->value);
  if (const auto* number = expr.get_if<Expr::NumberLit>()) return eval::SqlValue::number(number->value);
  if (const auto* boolean = expr.get_if<Expr::BoolLit>()) return eval::SqlValue::boolean(boolean->value);
  if (expr.is<Expr::Null>()) return eval::SqlValue::null();
  eval::EvalContext context("", "{}");
  return context.eval(expr);
}

std::string escape_sql_literal(std::string_view text) {
  std::string out;
  out.reserve(text.size() + 2);
  for (char c : text) {
    if (c == '\\' || c == '\'') out.push_back('\\');
    out.push_back(c);
  }
  return out;
}

}  // namespace quenlordb::sql::exec
