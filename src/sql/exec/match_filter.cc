#include "sql/exec/match_filter.h"

#include <algorithm>
#include <cstring>
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
  for (const Kept& kept : kept_) rows.push_back({pks_[kept.pk], kept.doc});
  return rows;
}

void MatchedRows::keep(std::size_t i, const engine::BatchDoc& doc) {
  // A block is held while the blocks held take at most twice the kept documents' bytes (and a
  // little): the rows of a block that holds many kept rows cost nothing more, while the one row of
  // a block read for it alone is copied. Rows of one block come together, but for rows between
  // them from the shard's other files: the last few blocks held are looked at.
  constexpr std::size_t kHeldBytesFree = std::size_t{1} << 20;
  constexpr std::size_t kRecentBlocks = 4;
  const std::string_view bytes = doc.doc();
  const void* block = doc.pinned();
  if (block == nullptr) {
    keep_copy(i, bytes);
    return;
  }
  bool held = false;
  for (std::size_t k = blocks_.size(); k > 0 && k + kRecentBlocks > blocks_.size() && !held; --k) {
    held = blocks_[k - 1].get() == block;
  }
  if (!held) {
    if (block_bytes_ + doc.pinned_bytes() > 2 * (doc_bytes_ + bytes.size()) + kHeldBytesFree) {
      keep_copy(i, bytes);
      return;
    }
    blocks_.push_back(doc.pin());
    block_bytes_ += doc.pinned_bytes();
  }
  doc_bytes_ += bytes.size();
  kept_.push_back({i, bytes});
}

void MatchedRows::keep_copy(std::size_t i, std::string_view doc) {
  char* copy = copies_.allocate(doc.size(), 1);
  if (!doc.empty()) std::memcpy(copy, doc.data(), doc.size());
  kept_.push_back({i, std::string_view(copy, doc.size())});
  doc_bytes_ += doc.size();
}

Result<MatchedRows> read_rows_holding_match_terms(Database& db, SqlSession& session, std::string_view table,
                                                  std::vector<std::string> pks, std::optional<std::uint64_t> as_of,
                                                  std::optional<std::uint64_t> valid_at, const Expr& filter) {
  MatchedRows out;
  out.pks_ = std::move(pks);
  const std::vector<std::string>& listed = out.pks_;
  const MatchRecheck recheck = TRY(MatchRecheck::plan(db, table, filter));
  // An empty document is a deleted row, as read_live_key reads it.
  auto passed_over = [&](std::string_view doc) { return doc.empty() || !recheck.holds(doc); };
  // The row keys, built in one buffer, then read in one batch, the documents tested where they are
  // read; visits come in shard order, and each kept row goes to its place in list order. Without
  // as_of, a row's write the session holds (staged in a transaction, or deferred), when it has one,
  // stands in for its read, as read_live_key reads it.
  const bool held_writes = !as_of && session.has_staged();
  const std::string prefix = facet::relational::row_prefix(table);
  std::size_t bytes = 0;
  for (const std::string& pk : listed) bytes += prefix.size() + pk.size();
  std::string key_bytes;
  key_bytes.reserve(bytes);
  for (const std::string& pk : listed) key_bytes.append(prefix).append(pk);
  std::vector<std::string_view> keys;
  keys.reserve(listed.size());
  std::vector<std::size_t> listed_at;  // with staged writes: the place in the list of each key read
  const std::string_view all = key_bytes;
  std::size_t at = 0;
  for (std::size_t i = 0; i < listed.size(); ++i) {
    const std::string_view key = all.substr(at, prefix.size() + listed[i].size());
    at += key.size();
    if (held_writes) {
      if (const PendingPut* staged = session.newest_staged(key, valid_at)) {
        if (!passed_over(staged->value)) out.keep_copy(i, staged->value);
        continue;
      }
      listed_at.push_back(i);
    }
    keys.push_back(key);
  }
  auto place = [&](std::size_t i) { return held_writes ? listed_at[i] : i; };
  auto skip_row = [&](std::size_t, std::string_view doc) { return passed_over(doc); };
  const engine::BatchReadSkip skip = skip_row;
  TRY(db.visit_get_many(
      keys,
      [&](std::size_t i, const engine::BatchDoc& doc) -> Result<void> {
        out.keep(place(i), doc);
        return {};
      },
      as_of, valid_at, &skip));
  // Each shard's rows came in key order, which is the list's order too when the list ascends: the
  // ascending runs are merged, pairs at a time.
  std::vector<MatchedRows::Kept>& kept = out.kept_;
  auto by_place = [](const MatchedRows::Kept& a, const MatchedRows::Kept& b) { return a.pk < b.pk; };
  std::vector<std::size_t> runs{0};
  for (std::size_t k = 1; k < kept.size(); ++k) {
    if (kept[k].pk < kept[k - 1].pk) runs.push_back(k);
  }
  runs.push_back(kept.size());
  while (runs.size() > 2) {
    std::vector<std::size_t> merged{0};
    for (std::size_t r = 0; r + 2 < runs.size(); r += 2) {
      std::inplace_merge(kept.begin() + static_cast<std::ptrdiff_t>(runs[r]),
                         kept.begin() + static_cast<std::ptrdiff_t>(runs[r + 1]),
                         kept.begin() + static_cast<std::ptrdiff_t>(runs[r + 2]), by_place);
      merged.push_back(runs[r + 2]);
    }
    if (runs.size() % 2 == 0) merged.push_back(runs.back());  // an odd run out waits for the next pass
    runs.swap(merged);
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
