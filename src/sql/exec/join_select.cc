#include "sql/exec/join_select.h"

#include <cstddef>
#include <limits>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include <nlohmann/json.hpp>

#include "sql/exec/session.h"
#include "sql/eval/eval_context.h"
#include "sql/eval/sql_value.h"
#include "sql/exec/grouped_select.h"
#include "sql/exec/order.h"
#include "sql/exec/projection.h"
#include "sql/exec/row_tables.h"
#include "sql/exec/select.h"
#include "sql/exec/select_source.h"
#include "sql/parser/analysis.h"
#include "sql/parser/text.h"
#include "util/utf8.h"

namespace quenlordb::sql::exec {

namespace {

using eval::EvalContext;
using eval::RowView;
using eval::SqlValue;
using eval::TableBinding;
using eval::VisibleRow;
using parser::Expr;
using parser::JoinType;
using parser::SelectItem;

constexpr std::size_t kMaxJoinRows = 10'000'000;
constexpr std::size_t kPadded = std::numeric_limits<std::size_t>::max();

// One output pair: the positions of its left and right rows (kPadded for a padded side).
struct JoinedRow {
  JoinedRow(std::string_view k, std::size_t l, std::size_t r) : key(k), left(l), right(r) {}
  std::string key;
  std::size_t left;
  std::size_t right;
};

// The rows of one side (read where the scan left them, or the one row a pk literal reads), each
// with a context that parses its document at most once.
struct Side {
  std::string name;
  std::optional<std::string> alias;
  TableRows scanned;
  std::vector<VisibleRow> fetched;
  std::vector<RowView> fetched_views;
  std::span<const RowView> rows;
  std::vector<EvalContext> contexts;

  Result<void> read(Database& db, SqlSession& session, std::optional<std::string_view> key,
                    std::optional<std::uint64_t> as_of, std::optional<std::uint64_t> valid_at) {
    if (!key) {
      scanned = TRY(scan_table_rows(db, session, name, as_of, valid_at));
      rows = scanned.rows();
      return {};
    }
    fetched = TRY(fetch_rows_for_table(db, session, name, key, as_of, valid_at));
    fetched_views.assign(fetched.begin(), fetched.end());
    rows = fetched_views;
    return {};
  }
  void open() {
    contexts.reserve(rows.size());
    for (const RowView& row : rows) contexts.emplace_back(row);
  }
};

Result<void> check_join_size(std::size_t n) {
  if (n > kMaxJoinRows) return fail(QuenlorError::sql_execution("join would produce more than 10000000 rows"));
  return {};
}

// Either operand form of a side's primary key: `pk`, `pk.pk`, or `<name>.pk`.
bool names_pk_of(const Expr& e, std::string_view table, const std::optional<std::string>& alias) {
  if (const auto* c = e.get_if<Expr::Column>()) return parser::eq_ignore_ascii_case(c->name, "pk");
  const auto* f = e.get_if<Expr::FieldAccess>();
  if (!f || f->path.size() != 1 || !parser::eq_ignore_ascii_case(f->path[0], "pk")) return false;
  return parser::eq_ignore_ascii_case(f->column, table) || parser::eq_ignore_ascii_case(f->column, "pk") ||
         (alias && parser::eq_ignore_ascii_case(f->column, *alias));
}

// True when the expression reads the joined document as a whole (the column `doc`).
bool reads_whole_doc(const Expr& expr) {
  return parser::expr_any_node(expr, [](const Expr& e) {
    const auto* c = e.get_if<Expr::Column>();
    return c && parser::eq_ignore_ascii_case(c->name, "doc");
  });
}

std::string_view doc_of(const Side& side, std::size_t i) {
  return i == kPadded ? std::string_view("null") : std::string_view(side.rows[i].doc);
}

// The bindings of a joined pair: the left table's name, the right table's name and its alias.
std::vector<TableBinding> bindings_of(Side& left, Side& right, std::size_t li, std::size_t ri) {
  std::vector<TableBinding> out;
  auto add = [&out](std::string_view name, Side& side, std::size_t i) {
    if (i == kPadded) out.push_back({name, nullptr, true});
    else out.push_back({name, &side.contexts[i], false});
  };
  add(left.name, left, li);
  add(right.name, right, ri);
  if (right.alias) add(*right.alias, right, ri);
  return out;
}

bool ascending_pks(const Side& side) {
  for (std::size_t i = 1; i < side.rows.size(); ++i) {
    if (!(side.rows[i - 1].pk < side.rows[i].pk)) return false;
  }
  return true;
}

// For each row of probe, the position of the row of build with the same pk (of several, the last),
// or kPadded. Rows read by a scan come in ascending pk order, each pk once, so one merging walk
// pairs them; other row lists are looked up through a hash map.
std::vector<std::size_t> partners_on_pk(const Side& probe, const Side& build) {
  std::vector<std::size_t> out(probe.rows.size(), kPadded);
  if (ascending_pks(probe) && ascending_pks(build)) {
    std::size_t j = 0;
    for (std::size_t i = 0; i < probe.rows.size(); ++i) {
      const std::string_view pk = probe.rows[i].pk;
      while (j < build.rows.size() && build.rows[j].pk < pk) ++j;
      if (j < build.rows.size() && build.rows[j].pk == pk) out[i] = j;
    }
    return out;
  }
  std::unordered_map<std::string_view, std::size_t> map;
  for (std::size_t i = 0; i < build.rows.size(); ++i) map[build.rows[i].pk] = i;
  for (std::size_t i = 0; i < probe.rows.size(); ++i) {
    if (auto it = map.find(probe.rows[i].pk); it != map.end()) out[i] = it->second;
  }
  return out;
}

// How many primary keys the two lists (each in ascending order, each key once, as scans give
// them) share.
std::size_t count_shared_pks(const std::vector<std::string>& a, const std::vector<std::string>& b) {
  std::size_t n = 0;
  for (std::size_t i = 0, j = 0; i < a.size() && j < b.size();) {
    const int c = a[i].compare(b[j]);
    if (c == 0) ++n;
    if (c <= 0) ++i;
    if (c >= 0) ++j;
  }
  return n;
}

std::vector<JoinedRow> hash_join_on_pk(const Side& left, const Side& right) {
  const bool build_right = right.rows.size() < left.rows.size();
  const Side& build = build_right ? right : left;
  const Side& probe = build_right ? left : right;
  const std::vector<std::size_t> partner = partners_on_pk(probe, build);
  std::vector<JoinedRow> out;
  for (std::size_t i = 0; i < probe.rows.size(); ++i) {
    if (partner[i] == kPadded) continue;
    if (build_right) out.push_back({probe.rows[i].pk, i, partner[i]});
    else out.push_back({probe.rows[i].pk, partner[i], i});
  }
  return out;
}

// Every row of `outer` once, with its partner in `inner` or padded; mirrored for RIGHT joins.
std::vector<JoinedRow> outer_hash_join_on_pk(const Side& outer, const Side& inner, bool outer_is_left) {
  const std::vector<std::size_t> partner = partners_on_pk(outer, inner);
  std::vector<JoinedRow> out;
  out.reserve(outer.rows.size());
  for (std::size_t i = 0; i < outer.rows.size(); ++i) {
    if (outer_is_left) out.push_back({outer.rows[i].pk, i, partner[i]});
    else out.push_back({outer.rows[i].pk, partner[i], i});
  }
  return out;
}

Result<std::vector<JoinedRow>> cross_join(const Side& left, const Side& right) {
  const std::size_t l = left.rows.size();
  const std::size_t r = right.rows.size();
  if (l != 0 && r > kMaxJoinRows / l) TRY(check_join_size(kMaxJoinRows + 1));
  std::vector<JoinedRow> out;
  out.reserve(l * r);
  for (std::size_t i = 0; i < l; ++i) {
    for (std::size_t j = 0; j < r; ++j) {
      std::string key;
      key.reserve(left.rows[i].pk.size() + 1 + right.rows[j].pk.size());
      key.append(left.rows[i].pk).append("_").append(right.rows[j].pk);
      out.push_back({key, i, j});
    }
  }
  return out;
}

std::string build_joined_doc(std::string_view left_bytes, std::string_view right_bytes) {
  nlohmann::json obj = nlohmann::json::object();
  obj["left_doc"] = decode_row_json(left_bytes);
  obj["right_doc"] = decode_row_json(right_bytes);
  return write_json(obj);
}

// ON evaluated against the two rows' contexts directly; only an ON that reads `doc` as a whole
// has the pair's joined document built for it.
Result<std::vector<JoinedRow>> nested_loop_join(Side& left, Side& right, const std::optional<Expr>& on,
                                                bool keep_left, bool keep_right) {
  const bool whole_doc = on && reads_whole_doc(*on);
  std::vector<bool> left_matched(left.rows.size(), false);
  std::vector<bool> right_matched(right.rows.size(), false);
  std::vector<TableBinding> tables = bindings_of(left, right, kPadded, kPadded);
  for (TableBinding& t : tables) t.absent = false;
  std::vector<JoinedRow> out;
  for (std::size_t i = 0; i < left.rows.size(); ++i) {
    for (std::size_t j = 0; j < right.rows.size(); ++j) {
      bool match = true;
      if (on) {
        tables[0].row = &left.contexts[i];
        for (std::size_t t = 1; t < tables.size(); ++t) tables[t].row = &right.contexts[j];
        std::string joined;
        if (whole_doc) joined = build_joined_doc(left.rows[i].doc, right.rows[j].doc);
        EvalContext ctx(left.rows[i].pk, joined);
        ctx.bind_tables(tables);
        if (!whole_doc) ctx.bind_sides({&left.contexts[i], &right.contexts[j]});
        Result<SqlValue> v = ctx.eval(*on);
        match = v && eval::is_truthy(*v);
      }
      if (!match) continue;
      left_matched[i] = true;
      right_matched[j] = true;
      out.push_back({left.rows[i].pk, i, j});
      TRY(check_join_size(out.size()));
    }
  }
  if (keep_left) {
    for (std::size_t i = 0; i < left.rows.size(); ++i) {
      if (!left_matched[i]) out.push_back({left.rows[i].pk, i, kPadded});
    }
  }
  if (keep_right) {
    for (std::size_t j = 0; j < right.rows.size(); ++j) {
      if (!right_matched[j]) out.push_back({right.rows[j].pk, kPadded, j});
    }
  }
  TRY(check_join_size(out.size()));
  return out;
}

// A joined row as the rest of the query sees it: its VisibleRow, and a context over it that
// also reads the two tables by name.
struct JoinedView {
  VisibleRow row;
  std::vector<TableBinding> tables;
};

JoinedView view_of(Side& left, Side& right, const JoinedRow& j) {
  return {{j.key, build_joined_doc(doc_of(left, j.left), doc_of(right, j.right))},
          bindings_of(left, right, j.left, j.right)};
}

Result<std::string> project_joined_row(EvalContext& ctx, const std::vector<SelectItem>& items, ProjectionClass cls) {
  nlohmann::json obj = nlohmann::json::object();
  auto all_columns = [&] {
    const nlohmann::json joined = decode_row_json(ctx.doc());
    obj["left_doc"] = joined.is_object() && joined.contains("left_doc") ? joined["left_doc"] : nullptr;
    obj["pk"] = util::decode_utf8_lossy(ctx.pk());
    obj["right_doc"] = joined.is_object() && joined.contains("right_doc") ? joined["right_doc"] : nullptr;
  };
  if (cls == ProjectionClass::PkAndDoc) {
    all_columns();
    return write_json(obj);
  }
  for (const SelectItem& item : items) {
    if (item.is<SelectItem::AllColumns>()) {
      all_columns();
      continue;
    }
    TRY(project_expr_item(ctx, *item.get_if<SelectItem::Expr>(), obj));
  }
  return write_json(obj);
}

bool wants_grouped(const parser::Statement::Select& select) {
  if (select.group_by && !select.group_by->empty()) return true;
  for (const SelectItem& item : select.items) {
    const auto* e = item.get_if<SelectItem::Expr>();
    if (e && parser::expr_contains_aggregate(e->expr)) return true;
  }
  return false;
}

}  // namespace

bool is_pk_eq_join(const std::optional<Expr>& on, std::string_view left_table, std::string_view right_table,
                   const std::optional<std::string>& right_alias) {
  if (!on) return false;
  const auto* b = on->get_if<Expr::BinOp>();
  if (!b || b->op != parser::BinOperator::Eq) return false;
  const std::optional<std::string> none;
  return (names_pk_of(b->left, left_table, none) && names_pk_of(b->right, right_table, right_alias)) ||
         (names_pk_of(b->left, right_table, right_alias) && names_pk_of(b->right, left_table, none));
}

Result<SqlResult> execute_join_select(Database& db, SqlSession& session, std::string_view left_table,
                                      const parser::Statement::Select& select, std::optional<std::uint64_t> as_of,
                                      std::optional<std::uint64_t> valid_at) {
  const parser::JoinSpec& join = *select.join;
  for (std::string_view table : {left_table, std::string_view(join.right_table)}) {
    TRY(load_table_schema(db, session, table));
  }
  const ProjectionClass cls = detect_legacy_projection(select.items);
  if (cls == ProjectionClass::Doc) return fail(QuenlorError::sql_execution("JOIN does not support SELECT doc projection"));

  const bool key_join = join.join_type != JoinType::Cross &&
                        is_pk_eq_join(join.on_clause, left_table, join.right_table, join.right_alias);
  // A pk literal narrows both sides of a key join exactly (every joined key is both sides' pk);
  // other joins read the right side whole and filter the joined rows.
  const std::optional<std::string> lit = parser::extract_pk_eq_literal(select.filter);
  std::optional<std::string_view> left_key;
  std::optional<std::string_view> right_key;
  if (lit && (key_join || join.join_type != JoinType::Right)) left_key = *lit;
  if (lit && key_join) right_key = *lit;
  const Expr* filter = select.filter && !(lit && key_join) ? &*select.filter : nullptr;

  // A bare count of key-joined rows over both whole tables needs only their primary keys.
  if (key_join && !lit && !select.filter && !select.group_by && is_plain_count_star(select.items)) {
    const std::vector<std::string> left_pks = TRY(scan_table_pks(db, session, left_table, as_of, valid_at));
    const std::vector<std::string> right_pks = TRY(scan_table_pks(db, session, join.right_table, as_of, valid_at));
    std::size_t n = 0;
    if (join.join_type == JoinType::Left) n = left_pks.size();
    else if (join.join_type == JoinType::Right) n = right_pks.size();
    else n = count_shared_pks(left_pks, right_pks);
    return SqlResult{SqlResult::Rows{{std::to_string(n)}}};
  }

  Side left;
  left.name = left_table;
  Side right;
  right.name = join.right_table;
  right.alias = join.right_alias;
  TRY(left.read(db, session, left_key, as_of, valid_at));
  TRY(right.read(db, session, right_key, as_of, valid_at));
  // Only a nested loop reads the rows' documents to pair them.
  const bool nested = !key_join && join.join_type != JoinType::Cross;
  if (nested) {
    left.open();
    right.open();
  }

  std::vector<JoinedRow> joined;
  if (join.join_type == JoinType::Cross) {
    joined = TRY(cross_join(left, right));
  } else if (key_join) {
    if (join.join_type == JoinType::Inner) joined = hash_join_on_pk(left, right);
    else if (join.join_type == JoinType::Left) joined = outer_hash_join_on_pk(left, right, true);
    else joined = outer_hash_join_on_pk(right, left, false);
  } else {
    joined = TRY(nested_loop_join(left, right, join.on_clause, join.join_type == JoinType::Left,
                                  join.join_type == JoinType::Right));
  }

  // A bare count of the pairs reads no document.
  if (!filter && !select.group_by && is_plain_count_star(select.items)) {
    return SqlResult{SqlResult::Rows{{std::to_string(joined.size())}}};
  }
  if (!nested) {
    left.open();
    right.open();
  }

  // WHERE over the joined rows; each kept row keeps its view for the stages after.
  std::vector<JoinedView> views;
  views.reserve(joined.size());
  for (const JoinedRow& j : joined) {
    JoinedView view = view_of(left, right, j);
    if (filter) {
      EvalContext ctx(view.row, view.tables);
      if (!eval::is_truthy(TRY(ctx.eval(*filter)))) continue;
    }
    views.push_back(std::move(view));
  }

  if (wants_grouped(select)) {
    if (!select.group_by && is_plain_count_star(select.items)) {
      return SqlResult{SqlResult::Rows{{std::to_string(views.size())}}};
    }
    std::vector<VisibleRow> rows;
    std::vector<std::vector<TableBinding>> tables;
    rows.reserve(views.size());
    tables.reserve(views.size());
    for (JoinedView& v : views) {
      rows.push_back(std::move(v.row));
      tables.push_back(std::move(v.tables));
    }
    return execute_grouped_select(std::move(rows), select, RowTables(tables));
  }

  // Ordering: by key, then stably by ORDER BY, so rows equal on every entry stay in key order.
  std::vector<std::size_t> order = sort_permutation(
      views.size(), [&](std::size_t a, std::size_t b) { return views[a].row.pk < views[b].row.pk; });
  if (select.order_by && !select.order_by->empty()) {
    std::vector<std::vector<SqlValue>> keys;
    keys.reserve(order.size());
    for (std::size_t i : order) {
      EvalContext ctx(views[i].row, views[i].tables);
      keys.push_back(eval_order_keys(ctx, *select.order_by));
    }
    std::vector<std::size_t> by_keys = sort_by_keys(keys, *select.order_by);
    order = apply_permutation(std::move(order), by_keys);
  }
  if (select.limit && *select.limit < order.size()) order.resize(static_cast<std::size_t>(*select.limit));

  SqlResult::Rows out;
  out.rows.reserve(order.size());
  for (std::size_t i : order) {
    EvalContext ctx(views[i].row, views[i].tables);
    out.rows.push_back(TRY(project_joined_row(ctx, select.items, cls)));
  }
  return SqlResult{std::move(out)};
}

}  // namespace quenlordb::sql::exec
