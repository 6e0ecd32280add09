#include "sql/exec/grouped_select.h"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <deque>
#include <limits>
#include <optional>
#include <string_view>
#include <type_traits>
#include <unordered_map>
#include <utility>
#include <variant>

#include <nlohmann/json.hpp>

#include "sql/eval/datetime.h"
#include "sql/eval/first_last.h"
#include "sql/exec/literals.h"
#include "sql/exec/order.h"
#include "sql/exec/projection.h"
#include "sql/parser/analysis.h"
#include "sql/parser/text.h"
#include "storage/zone_map.h"
#include "util/json_document.h"
#include "util/unicode.h"
#include "util/utf8.h"

namespace quenlordb::sql::exec {

using eval::EvalContext;
using eval::SqlValue;
using eval::VisibleRow;
using parser::Expr;
using parser::SelectItem;

namespace {

// The values read ahead for arg, when it was.
const std::vector<SqlValue>* read_ahead(const Expr& arg, const GroupRows& group) {
  return group.ahead ? group.ahead->of(arg) : nullptr;
}

// The value of each row's first argument, in row order.
template <typename Visit>
Result<void> for_each_value(const Expr& arg, const GroupRows& group, Visit&& visit) {
  if (const std::vector<SqlValue>* values = read_ahead(arg, group)) {
    for (const GroupRow& row : group) visit((*values)[row.index]);
    return {};
  }
  for (const GroupRow& row : group) {
    EvalContext& ctx = row.context();
    visit(TRY(ctx.eval(arg)));
  }
  return {};
}

// The numbers among the first argument's values (Null and non-numeric text skipped).
Result<std::vector<double>> numbers_of(const Expr& arg, const GroupRows& group) {
  std::vector<double> out;
  out.reserve(group.size());
  TRY(for_each_value(arg, group, [&](const SqlValue& v) {
    if (std::optional<double> x = eval::to_f64(v)) out.push_back(*x);
  }));
  return out;
}

// The mean's sum of squared deviations of xs (not empty).
double squared_deviations(const std::vector<double>& xs) {
  double sum = 0;
  for (double x : xs) sum += x;
  const double mean = sum / static_cast<double>(xs.size());
  double ss = 0;
  for (double x : xs) ss += (x - mean) * (x - mean);
  return ss;
}

template <typename Accumulator>
Result<SqlValue> first_last(const Expr::Function& f, const GroupRows& group, std::string_view message) {
  if (f.args.size() < 2) return fail(QuenlorError::sql_execution(std::string(message)));
  Accumulator acc;
  const std::vector<SqlValue>* values = read_ahead(f.args[0], group);
  const std::vector<SqlValue>* stamps = read_ahead(f.args[1], group);
  for (const GroupRow& row : group) {
    EvalContext& ctx = row.context();
    SqlValue value = values ? (*values)[row.index] : TRY(ctx.eval(f.args[0]));
    SqlValue ts = stamps ? (*stamps)[row.index] : TRY(ctx.eval(f.args[1]));
    acc.accumulate(value, ts);
  }
  return acc.result();
}

Result<SqlValue> eval_aggregate(const Expr::Function& f, const GroupRows& group) {
  if (group.fill) return SqlValue::null();
  if (group.folded) {
    // GroupFold::plan folds every call the output reads.
    if (const SqlValue* value = group.folded->of(f)) return *value;
    panic("grouped query: an aggregate call that was not folded");
  }
  const std::string name = util::to_upper_full(f.name);
  if (name == "FIRST") {
    return first_last<eval::FirstAccumulator>(f, group, "FIRST() requires 2 arguments: FIRST(value, timestamp)");
  }
  if (name == "LAST") {
    return first_last<eval::LastAccumulator>(f, group, "LAST() requires 2 arguments: LAST(value, timestamp)");
  }
  // Called without an argument there is nothing to read: a count of nothing, else no value.
  if (f.args.empty()) {
    return name == "COUNT" || name == "APPROX_COUNT_DISTINCT" ? SqlValue::number(0) : SqlValue::null();
  }
  const Expr& arg = f.args[0];
  if (name == "COUNT") {
    if (arg.is<Expr::Star>()) return SqlValue::number(static_cast<double>(group.size()));
    double n = 0;
    TRY(for_each_value(arg, group, [&](const SqlValue& v) { n += v.is_null() ? 0 : 1; }));
    return SqlValue::number(n);
  }
  if (name == "STRING_AGG" || name == "GROUP_CONCAT") {
    std::string separator = ",";
    if (f.args.size() >= 2) {
      SqlValue sep = TRY(eval_const_expr(f.args[1]));
      if (sep.is_text()) separator = std::move(sep).text_value();
    }
    std::string out;
    bool any = false;
    TRY(for_each_value(arg, group, [&](const SqlValue& v) {
      if (v.is_null()) return;
      if (any) out += separator;
      eval::append_sort_string(out, v);
      any = true;
    }));
    return any ? SqlValue::text(std::move(out)) : SqlValue::null();
  }
  if (name == "APPROX_COUNT_DISTINCT") {
    storage::HyperLogLog sketch;
    TRY(for_each_value(arg, group, [&](const SqlValue& v) {
      if (!v.is_null()) sketch.add(eval::to_sort_string(v));
    }));
    return SqlValue::number(static_cast<double>(sketch.count()));
  }
  const std::vector<double> xs = TRY(numbers_of(arg, group));
  if (xs.empty()) return SqlValue::null();
  const double n = static_cast<double>(xs.size());
  if (name == "SUM" || name == "AVG") {
    double sum = 0;
    for (double x : xs) sum += x;
    // AVG divides by the values summed: rows without a number do not pull the mean down.
    return SqlValue::number(name == "SUM" ? sum : sum / n);
  }
  if (name == "MIN" || name == "MAX") {
    double best = xs[0];
    for (double x : xs) {
      if (name == "MIN" ? !(best <= x) : !(x <= best)) best = x;
    }
    return SqlValue::number(best);
  }
  const double ss = squared_deviations(xs);
  const double sample = xs.size() == 1 ? ss : ss / (n - 1);
  if (name == "STDDEV" || name == "STDDEV_SAMP") return SqlValue::number(std::sqrt(sample));
  if (name == "STDDEV_POP") return SqlValue::number(std::sqrt(ss / n));
  if (name == "VAR_SAMP") return SqlValue::number(sample);
  return SqlValue::number(ss / n);  // VARIANCE, VAR_POP
}

// Evaluates an expression built from literals without a row.
Result<SqlValue> eval_rowless(const Expr& expr) {
  EvalContext ctx("", "{}");
  return ctx.eval(expr);
}

bool is_column_named(const Expr& expr, std::string_view name) {
  const Expr::Column* c = expr.get_if<Expr::Column>();
  return c && parser::eq_ignore_ascii_case(c->name, name);
}

bool is_count_star(const Expr& expr) {
  const Expr::Function* f = expr.get_if<Expr::Function>();
  return f && parser::eq_ignore_ascii_case(f->name, "count") && f->args.size() == 1 && f->args[0].is<Expr::Star>();
}

// The `pk, count(*)` list, which answers with integer counts beside each group's first pk.
bool is_pk_count_shape(const std::vector<SelectItem>& items) {
  if (items.size() != 2) return false;
  const auto* a = items[0].get_if<SelectItem::Expr>();
  const auto* b = items[1].get_if<SelectItem::Expr>();
  return a && b && !a->alias && !b->alias && is_column_named(a->expr, "pk") && is_count_star(b->expr);
}

// The step of the first GROUP BY time_bucket_gapfill call whose width reads as a step.
std::optional<std::uint64_t> gapfill_step(const std::vector<Expr>& group_by) {
  for (const Expr& key : group_by) {
    const Expr::Function* f = key.get_if<Expr::Function>();
    if (!f || !parser::eq_ignore_ascii_case(f->name, "time_bucket_gapfill") || f->args.size() < 2) continue;
    if (const auto* s = f->args[0].get_if<Expr::StringLit>()) {
      if (std::optional<std::uint64_t> step = eval::parse_interval_seconds(s->value)) return step;
    } else if (const auto* n = f->args[0].get_if<Expr::NumberLit>()) {
      const double x = n->value;
      if (!(x > 0)) return 0;
      if (x >= 18446744073709551616.0) return std::numeric_limits<std::uint64_t>::max();
      return static_cast<std::uint64_t>(x);
    }
  }
  return std::nullopt;
}

struct Group {
  std::string key;
  GroupRows rows;
};

// A grouped query's numbers carry no sign on zero: -0 (as x % 3 gives over -3) is the 0 that
// compares equal to it, in the keys that merge groups and in the values the groups output.
SqlValue without_negative_zero(SqlValue value) {
  if (value.is_number() && value.number_value() == 0) return SqlValue::number(0);
  return value;
}

// One GROUP BY value's part of a group key.
void append_key_part(std::string& key, const SqlValue& value) {
  if (value.is_number() && value.number_value() == 0) {
    key.push_back('0');
    return;
  }
  eval::append_sort_string(key, value);
}

// Gathers rows into groups by their GROUP BY keys: one hash map from key to group, then one sort of
// the keys. Without GROUP BY every row is in the one group "__all__", which exists even without
// rows.
class Grouper {
 public:
  explicit Grouper(const std::optional<std::vector<Expr>>& by) : by_(by) {
    if (!by_) groups_.push_back(Group{"__all__", {}});
  }

  // Adds a row; an error of a key's evaluation is returned.
  Result<void> add(const GroupRow& row) {
    if (!by_) {
      groups_[0].rows.rows.push_back(row);
      return {};
    }
    key_.clear();
    for (std::size_t i = 0; i < by_->size(); ++i) {
      if (i) key_.push_back('\0');
      append_key_part(key_, TRY(row.context().eval((*by_)[i])));
    }
    auto [it, inserted] = index_.try_emplace(key_, groups_.size());
    if (inserted) groups_.push_back(Group{key_, {}});
    groups_[it->second].rows.rows.push_back(row);
    return {};
  }

  // The groups in ascending key order, each reading the arguments read ahead.
  std::vector<Group> take(const ArgumentsReadAhead* ahead) && {
    for (Group& g : groups_) g.rows.ahead = ahead;
    std::vector<std::size_t> order = sort_permutation(
        groups_.size(), [&](std::size_t a, std::size_t b) { return groups_[a].key < groups_[b].key; });
    return apply_permutation(std::move(groups_), order);
  }

 private:
  const std::optional<std::vector<Expr>>& by_;
  std::vector<Group> groups_;
  std::unordered_map<std::string, std::size_t> index_;
  std::string key_;
};

Result<SqlResult> output_of_groups(const std::vector<Group>& groups, const parser::Statement::Select& select);

// Whether evaluating expr can neither fail nor read anything but its row: no function call, no
// CAST.
bool reads_only_its_row(const Expr& expr) {
  return !parser::expr_any_node(expr, [](const Expr& e) {
    return e.is<Expr::Function>() || e.is<Expr::WindowFunction>() || e.is<Expr::Cast>();
  });
}

// The arguments of the aggregate calls in the select items, HAVING and ORDER BY that can be read
// ahead, each once.
std::vector<const Expr*> arguments_to_read_ahead(const parser::Statement::Select& select) {
  std::vector<const Expr*> out;
  auto collect = [&](const Expr& root) {
    parser::expr_any_node(root, [&](const Expr& e) {
      const Expr::Function* f = e.get_if<Expr::Function>();
      if (!f || !parser::is_aggregate_function(f->name)) return false;
      for (std::size_t i = 0; i < f->args.size() && i < 2; ++i) {
        const Expr& arg = f->args[i];
        if (!arg.is<Expr::Star>() && reads_only_its_row(arg)) out.push_back(&arg);
      }
      return false;
    });
  };
  for (const SelectItem& item : select.items) {
    if (const auto* e = item.get_if<SelectItem::Expr>()) collect(e->expr);
  }
  if (select.having) collect(*select.having);
  if (select.order_by) {
    for (const auto& [expr, direction] : *select.order_by) collect(expr);
  }
  return out;
}

// A grouped output row with what HAVING and ORDER BY read of it.
struct OutputRow {
  VisibleRow row;
  AliasValues aliases;
  const GroupRows* group;
};

Result<OutputRow> build_output(const Group& g, const std::vector<SelectItem>& items, bool pk_count) {
  OutputRow out{VisibleRow{g.rows.empty() ? std::string() : std::string(g.rows[0].context().pk()), {}}, {}, &g.rows};
  nlohmann::json obj = nlohmann::json::object();
  if (pk_count) {
    obj["count"] = static_cast<std::uint64_t>(g.rows.size());
    obj["pk"] = util::decode_utf8_lossy(out.row.pk);
    out.row.doc = write_json(obj);
    return out;
  }
  for (const SelectItem& item : items) {
    if (item.is<SelectItem::AllColumns>()) {
      if (g.rows.empty()) continue;
      const nlohmann::json& doc = g.rows[0].context().document();
      if (!doc.is_object()) continue;
      for (auto it = doc.begin(); it != doc.end(); ++it) obj[it.key()] = it.value();
      continue;
    }
    const SelectItem::Expr& e = *item.get_if<SelectItem::Expr>();
    SqlValue value = without_negative_zero(TRY(eval_aggregate_expr(e.expr, g.rows)));
    obj[e.alias ? *e.alias : aggregate_display_name(e.expr)] = eval::sql_value_to_json(value);
    if (e.alias) out.aliases.insert_or_assign(*e.alias, std::move(value));
  }
  out.row.doc = write_json(obj);
  return out;
}

}  // namespace

Expr to_literal(const SqlValue& value) {
  switch (value.kind()) {
    case SqlValue::Kind::Null:
      return Expr(Expr::Null{});
    case SqlValue::Kind::Bool:
      return Expr(Expr::BoolLit{value.bool_value()});
    case SqlValue::Kind::Number:
      return Expr(Expr::NumberLit{value.number_value()});
    case SqlValue::Kind::Text:
      break;
  }
  return Expr(Expr::StringLit{value.text_value()});
}

std::string aggregate_display_name(const Expr& expr) {
  const Expr::Function* f = expr.get_if<Expr::Function>();
  if (!f || !parser::is_aggregate_function(f->name)) return expr_display_name(expr);
  std::string out = util::to_lower_full(f->name);
  if (f->args.size() == 1 && !f->args[0].is<Expr::Star>()) {
    out += '_';
    out += expr_display_name(f->args[0]);
  }
  return out;
}

namespace {

bool names_alias(const Expr& expr, const AliasValues& aliases) {
  return parser::expr_any_node(expr, [&](const Expr& e) {
    const Expr::Column* c = e.get_if<Expr::Column>();
    return c && aliases.contains(c->name);
  });
}

// Replaces, everywhere in expr, each column that names an alias with the literal of its value.
void bind_aliases(Expr& expr, const AliasValues& aliases) {
  if (const Expr::Column* c = expr.get_if<Expr::Column>()) {
    if (auto it = aliases.find(c->name); it != aliases.end()) expr = to_literal(it->second);
    return;
  }
  const auto bind = [&](Expr& e) { bind_aliases(e, aliases); };
  std::visit(
      [&](auto& n) {
        using T = std::decay_t<decltype(n)>;
        if constexpr (std::is_same_v<T, Expr::BinOp>) {
          bind(n.left);
          bind(n.right);
        } else if constexpr (std::is_same_v<T, Expr::Not> || std::is_same_v<T, Expr::IsNull> ||
                             std::is_same_v<T, Expr::Cast>) {
          bind(n.expr);
        } else if constexpr (std::is_same_v<T, Expr::Function>) {
          for (Expr& arg : n.args) bind(arg);
        } else if constexpr (std::is_same_v<T, Expr::Between>) {
          bind(n.expr);
          bind(n.low);
          bind(n.high);
        } else if constexpr (std::is_same_v<T, Expr::InList>) {
          bind(n.expr);
          for (Expr& e : n.list) bind(e);
        } else if constexpr (std::is_same_v<T, Expr::Case>) {
          if (n.operand) bind(*n.operand);
          for (auto& [when, then] : n.when_clauses) {
            bind(when);
            bind(then);
          }
          if (n.else_clause) bind(*n.else_clause);
        }
      },
      expr.node());
}

}  // namespace

Result<SqlValue> eval_aggregate_expr(const Expr& expr, const GroupRows& group, const AliasValues* aliases) {
  if (const auto* f = expr.get_if<Expr::Function>()) {
    if (parser::is_aggregate_function(f->name)) return eval_aggregate(*f, group);
    Expr::Function call{f->name, {}};
    call.args.reserve(f->args.size());
    for (const Expr& arg : f->args) call.args.push_back(to_literal(TRY(eval_aggregate_expr(arg, group, aliases))));
    return eval_rowless(Expr(std::move(call)));
  }
  if (const auto* b = expr.get_if<Expr::BinOp>()) {
    Expr left = to_literal(TRY(eval_aggregate_expr(b->left, group, aliases)));
    Expr right = to_literal(TRY(eval_aggregate_expr(b->right, group, aliases)));
    return eval_rowless(Expr(Expr::BinOp{std::move(left), b->op, std::move(right)}));
  }
  if (const auto* c = expr.get_if<Expr::Case>()) {
    Expr::Case lit;
    if (c->operand) lit.operand = to_literal(TRY(eval_aggregate_expr(*c->operand, group, aliases)));
    for (const auto& [when, then] : c->when_clauses) {
      Expr w = to_literal(TRY(eval_aggregate_expr(when, group, aliases)));
      Expr t = to_literal(TRY(eval_aggregate_expr(then, group, aliases)));
      lit.when_clauses.emplace_back(std::move(w), std::move(t));
    }
    if (c->else_clause) lit.else_clause = to_literal(TRY(eval_aggregate_expr(*c->else_clause, group, aliases)));
    return eval_rowless(Expr(std::move(lit)));
  }
  if (const auto* c = expr.get_if<Expr::Cast>()) {
    Expr operand = to_literal(TRY(eval_aggregate_expr(c->expr, group, aliases)));
    return eval_rowless(Expr(Expr::Cast{std::move(operand), c->target_type}));
  }
  if (aliases) {
    if (const auto* col = expr.get_if<Expr::Column>()) {
      if (auto it = aliases->find(col->name); it != aliases->end()) return it->second;
    }
    // Inside NOT, IS NULL, BETWEEN, IN and what they hold, an alias reads the output value too;
    // the rest of the node reads the first row.
    if (!group.empty() && names_alias(expr, *aliases)) {
      Expr bound = expr;
      bind_aliases(bound, *aliases);
      return group[0].context().eval(bound);
    }
  }
  if (group.empty()) return SqlValue::null();
  return group[0].context().eval(expr);
}

Result<SqlResult> execute_grouped_select(std::vector<VisibleRow> rows, const parser::Statement::Select& select,
                                         const RowTables& tables) {
  const std::vector<eval::RowView> views(rows.begin(), rows.end());
  return execute_grouped_select(views, nullptr, select, tables);
}

Result<SqlResult> execute_grouped_select(std::span<const eval::RowView> rows, const parser::Expr* filter,
                                         const parser::Statement::Select& select, const RowTables& tables) {
  // One pass over the rows, while each row's document is at hand: WHERE, the GROUP BY keys and the
  // aggregate arguments that can be read ahead. WHERE runs over every row before any key counts: a
  // key's error is kept and returned only once WHERE has passed over all rows. The context of
  // every row WHERE keeps lives as long as the groups (never moved: room for all is reserved);
  // the indexes of their documents' members lie in a deque, which never moves them.
  ArgumentsReadAhead ahead;
  ahead.args = arguments_to_read_ahead(select);
  ahead.values.resize(ahead.args.size());
  for (std::vector<SqlValue>& values : ahead.values) values.reserve(rows.size());
  std::deque<util::JsonMembers> indexes;
  std::vector<EvalContext> contexts;
  contexts.reserve(rows.size());
  Grouper grouper(select.group_by);
  std::optional<QuenlorError> key_error;
  for (std::size_t i = 0; i < rows.size(); ++i) {
    EvalContext ctx(rows[i], {}, indexes.emplace_back());
    tables.bind(ctx, i);
    if (filter && !eval::is_truthy(TRY(ctx.eval(*filter)))) {
      indexes.pop_back();
      continue;
    }
    EvalContext& kept = contexts.emplace_back(std::move(ctx));
    const GroupRow row{&kept, contexts.size() - 1};
    if (!key_error) {
      if (Result<void> added = grouper.add(row); !added) key_error = std::move(added.error());
    }
    for (std::size_t k = 0; k < ahead.args.size(); ++k) {
      Result<SqlValue> v = kept.eval(*ahead.args[k]);
      ahead.values[k].push_back(v ? std::move(*v) : SqlValue::null());
    }
  }
  if (key_error) return fail(std::move(*key_error));
  return output_of_groups(std::move(grouper).take(&ahead), select);
}

namespace {

// What an ORDER BY key of a grouped query reads. A key that holds an aggregate or a qualified
// name, or that is a GROUP BY key other than a column named like an output column (one aliased
// or not selected), is the group's value of it, as a SELECT item would be; any other key reads the
// output row, so aliases and output names are columns there. A row added by gap-filling has no
// group: such a key reads the row's member of the item that computes the same expression (the
// bucket, or an aggregate's fill value), else it is evaluated with every aggregate NULL.
struct OrderKeySource {
  bool over_group = false;
  std::optional<std::string> item_name;
};

std::vector<OrderKeySource> order_key_sources(const parser::Statement::Select& select) {
  std::vector<std::string> names;
  for (const SelectItem& item : select.items) {
    if (const auto* e = item.get_if<SelectItem::Expr>()) names.push_back(e->alias ? *e->alias : aggregate_display_name(e->expr));
  }
  const auto is_output_name = [&](const Expr& key) {
    const Expr::Column* c = key.get_if<Expr::Column>();
    return c && std::find(names.begin(), names.end(), c->name) != names.end();
  };
  const auto is_group_key = [&](const Expr& key) {
    return select.group_by && std::find(select.group_by->begin(), select.group_by->end(), key) != select.group_by->end();
  };
  std::vector<OrderKeySource> out;
  for (const auto& [key, direction] : *select.order_by) {
    OrderKeySource& source = out.emplace_back();
    source.over_group = parser::expr_contains_aggregate(key) || reads_qualified_name(key) ||
                        (is_group_key(key) && !is_output_name(key));
    if (!source.over_group) continue;
    for (const SelectItem& item : select.items) {
      const auto* e = item.get_if<SelectItem::Expr>();
      if (e && e->expr == key) {
        source.item_name = e->alias ? *e->alias : aggregate_display_name(e->expr);
        break;
      }
    }
  }
  return out;
}

// The value of a top-level member of the row's document; NULL when it is missing.
SqlValue member_of(EvalContext& ctx, const std::string& name) {
  const nlohmann::json& doc = ctx.document();
  if (!doc.is_object()) return SqlValue::null();
  auto it = doc.find(name);
  return it == doc.end() ? SqlValue::null() : eval::json_value_to_sql(*it);
}

// HAVING, gap-filling, ORDER BY and LIMIT over the groups' output rows, groups in key order.
Result<SqlResult> output_of_groups(const std::vector<Group>& groups, const parser::Statement::Select& select) {
  const bool pk_count = is_pk_count_shape(select.items);
  std::vector<OutputRow> out;
  out.reserve(groups.size());
  for (const Group& g : groups) {
    OutputRow o = TRY(build_output(g, select.items, pk_count));
    if (select.having && !eval::is_truthy(TRY(eval_aggregate_expr(*select.having, g.rows, &o.aliases)))) continue;
    out.push_back(std::move(o));
  }

  std::optional<std::uint64_t> step = select.group_by ? gapfill_step(*select.group_by) : std::nullopt;
  if (step) {
    // Each real row keeps its group through the fill, for ORDER BY.
    std::vector<VisibleRow> plain;
    plain.reserve(out.size());
    for (OutputRow& o : out) plain.push_back(std::move(o.row));
    std::vector<std::size_t> sources;
    plain = TRY(apply_gapfill(std::move(plain), *step, select.items, &sources));
    std::vector<OutputRow> filled;
    filled.reserve(plain.size());
    for (std::size_t i = 0; i < plain.size(); ++i) {
      if (sources[i] == kFillRow) {
        filled.push_back(OutputRow{std::move(plain[i]), {}, nullptr});
      } else {
        filled.push_back(OutputRow{std::move(plain[i]), std::move(out[sources[i]].aliases), out[sources[i]].group});
      }
    }
    out = std::move(filled);
  }

  if (select.order_by && !select.order_by->empty()) {
    const OrderBy& order_by = *select.order_by;
    const std::vector<OrderKeySource> sources = order_key_sources(select);
    static const GroupRows kFillGroup{{}, nullptr, nullptr, true};
    std::vector<std::vector<SqlValue>> keys;
    keys.reserve(out.size());
    for (const OutputRow& o : out) {
      EvalContext ctx(o.row);
      std::vector<SqlValue> k = eval_order_keys(ctx, order_by);
      for (std::size_t i = 0; i < order_by.size(); ++i) {
        const OrderKeySource& source = sources[i];
        if (!source.over_group) continue;
        if (o.group) {
          k[i] = TRY(eval_aggregate_expr(order_by[i].first, *o.group));
        } else if (source.item_name) {
          k[i] = member_of(ctx, *source.item_name);
        } else {
          k[i] = TRY(eval_aggregate_expr(order_by[i].first, kFillGroup));
        }
      }
      keys.push_back(std::move(k));
    }
    out = apply_permutation(std::move(out), sort_by_keys(keys, order_by));
  }

  SqlResult::Rows result;
  std::size_t n = out.size();
  if (select.limit && *select.limit < n) n = static_cast<std::size_t>(*select.limit);
  result.rows.reserve(n);
  for (std::size_t i = 0; i < n; ++i) result.rows.push_back(std::move(out[i].row.doc));
  return SqlResult{std::move(result)};
}

}  // namespace


namespace {

// How a folded aggregate call combines its argument's values (as eval_aggregate does over kept
// rows): a count of the rows or of the non-NULL values; the sum, mean, least or greatest of the
// values that read as numbers; or a call without an argument, which reads nothing.
enum class FoldKind : std::uint8_t { CountRows, CountValues, Sum, Avg, Min, Max, NoArgumentCount, NoArgument };

// One folded call's state in one group.
struct Accumulator {
  double sum = 0;
  double best = 0;
  std::size_t values = 0;  // values counted, or numbers seen
};

// The call an expression reads a group's value of, as eval_aggregate_expr walks it: the aggregate
// calls, and the parts of functions, operators, CASE and CAST, whose other parts read the first row.
void collect_aggregate_calls(const Expr& expr, std::vector<const Expr::Function*>& out) {
  if (const auto* f = expr.get_if<Expr::Function>()) {
    if (parser::is_aggregate_function(f->name)) {
      out.push_back(f);
      return;
    }
    for (const Expr& arg : f->args) collect_aggregate_calls(arg, out);
  } else if (const auto* b = expr.get_if<Expr::BinOp>()) {
    collect_aggregate_calls(b->left, out);
    collect_aggregate_calls(b->right, out);
  } else if (const auto* c = expr.get_if<Expr::Case>()) {
    if (c->operand) collect_aggregate_calls(*c->operand, out);
    for (const auto& [when, then] : c->when_clauses) {
      collect_aggregate_calls(when, out);
      collect_aggregate_calls(then, out);
    }
    if (c->else_clause) collect_aggregate_calls(*c->else_clause, out);
  } else if (const auto* c = expr.get_if<Expr::Cast>()) {
    collect_aggregate_calls(c->expr, out);
  }
}

std::optional<FoldKind> fold_kind(const Expr::Function& f) {
  const std::string name = util::to_upper_full(f.name);
  const bool count = name == "COUNT";
  if (!count && name != "SUM" && name != "AVG" && name != "MIN" && name != "MAX") return std::nullopt;
  if (f.args.empty()) return count ? FoldKind::NoArgumentCount : FoldKind::NoArgument;
  const Expr& arg = f.args[0];
  if (count) return arg.is<Expr::Star>() ? FoldKind::CountRows : FoldKind::CountValues;
  if (arg.is<Expr::Star>() || !reads_only_its_row(arg)) return std::nullopt;
  if (name == "SUM") return FoldKind::Sum;
  if (name == "AVG") return FoldKind::Avg;
  return name == "MIN" ? FoldKind::Min : FoldKind::Max;
}

}  // namespace

struct GroupFold::Slot {
  FoldKind kind;
  const Expr* arg;  // the argument read, for the kinds that read one
};

struct GroupFold::Folding {
  struct Entry {
    std::string key;
    std::optional<VisibleRow> first;
    std::vector<Accumulator> acc;
    std::size_t rows = 0;
  };
  std::vector<Entry> groups;  // in the order of their first rows
  std::unordered_map<std::string, std::size_t> index;
  std::string key;
  util::JsonMembers scratch;
  std::optional<QuenlorError> key_error;
};

GroupFold::GroupFold(const parser::Statement::Select& select, const Expr* filter,
                     std::span<const eval::TableBinding> tables)
    : select_(&select), filter_(filter), tables_(tables), folding_(std::make_unique<Folding>()) {}

GroupFold::GroupFold(GroupFold&&) noexcept = default;
GroupFold::~GroupFold() = default;

std::optional<GroupFold> GroupFold::plan(const parser::Statement::Select& select, const Expr* filter,
                                         std::span<const eval::TableBinding> tables) {
  const auto has_window = [](const Expr& e) { return parser::expr_contains_window(e); };
  std::vector<const Expr::Function*> calls;
  for (const SelectItem& item : select.items) {
    if (const auto* e = item.get_if<SelectItem::Expr>()) {
      if (has_window(e->expr)) return std::nullopt;
      collect_aggregate_calls(e->expr, calls);
    }
  }
  if (select.having) {
    if (has_window(*select.having)) return std::nullopt;
    collect_aggregate_calls(*select.having, calls);
  }
  if (select.order_by) {
    for (const auto& [expr, direction] : *select.order_by) {
      if (has_window(expr)) return std::nullopt;
      collect_aggregate_calls(expr, calls);
    }
  }
  GroupFold fold(select, filter, tables);
  for (const Expr::Function* f : calls) {
    const std::optional<FoldKind> kind = fold_kind(*f);
    if (!kind) return std::nullopt;
    fold.slots_.push_back(Slot{*kind, f->args.empty() ? nullptr : &f->args[0]});
  }
  fold.calls_ = std::move(calls);
  if (!select.group_by) {
    fold.folding_->groups.push_back(Folding::Entry{"__all__", {}, std::vector<Accumulator>(fold.slots_.size()), 0});
  }
  return fold;
}

Result<void> GroupFold::add(eval::RowView row) {
  Folding& f = *folding_;
  EvalContext ctx(row, tables_, f.scratch);
  if (filter_ && !eval::is_truthy(TRY(ctx.eval(*filter_)))) return {};
  if (f.key_error) return {};
  std::size_t at = 0;
  if (select_->group_by) {
    const std::vector<Expr>& by = *select_->group_by;
    f.key.clear();
    for (std::size_t i = 0; i < by.size(); ++i) {
      if (i) f.key.push_back('\0');
      Result<SqlValue> v = ctx.eval(by[i]);
      if (!v) {
        f.key_error = std::move(v.error());
        return {};
      }
      append_key_part(f.key, *v);
    }
    auto [it, inserted] = f.index.try_emplace(f.key, f.groups.size());
    if (inserted) f.groups.push_back(Folding::Entry{f.key, {}, std::vector<Accumulator>(slots_.size()), 0});
    at = it->second;
  }
  Folding::Entry& group = f.groups[at];
  if (!group.first) group.first.emplace(VisibleRow{std::string(row.pk), std::string(row.doc)});
  ++group.rows;
  for (std::size_t k = 0; k < slots_.size(); ++k) {
    const Slot& slot = slots_[k];
    Accumulator& acc = group.acc[k];
    if (slot.kind == FoldKind::CountRows || slot.kind == FoldKind::NoArgumentCount ||
        slot.kind == FoldKind::NoArgument) {
      continue;
    }
    Result<SqlValue> read = ctx.eval(*slot.arg);
    const SqlValue v = read ? std::move(*read) : SqlValue::null();
    if (slot.kind == FoldKind::CountValues) {
      acc.values += v.is_null() ? 0 : 1;
      continue;
    }
    const std::optional<double> x = eval::to_f64(v);
    if (!x) continue;
    if (acc.values++ == 0) acc.best = *x;
    switch (slot.kind) {
      case FoldKind::Sum:
      case FoldKind::Avg:
        acc.sum += *x;
        break;
      case FoldKind::Min:
        if (!(acc.best <= *x)) acc.best = *x;
        break;
      case FoldKind::Max:
        if (!(*x <= acc.best)) acc.best = *x;
        break;
      default:
        break;
    }
  }
  return {};
}

Result<SqlResult> GroupFold::finish() && {
  Folding& f = *folding_;
  if (f.key_error) return fail(std::move(*f.key_error));
  const std::size_t n = f.groups.size();
  std::vector<FoldedAggregates> folded(n);
  std::vector<EvalContext> firsts;
  firsts.reserve(n);  // never moved: the groups point at them
  std::vector<Group> groups(n);
  for (std::size_t g = 0; g < n; ++g) {
    Folding::Entry& entry = f.groups[g];
    FoldedAggregates& values = folded[g];
    values.calls = &calls_;
    values.rows = entry.rows;
    values.values.reserve(slots_.size());
    for (std::size_t k = 0; k < slots_.size(); ++k) {
      const Accumulator& acc = entry.acc[k];
      const double numbers = static_cast<double>(acc.values);
      switch (slots_[k].kind) {
        case FoldKind::CountRows: values.values.push_back(SqlValue::number(static_cast<double>(entry.rows))); break;
        case FoldKind::CountValues: values.values.push_back(SqlValue::number(numbers)); break;
        case FoldKind::NoArgumentCount: values.values.push_back(SqlValue::number(0)); break;
        case FoldKind::NoArgument: values.values.push_back(SqlValue::null()); break;
        case FoldKind::Sum:
        case FoldKind::Avg:
        case FoldKind::Min:
        case FoldKind::Max: {
          if (acc.values == 0) {
            values.values.push_back(SqlValue::null());
            break;
          }
          const FoldKind kind = slots_[k].kind;
          const double x = kind == FoldKind::Sum ? acc.sum : kind == FoldKind::Avg ? acc.sum / numbers : acc.best;
          values.values.push_back(SqlValue::number(x));
          break;
        }
      }
    }
    groups[g].key = std::move(entry.key);
    groups[g].rows.folded = &values;
    if (entry.first) groups[g].rows.rows.push_back(GroupRow{&firsts.emplace_back(*entry.first, tables_), 0});
  }
  std::vector<std::size_t> order =
      sort_permutation(n, [&](std::size_t a, std::size_t b) { return groups[a].key < groups[b].key; });
  return output_of_groups(apply_permutation(std::move(groups), order), *select_);
}

}  // namespace quenlordb::sql::exec
