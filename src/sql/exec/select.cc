#include "sql/exec/select.h"

#include <algorithm>
#include <span>
#include <unordered_map>
#include <utility>

#include <nlohmann/json.hpp>

#include "facet/relational/keys.h"
#include "facet/relational/records.h"
#include "sql/exec/ai_tables.h"
#include "sql/exec/executor.h"
#include "sql/exec/facet_upkeep.h"
#include "sql/exec/grouped_select.h"
#include "sql/exec/join_select.h"
#include "sql/exec/match_filter.h"
#include "sql/exec/order.h"
#include "sql/exec/projection.h"
#include "sql/exec/row_tables.h"
#include "sql/exec/table_function.h"
#include "sql/exec/window_select.h"
#include "sql/parser/analysis.h"
#include "sql/parser/parser.h"
#include "util/utf8.h"

namespace quenlordb::sql::exec {

using eval::EvalContext;
using eval::RowView;
using eval::SqlValue;
using eval::TableBinding;
using eval::VisibleRow;
using parser::Expr;
using parser::SelectItem;
using parser::Statement;
using parser::TableRef;
using parser::TemporalClause;

namespace {

using Select = Statement::Select;
using Tables = std::span<const TableBinding>;
using DerivedRows = std::unordered_map<std::string, std::vector<VisibleRow>>;

struct TemporalPair {
  std::optional<std::uint64_t> as_of;
  std::optional<std::uint64_t> valid_at;
};

// The statement's as_of and valid_at, then each FOR clause in order; the last to touch one wins.
TemporalPair fold_temporal(const Select& select) {
  TemporalPair t{select.as_of, select.valid_at};
  for (const TemporalClause& clause : select.temporal) {
    std::visit(
        [&](const auto& c) {
          using C = std::decay_t<decltype(c)>;
          if constexpr (std::is_same_v<C, TemporalClause::SystemTimeAsOf>) t.as_of = c.ts;
          else if constexpr (std::is_same_v<C, TemporalClause::SystemTimeFromTo>) t.as_of = c.from;
          else if constexpr (std::is_same_v<C, TemporalClause::SystemTimeBetween>) t.as_of = c.low;
          else if constexpr (std::is_same_v<C, TemporalClause::SystemTimeAll>) t.as_of.reset();
          else if constexpr (std::is_same_v<C, TemporalClause::ApplicationTimeAsOf>) t.valid_at = c.ts;
          else if constexpr (std::is_same_v<C, TemporalClause::ApplicationTimeFromTo>) t.valid_at = c.from;
          else if constexpr (std::is_same_v<C, TemporalClause::ApplicationTimeBetween>) t.valid_at = c.low;
        },
        clause.node());
  }
  return t;
}

// Runs an inner query; its rows become derived rows numbered from 0.
Result<std::vector<VisibleRow>> run_derived(Database& db, SqlSession& session, const Statement& query,
                                            std::string_view not_rows_message) {
  SqlResult result = TRY(execute_stmt(db, session, query));
  auto* rows = std::get_if<SqlResult::Rows>(&result.value);
  if (!rows) return fail(QuenlorError::sql_execution(std::string(not_rows_message)));
  std::vector<VisibleRow> out;
  out.reserve(rows->rows.size());
  for (std::size_t i = 0; i < rows->rows.size(); ++i) out.push_back({std::to_string(i), std::move(rows->rows[i])});
  return out;
}

// The finishing path a SELECT list and GROUP BY choose.
enum class Finish { Count, Grouped, Window, Plain };

Finish choose_finish(const Select& select) {
  for (const SelectItem& item : select.items) {
    const SelectItem::Expr* e = item.get_if<SelectItem::Expr>();
    if (e && parser::expr_contains_aggregate(e->expr)) {
      return !select.group_by && is_plain_count_star(select.items) ? Finish::Count : Finish::Grouped;
    }
  }
  if (select.group_by) return Finish::Grouped;
  for (const SelectItem& item : select.items) {
    const SelectItem::Expr* e = item.get_if<SelectItem::Expr>();
    if (e && parser::expr_contains_window(e->expr)) return Finish::Window;
  }
  return Finish::Plain;
}

Result<bool> passes(EvalContext& ctx, const Expr* filter) {
  if (!filter) return true;
  SqlValue v = TRY(ctx.eval(*filter));
  return eval::is_truthy(v);
}

// ORDER BY, LIMIT and projection in one pass over the rows, with WHERE when filter is given: each
// row's context serves the filter, its sort keys and, unless LIMIT cuts after sorting, its output.
Result<SqlResult> finish_plain(std::span<const RowView> rows, const Expr* filter, const Select& select, Tables tables) {
  ProjectionClass cls = detect_legacy_projection(select.items);
  std::optional<std::uint64_t> limit = select.limit;
  SqlResult::Rows out;
  util::JsonMembers scratch;  // one row's context at a time
  if (!select.order_by || select.order_by->empty()) {
    for (const RowView& row : rows) {
      if (!filter && limit && out.rows.size() >= *limit) break;
      EvalContext ctx(row, tables, scratch);
      if (!TRY(passes(ctx, filter))) continue;
      if (limit && out.rows.size() >= *limit) continue;  // WHERE still runs on every row
      out.rows.push_back(TRY(project_row(ctx, select.items, cls)));
    }
    return SqlResult{std::move(out)};
  }

  const OrderBy& order_by = *select.order_by;
  std::vector<std::size_t> kept;
  std::vector<std::vector<SqlValue>> keys;
  std::vector<std::string> projected;
  for (std::size_t i = 0; i < rows.size(); ++i) {
    EvalContext ctx(rows[i], tables, scratch);
    if (!TRY(passes(ctx, filter))) continue;
    kept.push_back(i);
    keys.push_back(eval_order_keys(ctx, order_by));
    if (!limit) projected.push_back(TRY(project_row(ctx, select.items, cls)));
  }
  if (!limit) {
    out.rows = apply_permutation(std::move(projected), sort_by_keys(keys, order_by));
    return SqlResult{std::move(out)};
  }
  const std::vector<std::size_t> order =
      first_by_keys(keys, order_by, keys.size() < *limit ? keys.size() : static_cast<std::size_t>(*limit));
  const std::size_t n = order.size();
  out.rows.reserve(n);
  for (std::size_t j = 0; j < n; ++j) {
    EvalContext ctx(rows[kept[order[j]]], tables, scratch);
    out.rows.push_back(TRY(project_row(ctx, select.items, cls)));
  }
  return SqlResult{std::move(out)};
}

// Stage 5: the rows of a table, view or derived source, with WHERE still to apply when filter is
// given; tables are what their qualified names read.
Result<SqlResult> finish(std::span<const RowView> rows, const Expr* filter, const Select& select, Tables tables) {
  switch (choose_finish(select)) {
    case Finish::Count: {
      std::size_t n = rows.size();
      if (filter) {
        n = 0;
        util::JsonMembers scratch;
        for (const RowView& row : rows) {
          EvalContext ctx(row, tables, scratch);
          if (TRY(passes(ctx, filter))) ++n;
        }
      }
      return SqlResult{SqlResult::Rows{{std::to_string(n)}}};
    }
    case Finish::Grouped:
      return execute_grouped_select(rows, filter, select, RowTables(tables));
    case Finish::Window: {
      std::vector<VisibleRow> owned;
      owned.reserve(rows.size());
      for (const RowView& row : rows) owned.push_back(VisibleRow{std::string(row.pk), std::string(row.doc)});
      if (filter) owned = TRY(eval::filter_rows(std::move(owned), *filter, tables));
      return execute_window_select(std::move(owned), select, RowTables(tables));
    }
    case Finish::Plain:
      break;
  }
  return finish_plain(rows, filter, select, tables);
}

// Visits the live rows of the target's table as the visiting scan hands them over (see
// visit_table_rows in select_source.h).
Result<void> visit_table_rows(Database& db, SqlSession& session, const SelectTarget& target,
                              util::FunctionRef<Result<void>(RowView)> visit) {
  return visit_table_rows(db, session, target.table, target.as_of, target.valid_at, visit);
}
// The rows of the target's table that filter keeps, each with the context filter read (see
// visit_rows_where in select_source.h).
Result<void> visit_rows_where(Database& db, SqlSession& session, const SelectTarget& target, const Expr* filter,
                              Tables tables, util::FunctionRef<Result<void>(EvalContext&)> visit) {
  return visit_rows_where(db, session, target.table, target.as_of, target.valid_at, filter, tables, visit);
}

// The bare count of a table's rows that WHERE keeps, each counted as the scan hands it over.
Result<SqlResult> count_table_rows(Database& db, SqlSession& session, const SelectTarget& target, const Expr* filter,
                                   Tables tables) {
  std::size_t n = 0;
  TRY(visit_rows_where(db, session, target, filter, tables, [&](EvalContext&) -> Result<void> {
    ++n;
    return {};
  }));
  return SqlResult{SqlResult::Rows{{std::to_string(n)}}};
}

// The plain path without ORDER BY over a table: WHERE, LIMIT and projection on each row as the
// scan hands it over.
Result<SqlResult> select_table_rows(Database& db, SqlSession& session, const SelectTarget& target, const Expr* filter,
                                    const Select& select, Tables tables) {
  const ProjectionClass cls = detect_legacy_projection(select.items);
  const std::optional<std::uint64_t> limit = select.limit;
  SqlResult::Rows out;
  TRY(visit_rows_where(db, session, target, filter, tables, [&](EvalContext& ctx) -> Result<void> {
    if (limit && out.rows.size() >= *limit) return {};  // WHERE still runs on every row
    out.rows.push_back(TRY(project_row(ctx, select.items, cls)));
    return {};
  }));
  return SqlResult{std::move(out)};
}

// ORDER BY with LIMIT over a table, WHERE applied to each row as the scan hands it over: only rows
// among the first `limit` so far are copied, kept in a heap by their keys and then their position.
// Those are the first rows of the stable sort when the keys order consistently (see
// OrderKeysConsistency); otherwise none is given, and the caller sorts every row instead.
Result<std::optional<SqlResult>> first_table_rows(Database& db, SqlSession& session, const SelectTarget& target,
                                                  const Expr* filter, const Select& select, Tables tables) {
  const OrderBy& order_by = *select.order_by;
  const std::uint64_t limit = *select.limit;
  struct Kept {
    std::vector<SqlValue> keys;
    std::size_t position;
    VisibleRow row;
  };
  // A max-heap under `before`: the last of the kept rows at the front.
  std::vector<Kept> heap;
  const auto before = [&](const Kept& a, const Kept& b) {
    const int c = compare_order_keys(a.keys, b.keys, order_by);
    return c != 0 ? c < 0 : a.position < b.position;
  };
  // A later key that is the row's primary key is a text on every row, so it never makes the keys
  // inconsistent: it is read only where the keys before it tie with a kept row's, and counts as
  // NULL (which consistency passes over) until then.
  std::vector<bool> pk_key(order_by.size(), false);
  for (std::size_t i = 1; i < order_by.size(); ++i) {
    const auto* column = order_by[i].first.get_if<Expr::Column>();
    pk_key[i] = column && parser::eq_ignore_ascii_case(column->name, "pk");
  }
  OrderKeysConsistency consistency(order_by.size());
  util::JsonMembers scratch;
  std::vector<SqlValue> keys;
  std::size_t position = 0;
  TRY(visit_rows_where(db, session, target, filter, tables, [&](EvalContext& ctx) -> Result<void> {
    if (!consistency.consistent()) return {};  // the caller runs the query again over every row
    const RowView row{ctx.pk(), ctx.doc()};
    const std::size_t at = position++;
    keys.clear();
    for (std::size_t i = 0; i < order_by.size(); ++i) {
      if (pk_key[i]) {
        keys.push_back(SqlValue::null());
        continue;
      }
      Result<SqlValue> v = ctx.eval(order_by[i].first);
      keys.push_back(v ? std::move(*v) : SqlValue::null());  // an error counts as NULL
    }
    consistency.add(keys);
    if (!consistency.consistent() || limit == 0) return {};
    const auto read_pk_keys_from = [&](std::size_t first) {
      for (std::size_t i = first; i < order_by.size(); ++i) {
        if (pk_key[i]) keys[i] = SqlValue::text(row.pk);
      }
    };
    if (heap.size() < limit) {
      read_pk_keys_from(0);
      heap.push_back(Kept{std::move(keys), at, VisibleRow{std::string(row.pk), std::string(row.doc)}});
      std::push_heap(heap.begin(), heap.end(), before);
      return {};
    }
    // A later row with equal keys comes after every kept one.
    int c = 0;
    std::size_t i = 0;
    for (; i < order_by.size() && c == 0; ++i) {
      if (pk_key[i]) keys[i] = SqlValue::text(row.pk);
      c = compare_sort_values(keys[i], heap.front().keys[i]);
      if (order_by[i].second == parser::OrderDirection::Desc) c = -c;
    }
    if (c >= 0) return {};
    read_pk_keys_from(i);
    std::pop_heap(heap.begin(), heap.end(), before);
    Kept& replaced = heap.back();
    replaced.keys.swap(keys);
    replaced.position = at;
    replaced.row.pk.assign(row.pk);
    replaced.row.doc.assign(row.doc);
    std::push_heap(heap.begin(), heap.end(), before);
    return {};
  }));
  if (!consistency.consistent()) return std::nullopt;
  std::sort_heap(heap.begin(), heap.end(), before);
  const ProjectionClass cls = detect_legacy_projection(select.items);
  SqlResult::Rows out;
  out.rows.reserve(heap.size());
  for (const Kept& kept : heap) {
    EvalContext ctx(kept.row, tables, scratch);
    out.rows.push_back(TRY(project_row(ctx, select.items, cls)));
  }
  return SqlResult{std::move(out)};
}

std::vector<RowView> views_of(const std::vector<VisibleRow>& rows) {
  return std::vector<RowView>(rows.begin(), rows.end());
}

Result<SqlResult> run_select(Database& db, SqlSession& session, const Select& select) {
  TemporalPair temporal = fold_temporal(select);

  DerivedRows derived;
  for (const parser::CteClause& cte : select.ctes) {
    derived[cte.name] = TRY(run_derived(db, session, cte.query, "CTE must be a SELECT statement"));
  }
  std::string source;
  if (const auto* named = select.from.get_if<TableRef::Named>()) {
    source = named->name;
  } else if (const auto* sub = select.from.get_if<TableRef::Subquery>()) {
    derived[sub->alias] = TRY(run_derived(db, session, sub->query, "subquery in FROM must be a SELECT"));
    source = sub->alias;
  } else if (const auto* tf = select.from.get_if<TableRef::TableFunction>()) {
    source = tf->alias ? *tf->alias : tf->name;
    derived[source] = TRY(execute_table_function(tf->name, tf->args));
  }

  if (source == "ai_top_risks") return execute_ai_top_risks(db, select);
  if (source == "ai_cluster_summary") return execute_ai_cluster_summary(db, select);

  const Expr* filter = select.filter ? &*select.filter : nullptr;
  if (auto it = derived.find(source); it != derived.end()) {
    if (select.join) {
      return fail(QuenlorError::sql_execution("JOIN is not supported on a common table expression or subquery"));
    }
    if (filter) TRY(refuse_match(*filter));
    return finish(views_of(it->second), filter, select, {});
  }
  if (select.join) {
    if (filter) TRY(refuse_match(*filter));
    return execute_join_select(db, session, source, select, temporal.as_of, temporal.valid_at);
  }

  SelectTarget target = TRY(resolve_select_target(db, session, source, temporal.as_of, temporal.valid_at));
  std::optional<std::vector<std::string>> matched;
  if (filter) matched = TRY(extract_match_filter(*filter, target.table, db));
  std::optional<std::string> lit = parser::extract_pk_eq_literal(select.filter);
  std::optional<std::string_view> key;
  if (lit) key = *lit;
  else if (target.pk) key = *target.pk;

  // The FROM name, a table's or a view's, qualifies the names that read its rows.
  const TableBinding self{source};
  // A view that selects one row holds no other: a primary key the query names narrows the view's
  // rows, and never reads a row of its table the view does not hold.
  if (lit && target.pk && *lit != *target.pk) return finish({}, nullptr, select, Tables(&self, 1));
  std::vector<VisibleRow> rows;
  if (matched) {
    // A view that selects one row keeps only that row of those listed.
    if (target.pk) std::erase_if(*matched, [&](const std::string& pk) { return pk != *target.pk; });
    const MatchedRows selected = TRY(read_rows_holding_match_terms(db, session, target.table, std::move(*matched),
                                                                   target.as_of, target.valid_at, *filter));
    // The MATCH calls have selected the rows; the rest of the filter still applies to them (none
    // when the filter is one MATCH, whose rest is TRUE).
    const Expr unmatched_filter = without_chain_matches(*filter);
    const auto* always = unmatched_filter.get_if<Expr::BoolLit>();
    const bool rest = !lit && !(always && always->value);
    return finish(selected.rows(), rest ? &unmatched_filter : nullptr, select, Tables(&self, 1));
  }
  if (key) {
    rows = TRY(fetch_rows_for_table(db, session, target.table, key, target.as_of, target.valid_at));
  } else if (choose_finish(select) == Finish::Count) {
    return count_table_rows(db, session, target, filter, Tables(&self, 1));
  } else if (choose_finish(select) == Finish::Plain && (!select.order_by || select.order_by->empty())) {
    return select_table_rows(db, session, target, filter, select, Tables(&self, 1));
  } else {
    if (choose_finish(select) == Finish::Plain && select.limit) {
      std::optional<SqlResult> first = TRY(first_table_rows(db, session, target, filter, select, Tables(&self, 1)));
      if (first) return std::move(*first);
    }
    if (choose_finish(select) == Finish::Grouped) {
      if (std::optional<GroupFold> fold = GroupFold::plan(select, filter, Tables(&self, 1))) {
        TRY(visit_table_rows(db, session, target, [&](RowView row) { return fold->add(row); }));
        return std::move(*fold).finish();
      }
    }
    const TableRows scanned = TRY(scan_table_rows(db, session, target.table, target.as_of, target.valid_at));
    return finish(scanned.rows(), filter, select, Tables(&self, 1));
  }
  return finish(views_of(rows), lit ? nullptr : filter, select, Tables(&self, 1));
}

}  // namespace

Result<SqlResult> execute_select(Database& db, SqlSession& session, const Select& select) {
  try {
    return run_select(db, session, select);
  } catch (const nlohmann::json::exception& e) {
    return fail(QuenlorError::serde_json(e.what()));
  }
}

Result<SqlResult> execute_pk_select(Database& db, SqlSession& session, const parser::PkSelect& text) {
  TRY(write_gathered_upkeep(db, session));
  // The names the dispatch answers itself, and the names that are not a table, take the general
  // path (which finds the upkeep already written).
  const bool insight_table = text.table == "ai_top_risks" || text.table == "ai_cluster_summary";
  if (insight_table || !TRY(catalog_key_exists(db, session, facet::relational::schema_key(text.table)))) {
    return execute_stmt(db, session, parser::select_of(text));
  }
  const std::string pk = parser::quoted_value(text.pk);
  const std::string key = facet::relational::row_key(text.table, pk);
  SqlResult::Rows out;
  try {
    std::optional<std::string> doc = TRY(read_live_key(db, session, key));
    if (!doc) return SqlResult{std::move(out)};
    if (text.column && parser::eq_ignore_ascii_case(*text.column, "doc")) {
      out.rows.push_back(std::move(*doc));
      return SqlResult{std::move(out)};
    }
    std::vector<SelectItem> items(1);
    if (text.column) items[0] = SelectItem::Expr{Expr::Column{std::string(*text.column)}, std::nullopt};
    const TableBinding self{text.table};
    util::JsonMembers scratch;
    EvalContext ctx(RowView{pk, *doc}, Tables(&self, 1), scratch);
    out.rows.push_back(TRY(project_row(ctx, items, detect_legacy_projection(items))));
  } catch (const nlohmann::json::exception& e) {
    return fail(QuenlorError::serde_json(e.what()));
  }
  return SqlResult{std::move(out)};
}

Result<std::vector<VisibleRow>> fetch_rows_for_table(Database& db, SqlSession& session, std::string_view table,
                                                     std::optional<std::string_view> pk,
                                                     std::optional<std::uint64_t> as_of,
                                                     std::optional<std::uint64_t> valid_at) {
  if (!pk) return scan_visible_rows(db, session, table, as_of, valid_at);
  std::vector<VisibleRow> rows;
  std::optional<std::string> value =
      TRY(read_live_key(db, session, facet::relational::row_key(table, *pk), as_of, valid_at));
  if (value) rows.push_back({std::string(*pk), std::move(*value)});
  return rows;
}

bool is_simple_pk_eq(const std::optional<Expr>& filter) { return parser::extract_pk_eq_literal(filter).has_value(); }

}  // namespace quenlordb::sql::exec
