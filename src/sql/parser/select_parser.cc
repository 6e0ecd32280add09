// Queries: the WITH list, the SELECT list, the one FROM source with at most one join, WHERE, the
// clauses after WHERE in any order, the FOR / AS OF / VALID AT temporal clauses, and the
// set-operation tail that parse_sql offers every statement.

#include <array>
#include <string_view>

#include "sql/parser/parser.h"
#include "sql/parser/text.h"

namespace quenlordb::sql::parser {

namespace {

QuenlorError parse_error(std::string_view message) { return QuenlorError::sql_parse(std::string(message)); }

// Words that end a table function's argument list without being taken as its alias.
constexpr std::array<std::string_view, 13> kTableFunctionAliasStops = {
    "WHERE", "ORDER", "LIMIT", "GROUP", "HAVING", "JOIN", "INNER",
    "LEFT",  "RIGHT", "CROSS", "UNION", "INTERSECT", "EXCEPT",
};

Result<std::vector<Expr>> parse_comma_separated_exprs(Parser& p) {
  std::vector<Expr> list;
  do {
    list.push_back(TRY(p.parse_expr()));
  } while (p.accept_symbol(','));
  return list;
}

// name ( [args] ) [[AS] alias] | name
[[gnu::noinline]] Result<void> parse_named_source(Parser& p, TableRef& out) {
  std::string name = TRY(p.expect_ident());
  if (!p.accept_symbol('(')) {
    out = TableRef::Named{std::move(name)};
    return {};
  }
  TableRef::TableFunction function{std::move(name), {}, std::nullopt};
  if (!p.peek_symbol(')')) function.args = TRY(parse_comma_separated_exprs(p));
  TRY(p.expect_symbol(')'));
  if (p.accept_kw("AS")) {
    function.alias = TRY(p.expect_ident());
  } else if (p.peek_word()) {
    const std::string_view word = p.peek()->text;
    bool stop = false;
    for (std::string_view kw : kTableFunctionAliasStops) stop = stop || eq_ignore_ascii_case(word, kw);
    if (!stop) function.alias = TRY(p.expect_ident());
  }
  out = std::move(function);
  return {};
}

// With the cursor after the subquery: ) [AS] alias
[[gnu::noinline]] Result<void> finish_subquery_source(Parser& p, Statement query, TableRef& out) {
  TRY(p.expect_symbol(')'));
  p.accept_kw("AS");
  std::string alias = TRY(p.expect_ident());
  out = TableRef::Subquery{std::move(query), std::move(alias)};
  return {};
}

// ( query ) [AS] alias | name ( [args] ) [[AS] alias] | name
Result<void> parse_table_source(Parser& p, TableRef& out) {
  if (!p.accept_symbol('(')) return parse_named_source(p, out);
  Statement query = TRY(p.nested([&] { return p.parse_select_or_cte(); }));
  return finish_subquery_source(p, std::move(query), out);
}

// The join directly after the source, if any. `from` names the left side of the ON pk shortcut.
[[gnu::noinline]] Result<std::optional<JoinSpec>> parse_join(Parser& p, const TableRef& from) {
  JoinType type;
  if (p.accept_kw("JOIN")) {
    type = JoinType::Inner;
  } else {
    if (p.accept_kw("INNER")) {
      type = JoinType::Inner;
    } else if (p.accept_kw("LEFT")) {
      type = JoinType::Left;
      p.accept_kw("OUTER");
    } else if (p.accept_kw("RIGHT")) {
      type = JoinType::Right;
      p.accept_kw("OUTER");
    } else if (p.accept_kw("CROSS")) {
      type = JoinType::Cross;
    } else {
      return std::optional<JoinSpec>();
    }
    TRY(p.expect_kw("JOIN"));
  }

  JoinSpec join;
  join.join_type = type;
  join.right_table = TRY(p.expect_ident());
  if (type != JoinType::Cross && p.accept_kw("ON")) {
    if (p.peek_kw("pk")) {
      TRY(p.expect_ident_eq("pk"));
      const auto* named = from.get_if<TableRef::Named>();
      std::string left = named != nullptr ? named->name : std::string("left");
      join.on_clause = Expr::BinOp{Expr::FieldAccess{std::move(left), {"pk"}}, BinOperator::Eq,
                                   Expr::FieldAccess{join.right_table, {"pk"}}};
    } else {
      join.on_clause = TRY(p.parse_expr());
    }
  }
  return std::optional<JoinSpec>(std::move(join));
}

// FOR ..., AS OF n, VALID AT n, GROUP BY, HAVING, ORDER BY and LIMIT in any order, each at most
// once except FOR. A repeated clause fails before anything of it is consumed.
[[gnu::noinline]] Result<void> parse_clauses_after_where(Parser& p, Statement::Select& select) {
  for (;;) {
    if (p.accept_kw("FOR")) {
      select.temporal.push_back(TRY(p.parse_temporal_for_clause()));
    } else if (p.peek_kw("AS") && p.peek_kw("OF", 1)) {
      if (select.as_of) return fail(parse_error("AS OF specified more than once"));
      p.advance();
      p.advance();
      select.as_of = TRY(p.expect_number_u64());
    } else if (p.peek_kw("VALID")) {
      if (select.valid_at) return fail(parse_error("VALID AT specified more than once"));
      p.advance();
      TRY(p.expect_kw("AT"));
      select.valid_at = TRY(p.expect_number_u64());
    } else if (p.peek_kw("GROUP")) {
      if (select.group_by) return fail(parse_error("GROUP BY specified more than once"));
      p.advance();
      TRY(p.expect_kw("BY"));
      select.group_by = TRY(parse_comma_separated_exprs(p));
    } else if (p.peek_kw("HAVING")) {
      if (select.having) return fail(parse_error("HAVING specified more than once"));
      if (!select.group_by) return fail(parse_error("HAVING requires GROUP BY"));
      p.advance();
      select.having = TRY(p.parse_expr());
    } else if (p.peek_kw("ORDER")) {
      if (select.order_by) return fail(parse_error("ORDER BY specified more than once"));
      p.advance();
      TRY(p.expect_kw("BY"));
      std::vector<std::pair<Expr, OrderDirection>> entries;
      do {
        Expr key = TRY(p.parse_expr());
        OrderDirection direction = OrderDirection::Asc;
        if (p.accept_kw("DESC")) {
          direction = OrderDirection::Desc;
        } else {
          p.accept_kw("ASC");
        }
        entries.emplace_back(std::move(key), direction);
      } while (p.accept_symbol(','));
      select.order_by = std::move(entries);
    } else if (p.peek_kw("LIMIT")) {
      if (select.limit) return fail(parse_error("LIMIT specified more than once"));
      p.advance();
      select.limit = TRY(p.expect_number_u64());
    } else {
      return {};
    }
  }
}

// n TO m, or n AND m: the two numbers of FROM ... TO and BETWEEN ... AND.
Result<std::pair<std::uint64_t, std::uint64_t>> parse_number_pair(Parser& p, std::string_view separator) {
  const std::uint64_t first = TRY(p.expect_number_u64());
  TRY(p.expect_kw(separator));
  const std::uint64_t second = TRY(p.expect_number_u64());
  return std::pair{first, second};
}

// After SYSTEM_TIME or APPLICATION_TIME: AS OF n, FROM n TO m or BETWEEN n AND m as the axis's own
// clause types, or none when the next word is none of AS, FROM and BETWEEN.
template <typename AsOf, typename FromTo, typename Between>
Result<std::optional<TemporalClause>> parse_time_range(Parser& p) {
  if (p.accept_kw("AS")) {
    TRY(p.expect_kw("OF"));
    return TemporalClause(AsOf{TRY(p.expect_number_u64())});
  }
  if (p.accept_kw("FROM")) {
    const auto [from, to] = TRY(parse_number_pair(p, "TO"));
    return TemporalClause(FromTo{from, to});
  }
  if (p.accept_kw("BETWEEN")) {
    const auto [low, high] = TRY(parse_number_pair(p, "AND"));
    return TemporalClause(Between{low, high});
  }
  return std::optional<TemporalClause>();
}

// SELECT item, ... FROM
[[gnu::noinline]] Result<void> parse_select_list(Parser& p, Statement::Select& select) {
  TRY(p.expect_kw("SELECT"));
  do {
    select.items.push_back(TRY(p.parse_select_item()));
  } while (p.accept_symbol(','));
  return p.expect_kw("FROM");
}

// Everything after the source: the join, WHERE and the clauses after it.
[[gnu::noinline]] Result<void> parse_select_tail(Parser& p, Statement::Select& select) {
  select.join = TRY(parse_join(p, select.from));
  if (p.accept_kw("WHERE")) select.filter = TRY(p.parse_expr());
  return parse_clauses_after_where(p, select);
}

// With the cursor after WITH: name AS ( query ), ...
[[gnu::noinline]] Result<void> parse_with_list(Parser& p, std::vector<CteClause>& ctes) {
  do {
    std::string name = TRY(p.expect_ident());
    TRY(p.expect_kw("AS"));
    TRY(p.expect_symbol('('));
    Statement query = TRY(p.nested([&] { return p.parse_select_or_cte(); }));
    TRY(p.expect_symbol(')'));
    ctes.push_back(CteClause{std::move(name), std::move(query)});
  } while (p.accept_symbol(','));
  return {};
}

}  // namespace

// The rules on the recursion paths of nested queries (parse_select_or_cte, parse_select_inner,
// parse_table_source, parse_with_list, try_parse_set_op) keep their frames small and leave the rest
// of the work to helpers that are not inlined into them, so that a query nested to the depth
// budget fits an ordinary thread stack also in sanitizer builds, where every temporary takes a
// stack slot of its own.

Result<Statement> Parser::parse_select_or_cte() {
  std::vector<CteClause> ctes;
  if (accept_kw("WITH")) TRY(parse_with_list(*this, ctes));
  return parse_select_inner(std::move(ctes));
}

Result<Statement> Parser::parse_select_inner(std::vector<CteClause> ctes) {
  Statement stmt = Statement::Select{};
  auto& select = *stmt.get_if<Statement::Select>();
  select.ctes = std::move(ctes);
  TRY(parse_select_list(*this, select));
  TRY(parse_table_source(*this, select.from));
  TRY(parse_select_tail(*this, select));
  return stmt;
}

Result<SelectItem> Parser::parse_select_item() {
  if (accept_symbol('*')) return SelectItem::AllColumns{};
  SelectItem::Expr item{TRY(parse_expr()), std::nullopt};
  if (accept_kw("AS")) item.alias = TRY(expect_ident());
  return item;
}

Result<TemporalClause> Parser::parse_temporal_for_clause() {
  using T = TemporalClause;
  if (accept_kw("SYSTEM_TIME")) {
    auto range = TRY((parse_time_range<T::SystemTimeAsOf, T::SystemTimeFromTo, T::SystemTimeBetween>(*this)));
    if (range) return std::move(*range);
    if (accept_kw("ALL")) return T::SystemTimeAll{};
    return fail(parse_error("expected AS OF, FROM ... TO, BETWEEN ... AND, or ALL after SYSTEM_TIME"));
  }
  if (accept_kw("APPLICATION_TIME")) {
    auto range =
        TRY((parse_time_range<T::ApplicationTimeAsOf, T::ApplicationTimeFromTo, T::ApplicationTimeBetween>(*this)));
    if (range) return std::move(*range);
    return fail(parse_error("expected AS OF, FROM ... TO, or BETWEEN ... AND after APPLICATION_TIME"));
  }
  return fail(parse_error("expected SYSTEM_TIME or APPLICATION_TIME after FOR"));
}

Result<void> Parser::parse_temporal_clauses(std::optional<std::uint64_t>& as_of,
                                            std::optional<std::uint64_t>& valid_at) {
  for (;;) {
    if (accept_kw("VALID")) {
      TRY(expect_kw("AT"));
      valid_at = TRY(expect_number_u64());
    } else if (peek_kw("AS") && peek_kw("OF", 1)) {
      advance();
      advance();
      as_of = TRY(expect_number_u64());
    } else {
      return {};
    }
  }
}

// The right operand is parsed one level deeper, and the statement parsed so far moves one level
// down under the new node; both count against the depth budget, so a long chain ends in the depth
// error rather than in a tree (and a recursion) of unbounded depth.
Result<Statement> Parser::try_parse_set_op(Statement left) {
  SetOpType op;
  if (accept_kw("UNION")) {
    op = accept_kw("ALL") ? SetOpType::UnionAll : SetOpType::Union;
  } else if (accept_kw("INTERSECT")) {
    op = SetOpType::Intersect;
  } else if (accept_kw("EXCEPT")) {
    op = SetOpType::Except;
  } else {
    return left;
  }
  if (peak_ >= kMaxDepth) return fail(parse_error(kDepthMessage));
  Statement right = TRY(nested([&]() -> Result<Statement> {
    Statement operand = TRY(parse_select_or_cte());
    return try_parse_set_op(std::move(operand));
  }));
  return Statement(Statement::SetOp{op, std::move(left), std::move(right)});
}

}  // namespace quenlordb::sql::parser
