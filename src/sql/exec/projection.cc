#include "sql/exec/projection.h"

#include <algorithm>
#include <optional>
#include <utility>
#include <vector>

#include "sql/eval/sql_value.h"
#include "sql/parser/text.h"
#include "util/json_document.h"
#include "util/json_text.h"
#include "util/utf8.h"

namespace quenlordb::sql::exec {

using parser::Expr;
using parser::SelectItem;

namespace {

// The item's expression when it is an unaliased expression.
const Expr* bare_expr(const SelectItem& item) {
  const SelectItem::Expr* e = item.get_if<SelectItem::Expr>();
  return e && !e->alias ? &e->expr : nullptr;
}

bool is_column(const SelectItem& item, std::string_view name) {
  const Expr* e = bare_expr(item);
  const Expr::Column* c = e ? e->get_if<Expr::Column>() : nullptr;
  return c && parser::eq_ignore_ascii_case(c->name, name);
}

bool is_count_star(const SelectItem& item) {
  const Expr* e = bare_expr(item);
  const Expr::Function* f = e ? e->get_if<Expr::Function>() : nullptr;
  return f && parser::eq_ignore_ascii_case(f->name, "count") && f->args.size() == 1 && f->args[0].is<Expr::Star>();
}

void append_display_args(std::string& out, const std::vector<Expr>& args) {
  for (std::size_t i = 0; i < args.size(); ++i) {
    if (i) out += ", ";
    out += expr_display_name(args[i]);
  }
}

}  // namespace

ProjectionClass detect_legacy_projection(const std::vector<SelectItem>& items) {
  if (items.size() == 1) {
    if (is_column(items[0], "doc")) return ProjectionClass::Doc;
    if (is_count_star(items[0])) return ProjectionClass::Count;
  } else if (items.size() == 2 && is_column(items[0], "pk")) {
    if (is_column(items[1], "doc")) return ProjectionClass::PkAndDoc;
    if (is_count_star(items[1])) return ProjectionClass::PkAndCount;
  }
  return ProjectionClass::General;
}

bool is_plain_count_star(const std::vector<SelectItem>& items) {
  return items.size() == 1 && is_count_star(items[0]);
}

nlohmann::json decode_row_json(std::string_view bytes) {
  Result<nlohmann::json> parsed = util::parse_json_document(bytes);
  if (parsed) return std::move(*parsed);
  return nlohmann::json(util::decode_utf8_lossy(bytes));
}

std::string expr_display_name(const Expr& expr) {
  if (const auto* c = expr.get_if<Expr::Column>()) return c->name;
  if (const auto* f = expr.get_if<Expr::FieldAccess>()) {
    std::string out = f->column;
    for (const std::string& p : f->path) {
      out += '.';
      out += p;
    }
    return out;
  }
  if (const auto* f = expr.get_if<Expr::Function>()) {
    std::string out = f->name + "(";
    append_display_args(out, f->args);
    return out + ")";
  }
  if (const auto* w = expr.get_if<Expr::WindowFunction>()) {
    std::string out = w->name + "(";
    append_display_args(out, w->args);
    return out + ")";
  }
  if (expr.is<Expr::Star>()) return "*";
  return "?";
}

std::string write_json(const nlohmann::json& value) {
  return value.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

void set_item_member(const SelectItem::Expr& item, const eval::SqlValue& value, nlohmann::json& out) {
  out[item.alias ? *item.alias : expr_display_name(item.expr)] = eval::sql_value_to_json(value);
}

Result<void> project_expr_item(eval::EvalContext& ctx, const SelectItem::Expr& item, nlohmann::json& out) {
  set_item_member(item, TRY(ctx.eval(item.expr)), out);
  return {};
}

namespace {

struct NamedValue {
  std::string name;
  eval::SqlValue value;
};

// Writes into out the compact JSON object of the members, as write_json writes the tree
// sql_value_to_json makes of them (names in byte order, each once, the later member winning),
// without the tree; false when a name or text is not UTF-8, which only the tree's writer replaces.
bool write_members(std::vector<NamedValue>& members, std::string& out) {
  auto by_name = [](const NamedValue& a, const NamedValue& b) { return a.name < b.name; };
  // Members in order already, as a single one is, are left as they are: sorting them would not
  // move them, and the sort takes a buffer from the heap.
  if (!std::is_sorted(members.begin(), members.end(), by_name)) {
    std::stable_sort(members.begin(), members.end(), by_name);
  }
  out.clear();
  out += '{';
  for (std::size_t i = 0; i < members.size(); ++i) {
    if (i + 1 < members.size() && members[i].name == members[i + 1].name) continue;  // a later one wins
    const eval::SqlValue& v = members[i].value;
    if (!util::validate_utf8(members[i].name) || (v.is_text() && !util::validate_utf8(v.text_value()))) {
      return false;
    }
    if (out.size() > 1) out += ',';
    util::append_json_string(out, members[i].name);
    out += ':';
    switch (v.kind()) {
      case eval::SqlValue::Kind::Null: out += "null"; break;
      case eval::SqlValue::Kind::Bool: out += v.bool_value() ? "true" : "false"; break;
      case eval::SqlValue::Kind::Number: out += write_json(eval::sql_value_to_json(v)); break;
      case eval::SqlValue::Kind::Text: util::append_json_string(out, v.text_value()); break;
    }
  }
  out += '}';
  return true;
}

// The output row of project_row, written into out (whatever it held before).
Result<void> write_row(eval::EvalContext& ctx, const std::vector<SelectItem>& items, ProjectionClass cls,
                       std::string& out) {
  switch (cls) {
    case ProjectionClass::Doc:
      out.assign(ctx.doc());
      return {};
    case ProjectionClass::PkAndDoc: {
      nlohmann::json obj = nlohmann::json::object();
      obj["doc"] = decode_row_json(ctx.doc());
      obj["pk"] = util::decode_utf8_lossy(ctx.pk());
      out = write_json(obj);
      return {};
    }
    default:
      break;
  }
  if (std::none_of(items.begin(), items.end(), [](const SelectItem& i) { return i.is<SelectItem::AllColumns>(); })) {
    std::vector<NamedValue> members;
    members.reserve(items.size());
    for (const SelectItem& item : items) {
      const SelectItem::Expr& e = *item.get_if<SelectItem::Expr>();
      eval::SqlValue value = TRY(ctx.eval(e.expr));
      members.push_back({e.alias ? *e.alias : expr_display_name(e.expr), std::move(value)});
    }
    if (write_members(members, out)) return {};
    nlohmann::json obj = nlohmann::json::object();
    for (NamedValue& m : members) obj[m.name] = eval::sql_value_to_json(m.value);
    out = write_json(obj);
    return {};
  }
  nlohmann::json obj = nlohmann::json::object();
  for (const SelectItem& item : items) {
    if (item.is<SelectItem::AllColumns>()) {
      obj["pk"] = util::decode_utf8_lossy(ctx.pk());
      obj["doc"] = decode_row_json(ctx.doc());
      continue;
    }
    TRY(project_expr_item(ctx, *item.get_if<SelectItem::Expr>(), obj));
  }
  out = write_json(obj);
  return {};
}

}  // namespace

Result<std::string> project_row(eval::EvalContext& ctx, const std::vector<SelectItem>& items, ProjectionClass cls) {
  std::string out;
  TRY(write_row(ctx, items, cls, out));
  return out;
}

RowProjection::RowProjection(const std::vector<SelectItem>& items)
    : items_(items), cls_(detect_legacy_projection(items)) {
  const SelectItem::Expr* item = items.size() == 1 ? items[0].get_if<SelectItem::Expr>() : nullptr;
  const Expr::Column* column = item ? item->expr.get_if<Expr::Column>() : nullptr;
  if (!column || !parser::eq_ignore_ascii_case(column->name, "pk")) return;
  const std::string& name = item->alias ? *item->alias : column->name;
  if (!util::validate_utf8(name)) return;  // project_row writes it with its bad bytes replaced
  pk_member_ += '{';
  util::append_json_string(pk_member_, name);
  pk_member_ += ':';
}

Result<void> RowProjection::project(eval::EvalContext& ctx, RowList& out) {
  if (cls_ == ProjectionClass::Doc) {
    out.push_back(ctx.doc());
    return {};
  }
  const std::string_view pk = ctx.pk();
  if (pk_member_.empty() || !util::validate_utf8(pk)) {
    TRY(write_row(ctx, items_, cls_, scratch_));
  } else {
    scratch_.assign(pk_member_);
    util::append_json_string(scratch_, pk);
    scratch_ += '}';
  }
  out.push_back(scratch_);
  return {};
}

Result<SqlResult> project_rows(const std::vector<eval::VisibleRow>& rows, const std::vector<SelectItem>& items) {
  SqlResult::Rows out;
  out.rows.reserve(rows.size());
  util::JsonMembers scratch;
  RowProjection projection(items);
  for (const eval::VisibleRow& row : rows) {
    eval::EvalContext ctx(row, scratch);
    TRY(projection.project(ctx, out.rows));
  }
  return SqlResult{std::move(out)};
}

}  // namespace quenlordb::sql::exec
