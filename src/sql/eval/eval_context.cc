#include "sql/eval/eval_context.h"

#include <algorithm>
#include <cmath>
#include <memory>
#include <string>
#include <type_traits>
#include <unordered_set>
#include <utility>

#include "sql/eval/like.h"
#include "sql/eval/number_text.h"
#include "util/saturate.h"
#include "sql/eval/scalar_function.h"
#include "sql/parser/text.h"
#include "util/json_document.h"
#include "util/utf8.h"

namespace quenlordb::sql::eval {

namespace {

using parser::BinOperator;
using parser::Expr;

bool is_less(std::partial_ordering o) { return o == std::partial_ordering::less; }
bool is_equal(std::partial_ordering o) { return o == std::partial_ordering::equivalent; }
bool is_greater(std::partial_ordering o) { return o == std::partial_ordering::greater; }

SqlValue arithmetic(const SqlValue& left, BinOperator op, const SqlValue& right) {
  const std::optional<double> a = to_f64(left);
  if (!a) return SqlValue::null();
  const std::optional<double> b = to_f64(right);
  if (!b) return SqlValue::null();
  switch (op) {
    case BinOperator::Add:
      return SqlValue::number(*a + *b);
    case BinOperator::Sub:
      return SqlValue::number(*a - *b);
    case BinOperator::Mul:
      return SqlValue::number(*a * *b);
    case BinOperator::Div:
      return *b == 0.0 ? SqlValue::null() : SqlValue::number(*a / *b);
    case BinOperator::Mod:
      return *b == 0.0 ? SqlValue::null() : SqlValue::number(std::fmod(*a, *b));
    default:
      return SqlValue::null();
  }
}

// Each expression kind has its own function, kept out of line, and EvalContext::eval only
// dispatches to them, so that the recursion carries one small frame per tree level: a handler
// evaluates its children and hands the values to out-of-line code for the rest.
#define QUENLORDB_EVAL_NODE [[gnu::noinline]] Result<SqlValue>

QUENLORDB_EVAL_NODE eval_node(EvalContext& ctx, const Expr::Column& n) {
  if (parser::eq_ignore_ascii_case(n.name, "pk")) return SqlValue::text(ctx.pk());
  if (parser::eq_ignore_ascii_case(n.name, "doc")) return SqlValue::text(util::decode_utf8_lossy(ctx.doc()));
  return ctx.member(n.name);
}

QUENLORDB_EVAL_NODE eval_node(EvalContext& ctx, const Expr::FieldAccess& n) {
  if (!parser::eq_ignore_ascii_case(n.column, "doc")) return ctx.qualified(n.column, n.path);
  return ctx.field_path(n.path);
}

QUENLORDB_EVAL_NODE eval_node(EvalContext&, const Expr::StringLit& n) { return SqlValue::text(n.value); }
QUENLORDB_EVAL_NODE eval_node(EvalContext&, const Expr::NumberLit& n) { return SqlValue::number(n.value); }
QUENLORDB_EVAL_NODE eval_node(EvalContext&, const Expr::BoolLit& n) { return SqlValue::boolean(n.value); }

// AND and OR: the right side only when the left does not decide, and always a Bool.
QUENLORDB_EVAL_NODE eval_logical(EvalContext& ctx, const Expr::BinOp& n) {
  const Result<SqlValue> left = ctx.eval(n.left);
  if (!left) return left;
  const bool left_true = is_truthy(*left);
  if (n.op == BinOperator::And ? !left_true : left_true) return SqlValue::boolean(left_true);
  const Result<SqlValue> right = ctx.eval(n.right);
  if (!right) return right;
  return SqlValue::boolean(is_truthy(*right));
}

// A comparison of a document member with a number literal, decided from the member's text unless it
// is a string: two numbers compare as cmp_partial compares them, and any other value, a missing
// member included, compares with no number. None when the general path must decide.
std::optional<bool> compare_member_with_number(EvalContext& ctx, const Expr::BinOp& n) {
  if (n.op > BinOperator::GtEq) return std::nullopt;  // Eq, NotEq, Lt, Gt, LtEq, GtEq come first
  const Expr::Column* column = n.left.get_if<Expr::Column>();
  const Expr::NumberLit* literal = n.right.get_if<Expr::NumberLit>();
  bool swapped = false;
  if (!column || !literal) {
    column = n.right.get_if<Expr::Column>();
    literal = n.left.get_if<Expr::NumberLit>();
    swapped = true;
    if (!column || !literal) return std::nullopt;
  }
  if (parser::eq_ignore_ascii_case(column->name, "pk") || parser::eq_ignore_ascii_case(column->name, "doc")) {
    return std::nullopt;
  }
  const util::JsonMembers* index = ctx.member_index();
  if (!index) return std::nullopt;
  const std::optional<util::JsonMembers::Value> v = index->find(column->name);
  // Null, booleans, and the texts of arrays and objects (which never read as numbers) compare with
  // no number; a string might read as one.
  if (!v || v->kind != util::JsonKind::Number) {
    if (v && v->kind == util::JsonKind::String) return std::nullopt;
    return false;
  }
  const double member = util::json_number_value(v->text);
  const double a = swapped ? literal->value : member;
  const double b = swapped ? member : literal->value;
  switch (n.op) {
    case BinOperator::Eq: return a == b;
    case BinOperator::NotEq: return a < b || a > b;
    case BinOperator::Lt: return a < b;
    case BinOperator::Gt: return a > b;
    case BinOperator::LtEq: return a <= b;
    case BinOperator::GtEq: return a >= b;
    default: return std::nullopt;
  }
}

QUENLORDB_EVAL_NODE eval_node(EvalContext& ctx, const Expr::BinOp& n) {
  if (n.op == BinOperator::And || n.op == BinOperator::Or) return eval_logical(ctx, n);
  if (const std::optional<bool> quick = compare_member_with_number(ctx, n)) return SqlValue::boolean(*quick);
  const Result<SqlValue> left = ctx.eval(n.left);
  if (!left) return left;
  const Result<SqlValue> right = ctx.eval(n.right);
  if (!right) return right;
  return eval_binop(*left, n.op, *right);
}

QUENLORDB_EVAL_NODE eval_node(EvalContext& ctx, const Expr::Not& n) {
  const Result<SqlValue> v = ctx.eval(n.expr);
  if (!v) return v;
  return SqlValue::boolean(!is_truthy(*v));
}

QUENLORDB_EVAL_NODE eval_node(EvalContext& ctx, const Expr::Function& n) {
  return eval_scalar_function(n.name, n.args, ctx);
}

QUENLORDB_EVAL_NODE eval_node(EvalContext& ctx, const Expr::IsNull& n) {
  const Result<SqlValue> v = ctx.eval(n.expr);
  if (!v) return v;
  return SqlValue::boolean(v->is_null() != n.negated);
}

[[gnu::noinline]] bool between(const SqlValue& v, const SqlValue& low, const SqlValue& high) {
  const std::partial_ordering to_low = cmp_partial(v, low);
  const std::partial_ordering to_high = cmp_partial(v, high);
  return (is_equal(to_low) || is_greater(to_low)) && (is_less(to_high) || is_equal(to_high));
}

QUENLORDB_EVAL_NODE eval_node(EvalContext& ctx, const Expr::Between& n) {
  const Result<SqlValue> v = ctx.eval(n.expr);
  if (!v) return v;
  const Result<SqlValue> low = ctx.eval(n.low);
  if (!low) return low;
  const Result<SqlValue> high = ctx.eval(n.high);
  if (!high) return high;
  return SqlValue::boolean(between(*v, *low, *high) != n.negated);
}

// Whether expr reads nothing of the row and calls no function: its value is the same for every row.
bool is_constant(const Expr& expr) {
  return std::visit(
      [](const auto& n) -> bool {
        using T = std::decay_t<decltype(n)>;
        if constexpr (std::is_same_v<T, Expr::StringLit> || std::is_same_v<T, Expr::NumberLit> ||
                      std::is_same_v<T, Expr::BoolLit> || std::is_same_v<T, Expr::Null> ||
                      std::is_same_v<T, Expr::Star>) {
          return true;
        } else if constexpr (std::is_same_v<T, Expr::BinOp>) {
          return is_constant(n.left) && is_constant(n.right);
        } else if constexpr (std::is_same_v<T, Expr::Not> || std::is_same_v<T, Expr::IsNull> ||
                             std::is_same_v<T, Expr::Cast>) {
          return is_constant(n.expr);
        } else if constexpr (std::is_same_v<T, Expr::Between>) {
          return is_constant(n.expr) && is_constant(n.low) && is_constant(n.high);
        } else {
          return false;  // Column, FieldAccess, Function, WindowFunction; Case and InList too
        }
      },
      expr.node());
}

// The values of an IN list of constants, for one probe per row. contains(v) is true exactly when
// cmp_partial finds v Equal to one of the values: Null to Null, a Bool to the same Bool, a number
// to an equal number (-0 equals 0, NaN equals nothing) or to a text that reads as one, a text to
// the same bytes or, when it reads as a number, to that number.
class InListValues {
 public:
  void add(SqlValue v) {
    switch (v.kind()) {
      case SqlValue::Kind::Null:
        null_ = true;
        return;
      case SqlValue::Kind::Bool:
        (v.bool_value() ? true_ : false_) = true;
        return;
      case SqlValue::Kind::Number:
        if (!std::isnan(v.number_value())) numbers_.insert(v.number_value());
        return;
      case SqlValue::Kind::Text:
        if (const std::optional<double> x = parse_decimal_float(v.text_value()); x && !std::isnan(*x)) {
          numeric_texts_.insert(*x);
        }
        texts_.insert(std::move(v).text_value());
        return;
    }
  }

  bool contains(const SqlValue& v) const {
    switch (v.kind()) {
      case SqlValue::Kind::Null:
        return null_;
      case SqlValue::Kind::Bool:
        return v.bool_value() ? true_ : false_;
      case SqlValue::Kind::Number: {
        const double x = v.number_value();
        return numbers_.contains(x) || numeric_texts_.contains(x);  // NaN is in neither
      }
      case SqlValue::Kind::Text: {
        if (texts_.contains(v.text_value())) return true;
        if (numbers_.empty()) return false;
        const std::optional<double> x = parse_decimal_float(v.text_value());
        return x && numbers_.contains(*x);
      }
    }
    return false;
  }

 private:
  // std::hash<double> gives 0 and -0 one hash, and == finds them equal, as cmp_partial does.
  bool null_ = false, true_ = false, false_ = false;
  std::unordered_set<double> numbers_;        // the Number values
  std::unordered_set<double> numeric_texts_;  // the Text values that read as numbers, read so
  std::unordered_set<std::string> texts_;     // the Text values
};

// An IN list's lookup, made on its first evaluation: the values when every item is a constant
// that evaluates without error, else nothing (the items are then evaluated for every row).
struct InListLookup {
  std::optional<InListValues> values;
};

const InListLookup& in_list_lookup(EvalContext& ctx, const Expr::InList& n) {
  if (const InListLookup* done = n.derived.get<InListLookup>()) return *done;
  auto lookup = std::make_shared<InListLookup>();
  if (std::all_of(n.list.begin(), n.list.end(), is_constant)) {
    InListValues values;
    bool failed = false;
    for (const Expr& item : n.list) {
      Result<SqlValue> v = ctx.eval(item);
      if (!v) {
        failed = true;  // reached only when no earlier item matches: the per-row path reports it
        break;
      }
      values.add(std::move(*v));
    }
    if (!failed) lookup->values = std::move(values);
  }
  return n.derived.set<InListLookup>(std::move(lookup));
}

QUENLORDB_EVAL_NODE eval_node(EvalContext& ctx, const Expr::InList& n) {
  const Result<SqlValue> v = ctx.eval(n.expr);
  if (!v) return v;
  if (const InListLookup& lookup = in_list_lookup(ctx, n); lookup.values) {
    return SqlValue::boolean(lookup.values->contains(*v) != n.negated);
  }
  for (const Expr& item : n.list) {
    const Result<SqlValue> candidate = ctx.eval(item);
    if (!candidate) return candidate;
    if (is_equal(cmp_partial(*v, *candidate))) return SqlValue::boolean(!n.negated);
  }
  return SqlValue::boolean(n.negated);
}

QUENLORDB_EVAL_NODE eval_node(EvalContext& ctx, const Expr::Case& n) {
  if (n.operand) {
    const Result<SqlValue> operand = ctx.eval(*n.operand);
    if (!operand) return operand;
    for (const auto& [when, then] : n.when_clauses) {
      const Result<SqlValue> v = ctx.eval(when);
      if (!v) return v;
      if (is_equal(cmp_partial(*operand, *v))) return ctx.eval(then);
    }
  } else {
    for (const auto& [when, then] : n.when_clauses) {
      const Result<SqlValue> v = ctx.eval(when);
      if (!v) return v;
      if (is_truthy(*v)) return ctx.eval(then);
    }
  }
  if (n.else_clause) return ctx.eval(*n.else_clause);
  return SqlValue::null();
}

QUENLORDB_EVAL_NODE eval_node(EvalContext& ctx, const Expr::Cast& n) {
  Result<SqlValue> v = ctx.eval(n.expr);
  if (!v) return v;
  return cast_value(std::move(*v), n.target_type);
}

QUENLORDB_EVAL_NODE null_value() { return SqlValue::null(); }

[[noreturn, gnu::noinline, gnu::cold]] void unknown_kind() { panic("expression of unknown kind"); }

#undef QUENLORDB_EVAL_NODE

SqlValue cast_to_integer(const SqlValue& value) {
  const std::optional<double> x = to_f64(value);
  if (!x) return SqlValue::null();
  return SqlValue::number(static_cast<double>(util::saturate_to_i64(*x)));
}

SqlValue cast_to_real(const SqlValue& value) {
  // Same as to_f64: Bool gives 1.0 or 0.0, text is read by the decimal float syntax.
  const std::optional<double> x = to_f64(value);
  return x ? SqlValue::number(*x) : SqlValue::null();
}

SqlValue cast_to_text(SqlValue value) {
  switch (value.kind()) {
    case SqlValue::Kind::Null:
      return value;
    case SqlValue::Kind::Bool:
      return SqlValue::text(value.bool_value() ? "true" : "false");
    case SqlValue::Kind::Number:
      return SqlValue::text(format_number(value.number_value()));
    case SqlValue::Kind::Text:
      return value;
  }
  return SqlValue::null();
}

SqlValue cast_to_boolean(const SqlValue& value) {
  switch (value.kind()) {
    case SqlValue::Kind::Null:
    case SqlValue::Kind::Bool:
      return value;
    case SqlValue::Kind::Number:
      return SqlValue::boolean(value.number_value() != 0.0);
    case SqlValue::Kind::Text: {
      // Lower-casing can only give "true" from ASCII letters (no other character lower-cases to
      // t, r, u or e), so the ASCII comparison is the full one.
      const std::string& t = value.text_value();
      return SqlValue::boolean(t == "1" || parser::eq_ignore_ascii_case(t, "true"));
    }
  }
  return SqlValue::null();
}

}  // namespace

Result<SqlValue> EvalContext::eval(const Expr& expr) {
  const Expr::Node& node = expr.node();
  switch (node.index()) {
    case 0:
      return eval_node(*this, *std::get_if<Expr::Column>(&node));
    case 1:
      return eval_node(*this, *std::get_if<Expr::FieldAccess>(&node));
    case 2:
      return eval_node(*this, *std::get_if<Expr::StringLit>(&node));
    case 3:
      return eval_node(*this, *std::get_if<Expr::NumberLit>(&node));
    case 4:
      return eval_node(*this, *std::get_if<Expr::BoolLit>(&node));
    case 5:
      return null_value();
    case 6:
      return eval_node(*this, *std::get_if<Expr::BinOp>(&node));
    case 7:
      return eval_node(*this, *std::get_if<Expr::Not>(&node));
    case 8:
      return eval_node(*this, *std::get_if<Expr::Function>(&node));
    case 9:  // Star
      return null_value();
    case 10:
      return eval_node(*this, *std::get_if<Expr::IsNull>(&node));
    case 11:
      return eval_node(*this, *std::get_if<Expr::Between>(&node));
    case 12:
      return eval_node(*this, *std::get_if<Expr::InList>(&node));
    case 13:  // WindowFunction: computed by the window path
      return null_value();
    case 14:
      return eval_node(*this, *std::get_if<Expr::Case>(&node));
    case 15:
      return eval_node(*this, *std::get_if<Expr::Cast>(&node));
  }
  unknown_kind();
}

void EvalContext::reset(RowView row) {
  tables_ = {};
  sides_.reset();
  doc_cache_.reset();
  doc_unparsed_ = false;
  members_ = own_members_.get();
  if (members_) members_->clear();
  pk_ = row.pk;
  doc_ = row.doc;
}

void EvalContext::rebase(RowView row) {
  if (members_ && members_->scanned()) members_->rebase(row.doc);
  pk_ = row.pk;
  doc_ = row.doc;
}

const nlohmann::json& EvalContext::document() {
  if (!doc_cache_) {
    Result<nlohmann::json> parsed = util::parse_json_document(doc_);
    doc_unparsed_ = !parsed;
    doc_cache_.emplace(parsed ? std::move(*parsed) : nlohmann::json(nullptr));
  }
  return *doc_cache_;
}

SqlValue EvalContext::qualified(std::string_view qualifier, std::span<const std::string> path) {
  const TableBinding* named = nullptr;
  for (const TableBinding& t : tables_) {
    if (t.name == qualifier) {
      named = &t;
      break;
    }
    if (!named && parser::eq_ignore_ascii_case(t.name, qualifier)) named = &t;
  }
  if (!named || named->absent) return SqlValue::null();
  EvalContext& row = named->row ? *named->row : *this;
  if (path.size() == 1 && parser::eq_ignore_ascii_case(path[0], "pk")) return SqlValue::text(row.pk());
  return row.field_path(path);
}

SqlValue EvalContext::side_path(std::span<const std::string> path) {
  EvalContext* side = nullptr;
  if (path[0] == "left_doc") side = sides_->left;
  else if (path[0] == "right_doc") side = sides_->right;
  else return SqlValue::null();
  if (!side) return SqlValue::null();
  if (path.size() == 1) {
    // The joined document carries a side that is not JSON as the text of its bytes.
    const nlohmann::json& doc = side->document();
    if (side->doc_unparsed_) return SqlValue::text(util::decode_utf8_lossy(side->doc_));
    return json_value_to_sql(doc);
  }
  return side->field_path(path.subspan(1));
}

const util::JsonMembers* EvalContext::members() {
  if (!members_) {
    own_members_ = std::make_unique<util::JsonMembers>();
    members_ = own_members_.get();
  }
  if (!members_->scanned()) members_->scan(doc_);
  return members_->indexed() ? members_ : nullptr;
}

SqlValue EvalContext::member(std::string_view name) {
  if (sides_) {
    const std::string key(name);
    return side_path(std::span<const std::string>(&key, 1));
  }
  if (!doc_cache_) {
    if (const util::JsonMembers* index = members()) {
      const std::optional<util::JsonMembers::Value> v = index->find(name);
      return v ? json_text_to_sql(v->kind, v->text) : SqlValue::null();
    }
  }
  const nlohmann::json& doc = document();
  if (!doc.is_object()) return SqlValue::null();
  const auto& members = *doc.get_ptr<const nlohmann::json::object_t*>();
  const auto it = members.find(name);
  return it == members.end() ? SqlValue::null() : json_value_to_sql(it->second);
}

SqlValue EvalContext::field_path(std::span<const std::string> path) {
  if (sides_ && !path.empty()) return side_path(path);
  if (!doc_cache_ && !path.empty()) {
    if (const util::JsonMembers* index = members()) {
      std::optional<util::JsonMembers::Value> v = index->find(path[0]);
      util::JsonMembers inner;
      for (std::size_t i = 1; i < path.size() && v; ++i) {
        if (v->kind != util::JsonKind::Object) return SqlValue::null();
        inner.scan(v->text);
        v = inner.find(path[i]);
      }
      return v ? json_text_to_sql(v->kind, v->text) : SqlValue::null();
    }
  }
  const nlohmann::json* at = &document();
  for (const std::string& name : path) {
    if (!at->is_object()) return SqlValue::null();
    const auto& members = *at->get_ptr<const nlohmann::json::object_t*>();
    const auto it = members.find(name);
    if (it == members.end()) return SqlValue::null();
    at = &it->second;
  }
  return json_value_to_sql(*at);
}

[[gnu::noinline]] SqlValue eval_binop(const SqlValue& left, BinOperator op, const SqlValue& right) {
  switch (op) {
    case BinOperator::Eq:
      return SqlValue::boolean(is_equal(cmp_partial(left, right)));
    case BinOperator::NotEq: {
      const std::partial_ordering o = cmp_partial(left, right);
      return SqlValue::boolean(is_less(o) || is_greater(o));
    }
    case BinOperator::Lt:
      return SqlValue::boolean(is_less(cmp_partial(left, right)));
    case BinOperator::Gt:
      return SqlValue::boolean(is_greater(cmp_partial(left, right)));
    case BinOperator::LtEq: {
      const std::partial_ordering o = cmp_partial(left, right);
      return SqlValue::boolean(is_less(o) || is_equal(o));
    }
    case BinOperator::GtEq: {
      const std::partial_ordering o = cmp_partial(left, right);
      return SqlValue::boolean(is_greater(o) || is_equal(o));
    }
    case BinOperator::Like:
      return SqlValue::boolean(left.is_text() && right.is_text() && like_match(left.text_value(), right.text_value()));
    case BinOperator::ILike:
      return SqlValue::boolean(ilike_match(to_sort_string(left), to_sort_string(right)));
    case BinOperator::Add:
    case BinOperator::Sub:
    case BinOperator::Mul:
    case BinOperator::Div:
    case BinOperator::Mod:
      return arithmetic(left, op, right);
    case BinOperator::And:
    case BinOperator::Or:
      // The evaluator short-circuits these before reaching here; as values, they are the truth tests.
      return SqlValue::boolean(op == BinOperator::And ? is_truthy(left) && is_truthy(right)
                                                      : is_truthy(left) || is_truthy(right));
  }
  return SqlValue::null();
}

[[gnu::noinline]] Result<SqlValue> cast_value(SqlValue value, std::string_view target_type) {
  const auto is = [&](std::string_view word) { return target_type == word; };
  if (is("INT") || is("INTEGER")) return cast_to_integer(value);
  if (is("REAL") || is("FLOAT") || is("DOUBLE")) return cast_to_real(value);
  if (is("TEXT") || is("VARCHAR") || is("STRING")) return cast_to_text(std::move(value));
  if (is("BOOL") || is("BOOLEAN")) return cast_to_boolean(value);
  return fail(QuenlorError::sql_execution("unsupported CAST target type: " + std::string(target_type)));
}

Result<std::vector<VisibleRow>> filter_rows(std::vector<VisibleRow> rows, const Expr& predicate,
                                            std::span<const TableBinding> tables) {
  std::size_t kept = 0;
  util::JsonMembers scratch;
  for (std::size_t i = 0; i < rows.size(); ++i) {
    bool keep;
    {
      EvalContext ctx(rows[i], tables, scratch);
      const SqlValue v = TRY(ctx.eval(predicate));
      keep = is_truthy(v);
    }
    if (!keep) continue;
    if (kept != i) rows[kept] = std::move(rows[i]);
    ++kept;
  }
  rows.erase(rows.begin() + static_cast<std::ptrdiff_t>(kept), rows.end());
  return rows;
}

}  // namespace quenlordb::sql::eval
