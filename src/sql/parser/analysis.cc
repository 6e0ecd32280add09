#include "sql/parser/analysis.h"

#include <type_traits>
#include <variant>

#include "sql/parser/text.h"
#include "util/unicode.h"

namespace quenlordb::sql::parser {

namespace {

// Looks through BinOp, Not, Cast and Case, asking `self` of each operand; `self` decides what the
// other variants give.
template <typename Self>
bool any_operand(const Expr& expr, Self self) {
  if (const auto* n = expr.get_if<Expr::BinOp>()) return self(n->left) || self(n->right);
  if (const auto* n = expr.get_if<Expr::Not>()) return self(n->expr);
  if (const auto* n = expr.get_if<Expr::Cast>()) return self(n->expr);
  if (const auto* n = expr.get_if<Expr::Case>()) {
    if (n->operand && self(*n->operand)) return true;
    for (const auto& [when, then] : n->when_clauses) {
      if (self(when) || self(then)) return true;
    }
    return n->else_clause && self(*n->else_clause);
  }
  return false;
}

bool is_pk_column(const Expr& e) {
  const auto* c = e.get_if<Expr::Column>();
  return c != nullptr && eq_ignore_ascii_case(c->name, "pk");
}

}  // namespace

bool is_aggregate_function(std::string_view name) {
  static constexpr std::string_view kAggregates[] = {
      "COUNT",    "SUM",     "AVG",     "MIN",        "MAX",          "FIRST",
      "LAST",     "STDDEV",  "STDDEV_POP", "STDDEV_SAMP", "VARIANCE", "VAR_POP",
      "VAR_SAMP", "STRING_AGG", "GROUP_CONCAT", "APPROX_COUNT_DISTINCT",
  };
  const std::string upper = util::to_upper_full(name);
  for (std::string_view aggregate : kAggregates) {
    if (upper == aggregate) return true;
  }
  return false;
}

bool expr_contains_aggregate(const Expr& expr) {
  if (const auto* f = expr.get_if<Expr::Function>()) {
    if (is_aggregate_function(f->name)) return true;
    for (const Expr& arg : f->args) {
      if (expr_contains_aggregate(arg)) return true;
    }
    return false;
  }
  return any_operand(expr, [](const Expr& e) { return expr_contains_aggregate(e); });
}

bool expr_contains_window(const Expr& expr) {
  if (expr.is<Expr::WindowFunction>()) return true;
  return any_operand(expr, [](const Expr& e) { return expr_contains_window(e); });
}

bool expr_any_node(const Expr& expr, util::FunctionRef<bool(const Expr&)> pred) {
  if (pred(expr)) return true;
  auto any = [&](const auto& list) {
    for (const Expr& e : list) {
      if (expr_any_node(e, pred)) return true;
    }
    return false;
  };
  return std::visit(
      [&](const auto& n) -> bool {
        using T = std::decay_t<decltype(n)>;
        if constexpr (std::is_same_v<T, Expr::BinOp>) {
          return expr_any_node(n.left, pred) || expr_any_node(n.right, pred);
        } else if constexpr (std::is_same_v<T, Expr::Not> || std::is_same_v<T, Expr::IsNull> ||
                             std::is_same_v<T, Expr::Cast>) {
          return expr_any_node(n.expr, pred);
        } else if constexpr (std::is_same_v<T, Expr::Function>) {
          return any(n.args);
        } else if constexpr (std::is_same_v<T, Expr::Between>) {
          return expr_any_node(n.expr, pred) || expr_any_node(n.low, pred) || expr_any_node(n.high, pred);
        } else if constexpr (std::is_same_v<T, Expr::InList>) {
          return expr_any_node(n.expr, pred) || any(n.list);
        } else if constexpr (std::is_same_v<T, Expr::WindowFunction>) {
          if (any(n.args) || any(n.partition_by)) return true;
          for (const auto& [e, direction] : n.order_by) {
            if (expr_any_node(e, pred)) return true;
          }
          return false;
        } else if constexpr (std::is_same_v<T, Expr::Case>) {
          if (n.operand && expr_any_node(*n.operand, pred)) return true;
          for (const auto& [when, then] : n.when_clauses) {
            if (expr_any_node(when, pred) || expr_any_node(then, pred)) return true;
          }
          return n.else_clause && expr_any_node(*n.else_clause, pred);
        } else {
          return false;
        }
      },
      expr.node());
}

const std::string* pk_eq_literal(const Expr& expr) {
  const auto* eq = expr.get_if<Expr::BinOp>();
  if (eq == nullptr || eq->op != BinOperator::Eq) return nullptr;
  if (const auto* lit = eq->left.get_if<Expr::StringLit>(); lit != nullptr && is_pk_column(eq->right)) {
    return &lit->value;
  }
  if (const auto* lit = eq->right.get_if<Expr::StringLit>(); lit != nullptr && is_pk_column(eq->left)) {
    return &lit->value;
  }
  return nullptr;
}

std::optional<std::string> extract_pk_eq_literal(const std::optional<Expr>& filter) {
  const std::string* lit = filter ? pk_eq_literal(*filter) : nullptr;
  if (lit == nullptr) return std::nullopt;
  return *lit;
}

}  // namespace quenlordb::sql::parser
