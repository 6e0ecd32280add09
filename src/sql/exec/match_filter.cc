#include "sql/exec/match_filter.h"

#include <unordered_set>
#include <utility>

#include "facet/fts/postings.h"
#include "facet/relational/keys.h"
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

namespace {

// What a row's document must hold to stay matched: every term of the chain MATCHes, under the
// table's committed index definitions, or, when none is left, in the whole document's text (as an
// index over "doc" reads it: the lists outlive their definitions). With no term every document
// holds it.
struct MatchRecheck {
  std::vector<std::string> wanted;
  std::vector<std::vector<std::string>> indexes;

  static Result<MatchRecheck> plan(Database& db, std::string_view table, const Expr& filter) {
    MatchRecheck recheck;
    std::vector<std::string> queries;
    TRY(collect_chain_queries(filter, queries));
    for (const std::string& query : queries) {
      for (std::string& term : facet::fts::query_terms(query)) recheck.wanted.push_back(std::move(term));
    }
    if (!recheck.wanted.empty()) recheck.indexes = TRY(fts_index_columns(db, table));
    if (recheck.indexes.empty()) recheck.indexes.push_back({"doc"});
    return recheck;
  }

  bool checks() const { return !wanted.empty(); }
  bool holds(std::string_view doc) const { return !checks() || document_holds_terms(doc, indexes, wanted); }
};

}  // namespace

std::vector<eval::RowView> MatchedRows::rows() const {
  std::vector<eval::RowView> rows;
  rows.reserve(kept_.size());
  const std::string_view docs = docs_;
  for (const Kept& kept : kept_) rows.push_back({pks_[kept.pk], docs.substr(kept.doc_at, kept.doc_size)});
  return rows;
}

Result<MatchedRows> read_rows_holding_match_terms(Database& db, SqlSession& session, std::string_view table,
                                                  std::vector<std::string> pks, std::optional<std::uint64_t> as_of,
                                                  std::optional<std::uint64_t> valid_at, const Expr& filter) {
  MatchedRows out;
  out.pks_ = std::move(pks);
  const std::vector<std::string>& listed = out.pks_;
  // The document of each listed key that has a live version, copied into docs_ in list order:
  // found[i] is where, or absent.
  constexpr std::size_t kAbsent = static_cast<std::size_t>(-1);
  std::vector<std::pair<std::size_t, std::size_t>> found(listed.size(), {kAbsent, 0});
  const std::string prefix = facet::relational::row_prefix(table);
  if (!as_of && session.has_staged()) {
    // The staged writes count: each row through read_live_key.
    std::string key = prefix;
    for (std::size_t i = 0; i < listed.size(); ++i) {
      key.resize(prefix.size());
      key.append(listed[i]);
      std::optional<std::string> value = TRY(read_live_key(db, session, key, as_of, valid_at));
      if (!value) continue;
      found[i] = {out.docs_.size(), value->size()};
      out.docs_.append(*value);
    }
  } else {
    // The row keys, built in one buffer, then read in one batch; visits come in shard order.
    std::size_t bytes = 0;
    for (const std::string& pk : listed) bytes += prefix.size() + pk.size();
    std::string key_bytes;
    key_bytes.reserve(bytes);
    for (const std::string& pk : listed) key_bytes.append(prefix).append(pk);
    std::vector<std::string_view> keys;
    keys.reserve(listed.size());
    const std::string_view all = key_bytes;
    std::size_t at = 0;
    for (const std::string& pk : listed) {
      keys.push_back(all.substr(at, prefix.size() + pk.size()));
      at += prefix.size() + pk.size();
    }
    TRY(db.visit_get_many(
        keys,
        [&](std::size_t i, std::string_view doc) -> Result<void> {
          if (doc.empty()) return {};  // a deleted row, as read_live_key reads it
          found[i] = {out.docs_.size(), doc.size()};
          out.docs_.append(doc);
          return {};
        },
        as_of, valid_at));
  }
  const MatchRecheck recheck = TRY(MatchRecheck::plan(db, table, filter));
  const std::string_view docs = out.docs_;
  for (std::size_t i = 0; i < listed.size(); ++i) {
    if (found[i].first == kAbsent) continue;
    if (!recheck.holds(docs.substr(found[i].first, found[i].second))) continue;
    out.kept_.push_back({i, found[i].first, found[i].second});
  }
  return out;
}

Result<std::vector<eval::VisibleRow>> keep_rows_holding_match_terms(Database& db, std::string_view table,
                                                                    const Expr& filter,
                                                                    std::vector<eval::VisibleRow> rows) {
  const MatchRecheck recheck = TRY(MatchRecheck::plan(db, table, filter));
  if (!recheck.checks()) return rows;
  std::erase_if(rows, [&](const eval::VisibleRow& row) { return !recheck.holds(row.doc); });
  return rows;
}

}  // namespace quenlordb::sql::exec
