#include "sql/planner/planner.h"

#include <algorithm>

#include "sql/parser/analysis.h"
#include "sql/parser/debug_text.h"
#include "sql/parser/text.h"
#include "util/utf8.h"

namespace quenlordb::sql::planner {

using parser::BinOperator;
using parser::Expr;
using parser::JoinType;
using parser::SelectItem;
using parser::Statement;

namespace {

constexpr double kIsNullSel = 0.05;
constexpr double kBetweenSel = 0.25;
constexpr double kInListEntrySel = 0.1;
constexpr double kPkEqSel = 0.001;
constexpr double kEqSel = 0.1;
constexpr double kRangeSel = 0.33;
constexpr double kLikeSel = 0.25;
constexpr double kDefaultSel = 0.5;

std::string_view join_type_name(JoinType type) {
  switch (type) {
    case JoinType::Inner: return "INNER";
    case JoinType::Left: return "LEFT";
    case JoinType::Right: return "RIGHT";
    case JoinType::Cross: return "CROSS";
  }
  return "INNER";
}

// The test of the selectivity table: only the left operand, and number literals count too (unlike
// extract_pk_eq_literal, which decides the point lookup).
bool is_pk_eq_literal(const Expr::BinOp& eq) {
  const auto* column = eq.left.get_if<Expr::Column>();
  return column != nullptr && parser::eq_ignore_ascii_case(column->name, "pk") &&
         (eq.right.is<Expr::StringLit>() || eq.right.is<Expr::NumberLit>());
}

double binop_selectivity(const Expr::BinOp& n) {
  switch (n.op) {
    case BinOperator::Eq: return is_pk_eq_literal(n) ? kPkEqSel : kEqSel;
    case BinOperator::Lt:
    case BinOperator::Gt:
    case BinOperator::LtEq:
    case BinOperator::GtEq: return kRangeSel;
    case BinOperator::And: return estimate_selectivity(n.left) * estimate_selectivity(n.right);
    case BinOperator::Or: {
      const double a = estimate_selectivity(n.left);
      const double b = estimate_selectivity(n.right);
      return std::min(a + b - a * b, 1.0);
    }
    case BinOperator::Like:
    case BinOperator::ILike: return kLikeSel;
    case BinOperator::NotEq:
    case BinOperator::Add:
    case BinOperator::Sub:
    case BinOperator::Mul:
    case BinOperator::Div:
    case BinOperator::Mod: return kDefaultSel;
  }
  return kDefaultSel;
}

bool needs_aggregate(const Statement::Select& select) {
  if (select.group_by) return true;
  return std::ranges::any_of(select.items, [](const SelectItem& item) {
    const auto* e = item.get_if<SelectItem::Expr>();
    return e != nullptr && parser::expr_contains_aggregate(e->expr);
  });
}

// Select items that are themselves aggregate calls; aggregates nested deeper are not counted.
std::uint64_t count_direct_aggregates(const Statement::Select& select) {
  return std::ranges::count_if(select.items, [](const SelectItem& item) {
    const auto* e = item.get_if<SelectItem::Expr>();
    if (e == nullptr) return false;
    const auto* call = e->expr.get_if<Expr::Function>();
    return call != nullptr && parser::is_aggregate_function(call->name);
  });
}

PlanChild base_node(const std::string& table, const Statement::Select& select) {
  if (auto pk = parser::extract_pk_eq_literal(select.filter)) {
    return make_child(PointLookup{table, std::move(*pk), kPointLookupCost});
  }
  PlanChild scan = make_child(FullScan{table, kScanRows, kScanCost});
  if (!select.filter) return scan;
  const std::string text = parser::debug_text(*select.filter);
  return make_child(
      Filter{std::string(prefix_chars(text, kPredicateChars)), estimate_selectivity(*select.filter), std::move(scan)});
}

}  // namespace

std::string_view prefix_chars(std::string_view text, std::size_t max_chars) {
  std::size_t pos = 0;
  for (std::size_t chars = 0; chars < max_chars && pos < text.size(); ++chars) {
    pos += util::decode_utf8_at(text, pos).length;
  }
  return text.substr(0, pos);
}

double estimate_selectivity(const Expr& expr) {
  if (const auto* n = expr.get_if<Expr::IsNull>()) return n->negated ? 1.0 - kIsNullSel : kIsNullSel;
  if (const auto* n = expr.get_if<Expr::Between>()) return n->negated ? 1.0 - kBetweenSel : kBetweenSel;
  if (const auto* n = expr.get_if<Expr::InList>()) {
    const double b = std::min(kInListEntrySel * static_cast<double>(n->list.size()), 1.0);
    return n->negated ? 1.0 - b : b;
  }
  if (const auto* n = expr.get_if<Expr::BinOp>()) return binop_selectivity(*n);
  if (const auto* n = expr.get_if<Expr::Not>()) return 1.0 - estimate_selectivity(n->expr);
  return kDefaultSel;
}

std::optional<PlanNode> generate_plan(const Statement& stmt) {
  const auto* select = stmt.get_if<Statement::Select>();
  if (select == nullptr) return std::nullopt;
  const auto* from = select->from.get_if<parser::TableRef::Named>();
  if (from == nullptr) return std::nullopt;

  PlanChild node = base_node(from->name, *select);
  if (select->join) {
    const parser::JoinSpec& join = *select->join;
    std::string type(join_type_name(join.join_type));
    PlanChild right = make_child(FullScan{join.right_table, kScanRows, kScanCost});
    const auto* on = join.on_clause ? join.on_clause->get_if<Expr::BinOp>() : nullptr;
    if (on != nullptr && on->op == BinOperator::Eq) {
      node = make_child(HashJoin{std::move(type), kHashJoinCost, std::move(node), std::move(right)});
    } else {
      node = make_child(NestedLoopJoin{std::move(type), kNestedLoopJoinCost, std::move(node), std::move(right)});
    }
  }
  if (needs_aggregate(*select)) {
    const std::uint64_t groups = select->group_by ? select->group_by->size() : 0;
    node = make_child(Aggregate{groups, count_direct_aggregates(*select), std::move(node)});
  }
  if (select->order_by) {
    const double cost = node->cost() + kSortCost;
    node = make_child(Sort{select->order_by->size(), cost, std::move(node)});
  }
  if (select->limit) node = make_child(Limit{*select->limit, std::move(node)});
  if (!select->items.empty()) node = make_child(Project{select->items.size(), std::move(node)});
  return std::move(*node);
}

std::string explain_plan(const Statement& stmt) {
  const std::optional<PlanNode> plan = generate_plan(stmt);
  std::string out;
  if (!plan) {
    out = "No plan available for: ";
    parser::append_debug_text(out, stmt);
    return out;
  }
  out = "Query Plan:\n";
  plan->append_display(out, 1);
  out += "\nEstimated cost: ";
  append_fixed(out, plan->cost(), 1);
  return out;
}

}  // namespace quenlordb::sql::planner
