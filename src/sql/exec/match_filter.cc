#include "sql/exec/match_filter.h"

#include <unordered_set>

#include "facet/fts/postings.h"
#include "sql/exec/facet_upkeep.h"
#include "sql/parser/text.h"

namespace quenlordb::sql::exec {

using parser::BinOperator;
using parser::Expr;

namespace {

const Expr::Function* as_match(const Expr& expr) {
  const auto* f = expr.get_if<Expr::Function>();
  return f && parser::eq_ignore_ascii_case(f->name, "match") ? f : nullptr;
}

const Expr::BinOp* as_and(const Expr& expr) {
  const auto* b = expr.get_if<Expr::BinOp>();
  return b && b->op == BinOperator::And ? b : nullptr;
}

bool contains_match(const Expr& expr) {
  if (expr.empty()) return false;
  if (as_match(expr)) return true;
  auto any = [](const std::vector<Expr>& list) {
    for (const Expr& e : list) {
      if (contains_match(e)) return true;
    }
    return false;
  };
  if (const auto* n = expr.get_if<Expr::BinOp>()) return contains_match(n->left) || contains_match(n->right);
  if (const auto* n = expr.get_if<Expr::Not>()) return contains_match(n->expr);
  if (const auto* n = expr.get_if<Expr::Function>()) return any(n->args);
  if (const auto* n = expr.get_if<Expr::IsNull>()) return contains_match(n->expr);
  if (const auto* n = expr.get_if<Expr::Between>()) {
    return contains_match(n->expr) || contains_match(n->low) || contains_match(n->high);
  }
  if (const auto* n = expr.get_if<Expr::InList>()) return contains_match(n->expr) || any(n->list);
  if (const auto* n = expr.get_if<Expr::WindowFunction>()) {
    if (any(n->args) || any(n->partition_by)) return true;
    for (const auto& [key, direction] : n->order_by) {
      if (contains_match(key)) return true;
    }
    return false;
  }
  if (const auto* n = expr.get_if<Expr::Case>()) {
    if (n->operand && contains_match(*n->operand)) return true;
    for (const auto& [when, then] : n->when_clauses) {
      if (contains_match(when) || contains_match(then)) return true;
    }
    return n->else_clause && contains_match(*n->else_clause);
  }
  if (const auto* n = expr.get_if<Expr::Cast>()) return contains_match(n->expr);
  return false;
}

// The query texts of the chain's MATCH calls, left first.
Result<void> collect_chain_queries(const Expr& expr, std::vector<std::string>& queries) {
  if (const Expr::BinOp* conj = as_and(expr)) {
    TRY(collect_chain_queries(conj->left, queries));
    return collect_chain_queries(conj->right, queries);
  }
  if (const Expr::Function* match = as_match(expr)) {
    if (match->args.size() != 2) {
      return fail(QuenlorError::sql_execution("MATCH() requires exactly 2 arguments: MATCH(column, 'query')"));
    }
    if (!match->args[0].is<Expr::Column>()) {
      return fail(QuenlorError::sql_execution("MATCH() first argument must be a column name"));
    }
    const auto* query = match->args[1].get_if<Expr::StringLit>();
    if (!query) return fail(QuenlorError::sql_execution("MATCH() second argument must be a string literal"));
    queries.push_back(query->value);
    return {};
  }
  return refuse_match(expr);
}

}  // namespace

Result<void> refuse_match(const Expr& expr) {
  if (contains_match(expr)) return fail(QuenlorError::sql_execution(std::string(facet::fts::kMatchPlacementMessage)));
  return {};
}

Result<std::optional<std::vector<std::string>>> extract_match_filter(const Expr& filter, std::string_view table,
                                                                     Database& db) {
  std::vector<std::string> queries;
  TRY(collect_chain_queries(filter, queries));
  if (queries.empty()) return std::optional<std::vector<std::string>>();
  std::vector<std::string> pks = TRY(facet::fts::match_query_pks(queries[0], table, db));
  for (std::size_t i = 1; i < queries.size() && !pks.empty(); ++i) {
    const std::vector<std::string> more = TRY(facet::fts::match_query_pks(queries[i], table, db));
    const std::unordered_set<std::string_view> listed(more.begin(), more.end());
    std::erase_if(pks, [&](const std::string& pk) { return !listed.contains(pk); });
  }
  return std::optional<std::vector<std::string>>(std::move(pks));
}

Expr without_chain_matches(const Expr& filter) {
  if (as_match(filter)) return Expr::BoolLit{true};
  if (const Expr::BinOp* conj = as_and(filter)) {
    return Expr::BinOp{without_chain_matches(conj->left), BinOperator::And, without_chain_matches(conj->right)};
  }
  return filter;
}

Result<std::vector<eval::VisibleRow>> keep_rows_holding_match_terms(Database& db, std::string_view table,
                                                                    const Expr& filter,
                                                                    std::vector<eval::VisibleRow> rows) {
  std::vector<std::string> queries;
  TRY(collect_chain_queries(filter, queries));
  std::vector<std::string> wanted;
  for (const std::string& query : queries) {
    for (std::string& term : facet::fts::query_terms(query)) wanted.push_back(std::move(term));
  }
  if (wanted.empty()) return rows;
  const std::vector<std::vector<std::string>> indexes = TRY(fts_index_columns(db, table));
  if (indexes.empty()) return rows;
  std::erase_if(rows, [&](const eval::VisibleRow& row) { return !document_holds_terms(row.doc, indexes, wanted); });
  return rows;
}

}  // namespace quenlordb::sql::exec
