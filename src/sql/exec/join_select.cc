#include "sql/exec/join_select.h"

#include <algorithm>
#include <atomic>
#include <cstddef>
#include <cstring>
#include <deque>
#include <future>
#include <limits>
#include <memory>
#include <string>
#include <system_error>
#include <tuple>
#include <unordered_map>
#include <utility>
#include <vector>

#include <nlohmann/json.hpp>

#include "sql/eval/equality_index.h"
#include "sql/eval/eval_context.h"
#include "sql/eval/sql_value.h"
#include "sql/exec/grouped_select.h"
#include "sql/exec/order.h"
#include "sql/exec/projection.h"
#include "sql/exec/row_tables.h"
#include "sql/exec/select.h"
#include "sql/exec/select_source.h"
#include "sql/exec/session.h"
#include "sql/parser/analysis.h"
#include "sql/parser/text.h"
#include "util/bulk_memory.h"
#include "util/function_ref.h"
#include "util/utf8.h"

namespace quenlordb::sql::exec {

namespace {

using eval::EvalContext;
using eval::JoinSides;
using eval::RowView;
using eval::SqlValue;
using eval::TableBinding;
using eval::VisibleRow;
using parser::Expr;
using parser::JoinType;
using parser::SelectItem;
using Select = parser::Statement::Select;

constexpr std::size_t kMaxJoinRows = 10'000'000;
constexpr std::size_t kPadded = std::numeric_limits<std::size_t>::max();

// Set by use_plain_nested_loop, for tests.
std::atomic<bool> plain_nested_loop{false};

Result<void> join_too_large() {
  return fail(QuenlorError::sql_execution("join would produce more than 10000000 rows"));
}

// One joined row: the positions of its left and right rows, kPadded for a side the join padded.
struct Pair {
  std::size_t left;
  std::size_t right;
};

// The rows of one side (where the scan left them, or the one row a pk literal reads), each with a
// context made on its first use and kept for the statement, so that its document is read at most
// once however many pairs it is part of. A pairing that is done with a row may let its context go
// (release) unless a pair the statement holds on to takes the row (keep).
//
// A streamed side is not read whole: a scan hands its rows to the pairing one at a time (visit),
// and only the row whose turn it is can be read, and the rows that pairs held past their visit
// have kept: those are copied, with their contexts, when kept.
struct Side {
  std::string name;
  std::optional<std::string> alias;
  TableRows scanned;
  std::vector<std::string> scanned_pks;
  std::vector<VisibleRow> fetched;
  std::vector<RowView> fetched_views;
  std::span<const RowView> rows;
  std::vector<std::unique_ptr<EvalContext>> contexts;
  std::vector<bool> kept;
  std::vector<std::unique_ptr<EvalContext>> spare;  // released contexts, made again for other rows
  bool streamed = false;
  std::size_t current = kPadded;  // a streamed side's row under way
  RowView current_row;
  // A streamed side's kept rows, in the order of their positions, and the bytes they are copied to.
  struct KeptRow {
    std::size_t index;
    RowView row;
    std::unique_ptr<EvalContext> context;
  };
  std::deque<KeptRow> kept_rows;
  util::ByteChunks kept_bytes;

  // Without docs, a scan reads the rows' primary keys alone, and every document is empty.
  Result<void> read(Database& db, SqlSession& session, std::optional<std::string_view> key, bool docs,
                    std::optional<std::uint64_t> as_of, std::optional<std::uint64_t> valid_at) {
    if (!key && docs) {
      scanned = TRY(scan_table_rows(db, session, name, as_of, valid_at));
      rows = scanned.rows();
    } else if (!key) {
      scanned_pks = TRY(scan_table_pks(db, session, name, as_of, valid_at));
      fetched_views.reserve(scanned_pks.size());
      for (const std::string& pk : scanned_pks) fetched_views.push_back({pk, {}});
      rows = fetched_views;
    } else {
      fetched = TRY(fetch_rows_for_table(db, session, name, key, as_of, valid_at));
      fetched_views.assign(fetched.begin(), fetched.end());
      rows = fetched_views;
    }
    contexts.resize(rows.size());
    kept.resize(rows.size());
    return {};
  }
  // The rows under the given keys (ascending, each once) that are visible, in that order.
  Result<void> read_keys(Database& db, SqlSession& session, std::span<const std::string> keys,
                         std::optional<std::uint64_t> as_of, std::optional<std::uint64_t> valid_at) {
    for (const std::string& key : keys) {
      for (VisibleRow& row : TRY(fetch_rows_for_table(db, session, name, key, as_of, valid_at))) {
        fetched.push_back(std::move(row));
      }
    }
    fetched_views.assign(fetched.begin(), fetched.end());
    rows = fetched_views;
    contexts.resize(rows.size());
    kept.resize(rows.size());
    return {};
  }
  void stream() {
    streamed = true;
    contexts.resize(1);
  }
  // A streamed side's row i (they come in order from 0) is row, until the next visit.
  void visit(std::size_t i, RowView row) {
    current = i;
    current_row = row;
    if (contexts[0]) contexts[0]->reset(row);
  }
  std::size_t size() const { return rows.size(); }
  RowView row(std::size_t i) const {
    if (!streamed) return rows[i];
    if (const KeptRow* k = find_kept(i)) return k->row;
    if (i != current) panic("a streamed join side read out of turn");
    return current_row;
  }
  std::string_view pk(std::size_t i) const { return row(i).pk; }
  EvalContext* context(std::size_t i) {
    if (i == kPadded) return nullptr;
    if (streamed) {
      if (const KeptRow* k = find_kept(i)) return k->context.get();
    }
    const RowView r = row(i);
    std::unique_ptr<EvalContext>& c = contexts[streamed ? 0 : i];
    if (!c) {
      if (spare.empty()) {
        c = std::make_unique<EvalContext>(r);
      } else {
        c = std::move(spare.back());
        spare.pop_back();
        c->reset(r);
      }
    }
    return c.get();
  }
  void keep(std::size_t i) {
    if (i == kPadded) return;
    if (!streamed) {
      kept[i] = true;
      return;
    }
    if (find_kept(i)) return;
    if (i != current) panic("a streamed join side kept out of turn");
    // The row's bytes are copied; its context, and what it has read, go with them.
    char* at = kept_bytes.allocate(current_row.pk.size() + current_row.doc.size());
    std::memcpy(at, current_row.pk.data(), current_row.pk.size());
    std::memcpy(at + current_row.pk.size(), current_row.doc.data(), current_row.doc.size());
    const RowView copy{{at, current_row.pk.size()}, {at + current_row.pk.size(), current_row.doc.size()}};
    if (contexts[0]) contexts[0]->rebase(copy);
    kept_rows.push_back({i, copy, contexts[0] ? std::move(contexts[0]) : std::make_unique<EvalContext>(copy)});
  }
  void release(std::size_t i) {
    if (streamed) return;
    if (!kept[i] && contexts[i]) spare.push_back(std::move(contexts[i]));
  }
  std::string_view doc(std::size_t i) const { return i == kPadded ? std::string_view("null") : row(i).doc; }
  // The row's document as the joined document holds it: JSON null for a padded side, the text of
  // the bytes for a document that is not JSON.
  nlohmann::json json(std::size_t i) {
    if (i == kPadded) return nullptr;
    const nlohmann::json& tree = context(i)->document();
    return tree.is_null() ? decode_row_json(row(i).doc) : tree;
  }
  // True when the primary keys ascend strictly, as a scan gives them.
  bool ascending() const {
    for (std::size_t i = 1; i < rows.size(); ++i) {
      if (!(rows[i - 1].pk < rows[i].pk)) return false;
    }
    return true;
  }

 private:
  const KeptRow* find_kept(std::size_t i) const {
    if (kept_rows.empty() || i > kept_rows.back().index) return nullptr;
    const auto it = std::lower_bound(kept_rows.begin(), kept_rows.end(), i,
                                     [](const KeptRow& k, std::size_t at) { return k.index < at; });
    return it != kept_rows.end() && it->index == i ? &*it : nullptr;
  }
};

std::string build_joined_doc(std::string_view left_bytes, std::string_view right_bytes) {
  nlohmann::json obj = nlohmann::json::object();
  obj["left_doc"] = decode_row_json(left_bytes);
  obj["right_doc"] = decode_row_json(right_bytes);
  return write_json(obj);
}

// True when the expression reads the joined document as a whole (the column `doc`).
bool reads_whole_doc(const Expr& expr) {
  return parser::expr_any_node(expr, [](const Expr& e) {
    const auto* c = e.get_if<Expr::Column>();
    return c && parser::eq_ignore_ascii_case(c->name, "doc");
  });
}

bool any_reads_whole_doc(const std::vector<SelectItem>& items) {
  for (const SelectItem& item : items) {
    const auto* e = item.get_if<SelectItem::Expr>();
    if (e && reads_whole_doc(e->expr)) return true;
  }
  return false;
}

bool any_reads_whole_doc(const std::optional<OrderBy>& order_by) {
  if (!order_by) return false;
  for (const auto& [expr, direction] : *order_by) {
    if (reads_whole_doc(expr)) return true;
  }
  return false;
}

// Which of the two tables a qualifier names: the one whose name (or, for the JOIN table, whose
// alias) it equals exactly, else the one it equals in ASCII letter case. Two tables of different
// names that it equals only so make it ambiguous; a table joined with itself is read as the left.
enum class Named { Neither, Left, Right, Ambiguous };

Named table_named(std::string_view qualifier, std::string_view left, std::string_view right,
                  const std::optional<std::string>& alias) {
  if (qualifier == left) return Named::Left;
  if (qualifier == right || (alias && qualifier == *alias)) return Named::Right;
  const bool l = parser::eq_ignore_ascii_case(qualifier, left);
  const bool r = parser::eq_ignore_ascii_case(qualifier, right) ||
                 (alias && parser::eq_ignore_ascii_case(qualifier, *alias));
  if (l && r) return left == right ? Named::Left : Named::Ambiguous;
  return l ? Named::Left : r ? Named::Right : Named::Neither;
}

// What an expression over a joined pair reads: one side's row, the other's, neither (a constant),
// or the pair (both rows, the joined document whole, `*`, or a function call, which may give
// another value each time). A name reads the side it names; `pk`, the pair's key, is the left row's
// pk except in a CROSS join, whose keys join both pks.
enum class Reads { Neither, Left, Right, Pair };

Reads reads_of(const Expr& expr, std::string_view left_table, std::string_view right_table,
               const std::optional<std::string>& alias, bool cross) {
  bool left = false;
  bool right = false;
  const bool pair = parser::expr_any_node(expr, [&](const Expr& e) {
    if (e.is<Expr::Function>() || e.is<Expr::WindowFunction>() || e.is<Expr::Star>()) return true;
    std::optional<std::string_view> side_doc;
    if (const auto* c = e.get_if<Expr::Column>()) {
      if (parser::eq_ignore_ascii_case(c->name, "doc")) return true;
      if (parser::eq_ignore_ascii_case(c->name, "pk")) {
        if (cross) return true;
        left = true;
      } else {
        side_doc = c->name;
      }
    } else if (const auto* f = e.get_if<Expr::FieldAccess>()) {
      if (parser::eq_ignore_ascii_case(f->column, "doc")) {
        side_doc = f->path[0];
      } else {
        const Named named = table_named(f->column, left_table, right_table, alias);
        left = left || named == Named::Left;
        right = right || named == Named::Right;
      }
    }
    if (side_doc == "left_doc") left = true;
    if (side_doc == "right_doc") right = true;
    return false;
  });
  if (pair || (left && right)) return Reads::Pair;
  return left ? Reads::Left : right ? Reads::Right : Reads::Neither;
}

// Whether an expression over joined pairs reads the right row's document (not only its pk): through
// the joined document whole, its right_doc, or a name of the right table.
bool reads_right_doc(const Expr& expr, std::string_view left_table, std::string_view right_table,
                     const std::optional<std::string>& alias) {
  return parser::expr_any_node(expr, [&](const Expr& e) {
    if (const auto* c = e.get_if<Expr::Column>()) {
      return parser::eq_ignore_ascii_case(c->name, "doc") || c->name == "right_doc";
    }
    const auto* f = e.get_if<Expr::FieldAccess>();
    if (!f) return false;
    if (parser::eq_ignore_ascii_case(f->column, "doc")) return f->path[0] == "right_doc";
    return table_named(f->column, left_table, right_table, alias) == Named::Right &&
           (f->path.size() != 1 || !parser::eq_ignore_ascii_case(f->path[0], "pk"));
  });
}

// Calls f on each part of e cut at its top-level ANDs, in the order AND evaluates them.
void for_each_conjunct(const Expr& e, util::FunctionRef<void(const Expr&)> f) {
  if (const auto* b = e.get_if<Expr::BinOp>(); b && b->op == parser::BinOperator::And) {
    for_each_conjunct(b->left, f);
    for_each_conjunct(b->right, f);
    return;
  }
  f(e);
}

// ON cut at its top-level ANDs, each part evaluated as seldom as it can be: a part that reads one
// side only (or none), once per row of that side; a comparison of an operand that reads the left
// side only with one that reads the right side only, each operand once per row; anything else once
// per pair. A pair matches when every part is true, as it matches ON (an evaluation error, or a
// false part, is no match whatever the others give). Parts holding a function call are evaluated
// per pair, as written.
class OnParts {
 public:
  OnParts(const Expr* on, std::string_view left, std::string_view right, const std::optional<std::string>& alias) {
    if (!on) return;
    for_each_conjunct(*on, [&](const Expr& e) {
      const Reads reads = reads_of(e, left, right, alias, false);
      if (reads == Reads::Neither || reads == Reads::Left) return left_only.push_back(&e);
      if (reads == Reads::Right) return right_only.push_back(&e);
      if (const auto* b = e.get_if<Expr::BinOp>(); b && is_comparison(b->op)) {
        const Reads l = reads_of(b->left, left, right, alias, false);
        const Reads r = reads_of(b->right, left, right, alias, false);
        if (l == Reads::Left && r == Reads::Right) return comparisons.push_back({&b->left, &b->right, b->op, true});
        if (l == Reads::Right && r == Reads::Left) return comparisons.push_back({&b->right, &b->left, b->op, false});
      }
      per_pair.push_back(&e);
    });
  }

  struct Comparison {
    const Expr* left_operand;   // reads the left side only
    const Expr* right_operand;  // reads the right side only
    parser::BinOperator op;
    bool left_first;  // the left side's operand is written first
  };
  std::vector<const Expr*> left_only;
  std::vector<const Expr*> right_only;
  std::vector<Comparison> comparisons;
  std::vector<const Expr*> per_pair;

 private:
  static bool is_comparison(parser::BinOperator op) {
    using parser::BinOperator;
    return op == BinOperator::Eq || op == BinOperator::NotEq || op == BinOperator::Lt || op == BinOperator::Gt ||
           op == BinOperator::LtEq || op == BinOperator::GtEq;
  }
};

// Evaluation over one joined pair at a time: the pair's key is its pk, its two rows' contexts are
// the sides of its joined document and the tables its qualified names read. The joined document
// itself is built only for expressions that read it whole.
class PairScope {
 public:
  PairScope(Side& left, Side& right, bool cross) : left_(left), right_(right), cross_(cross) {
    tables_.push_back({left.name});
    tables_.push_back({right.name});
    if (right.alias) tables_.push_back({*right.alias});
  }
  PairScope(const PairScope&) = delete;
  PairScope& operator=(const PairScope&) = delete;

  // The join key: "{left}_{right}" for CROSS, else the left pk, or the right one on a padded left.
  std::string_view key(Pair p) {
    if (!cross_) return p.left == kPadded ? right_.pk(p.right) : left_.pk(p.left);
    key_.assign(left_.pk(p.left)).append("_").append(right_.pk(p.right));
    return key_;
  }

  // A context over the pair, valid until the next call.
  EvalContext context(Pair p, bool whole_doc) {
    if (whole_doc) doc_ = build_joined_doc(left_.doc(p.left), right_.doc(p.right));
    else doc_.clear();
    EvalContext ctx(key(p), doc_);
    bind(tables_, p);
    ctx.bind_tables(tables_);
    ctx.bind_sides(sides(p));
    return ctx;
  }

  // The bindings of the pair, for a context that outlives the next call.
  std::vector<TableBinding> bindings(Pair p) {
    std::vector<TableBinding> out = tables_;
    bind(out, p);
    return out;
  }
  JoinSides sides(Pair p) { return {left_.context(p.left), right_.context(p.right)}; }
  // The pair is held past its visit: its rows keep their contexts.
  void keep(Pair p) {
    left_.keep(p.left);
    right_.keep(p.right);
  }

  Side& left() { return left_; }
  Side& right() { return right_; }

 private:
  void bind(std::vector<TableBinding>& tables, Pair p) {
    EvalContext* l = left_.context(p.left);
    EvalContext* r = right_.context(p.right);
    tables[0].row = l;
    tables[0].absent = l == nullptr;
    for (std::size_t t = 1; t < tables.size(); ++t) {
      tables[t].row = r;
      tables[t].absent = r == nullptr;
    }
  }

  Side& left_;
  Side& right_;
  bool cross_;
  std::vector<TableBinding> tables_;
  std::string key_;
  std::string doc_;
};

// WHERE over the joined pairs, cut at its top-level ANDs and evaluated part by part as AND
// evaluates them: the first error ends the statement, the first part that is not true drops the
// pair. A part that reads one side's row only (or nothing) has one value for every pair of that
// row, so it is evaluated at the row's first pair that reaches it and remembered; on a padded side,
// and for a part that reads the pair, it is evaluated for each pair.
class FilterParts {
 public:
  FilterParts(const Expr* filter, const Side& left, const Side& right, bool cross) {
    if (!filter) return;
    whole_doc_ = reads_whole_doc(*filter);
    for_each_conjunct(*filter, [&](const Expr& e) {
      Part part{&e, reads_of(e, left.name, right.name, right.alias, cross), {}};
      if (part.reads == Reads::Neither) part.reads = Reads::Left;
      parts_.push_back(std::move(part));
    });
  }

  Result<bool> passes(PairScope& scope, Pair p) {
    std::optional<EvalContext> ctx;
    for (Part& part : parts_) {
      const std::size_t row = part.reads == Reads::Left ? p.left : part.reads == Reads::Right ? p.right : kPadded;
      if (row != kPadded && row >= part.known.size()) part.known.resize(row + 1, kUnknown);
      std::uint8_t* known = row == kPadded ? nullptr : &part.known[row];
      if (!known || *known == kUnknown) {
        if (!ctx) ctx.emplace(scope.context(p, whole_doc_));
        const bool truth = eval::is_truthy(TRY(ctx->eval(*part.expr)));
        if (!known) {
          if (!truth) return false;
          continue;
        }
        *known = truth ? kTrue : kFalse;
      }
      if (*known == kFalse) return false;
    }
    return true;
  }

 private:
  static constexpr std::uint8_t kUnknown = 0;
  static constexpr std::uint8_t kTrue = 1;
  static constexpr std::uint8_t kFalse = 2;
  struct Part {
    const Expr* expr;
    Reads reads;                      // Left, Right or Pair
    std::vector<std::uint8_t> known;  // per row of the side it reads: its truth once evaluated
  };
  std::vector<Part> parts_;
  bool whole_doc_ = false;  // the joined document is built for evaluating the parts
};

// The pairing of a nested-loop join: ON against each pair; an evaluation error counts as no
// match. Made once the right rows are read: a right row's one-sided parts and operands are
// evaluated then, once; a left row's at its turn (they call no function, so the order changes
// nothing). With an equality among the comparisons, the right rows are indexed by their operand of
// it, and a left row tries only the rows whose operand equals its own, in ascending order: the
// pairs, and their order, of trying every right row. The left rows are paired in turn, each
// followed by its padded row when a LEFT join finds it no match; a RIGHT join's unmatched right
// rows come after all pairs.
class NestedLoop {
 public:
  // hold_right: the statement reads the right rows' documents again after ON's one-sided parts
  // and operands (else their contexts go once those are evaluated, and are made again if needed).
  NestedLoop(PairScope& scope, JoinType type, const Expr* on, bool hold_right,
             util::FunctionRef<Result<bool>(Pair)> visit)
      : scope_(scope),
        keep_left_(type == JoinType::Left),
        keep_right_(type == JoinType::Right),
        visit_(visit),
        parts_(on, scope.left().name, scope.right().name, scope.right().alias),
        n_(parts_.comparisons.size()),
        keyed_(indexed_comparison()),
        pair_doc_(std::any_of(parts_.per_pair.begin(), parts_.per_pair.end(),
                              [](const Expr* e) { return reads_whole_doc(*e); })),
        left_values_(n_) {
    const std::size_t r = scope.right().size();
    right_matched_.assign(keep_right_ ? r : 0, false);
    right_ok_.resize(r);
    right_values_.resize(r * n_);
    std::size_t texts = 0;
    std::size_t numbers = 0;
    const Side& right = scope.right();
    const bool hold = hold_right || std::any_of(parts_.per_pair.begin(), parts_.per_pair.end(), [&](const Expr* e) {
                        return reads_right_doc(*e, scope.left().name, right.name, right.alias);
                      });
    for (std::size_t j = 0; j < r; ++j) {
      right_ok_[j] = truth({kPadded, j}, parts_.right_only);
      if (right_ok_[j]) operands({kPadded, j}, false, right_values_.data() + j * n_);
      if (!hold) scope.right().release(j);
      if (!right_ok_[j] || keyed_ == n_) continue;
      if (const std::optional<SqlValue>& v = right_values_[j * n_ + keyed_]) {
        texts += v->is_text();
        numbers += v->is_number();
      }
    }
    if (keyed_ == n_) return;
    index_.reserve(r, texts, numbers);
    for (std::size_t j = 0; j < r; ++j) {
      std::optional<SqlValue>& v = right_values_[j * n_ + keyed_];
      if (v) index_.add(*v, static_cast<eval::EqualityIndex::Position>(j));
      v.reset();
    }
    if (n_ == 1) std::vector<std::optional<SqlValue>>().swap(right_values_);  // all in index_ now
  }

  // The pairs of left row i, then its padded row if due; false once a visit stops the pairing.
  Result<bool> pair_left(std::size_t i) {
    bool matched = false;
    // Emits the pair when it matches; false when the visit stops the pairing.
    const auto attempt = [&](std::size_t j) -> Result<bool> {
      if (!matches(i, j)) return true;
      matched = true;
      if (keep_right_) right_matched_[j] = true;
      return emit({i, j});
    };
    if (truth({i, kPadded}, parts_.left_only)) {
      operands({i, kPadded}, true, left_values_.data());
      if (keyed_ < n_) {
        candidates_.clear();
        if (left_values_[keyed_]) index_.find_equal(*left_values_[keyed_], candidates_);
        for (eval::EqualityIndex::Position j : candidates_) {
          if (!TRY(attempt(j))) return false;
        }
      } else {
        for (std::size_t j = 0; j < right_ok_.size(); ++j) {
          if (!TRY(attempt(j))) return false;
        }
      }
    }
    if (keep_left_ && !matched) return emit({i, kPadded});
    return true;
  }

  Result<void> unmatched_right() {
    for (std::size_t j = 0; j < right_matched_.size(); ++j) {
      if (!right_matched_[j]) {
        if (!TRY(emit({kPadded, j}))) return {};
      }
    }
    return {};
  }

 private:
  Result<bool> emit(Pair p) {
    if (++made_ > kMaxJoinRows) TRY(join_too_large());
    return visit_(p);
  }

  // A row's one-sided parts, and the values of its comparisons' operands (none on an error).
  bool truth(Pair p, const std::vector<const Expr*>& exprs) {
    if (exprs.empty()) return true;
    EvalContext ctx = scope_.context(p, false);
    for (const Expr* e : exprs) {
      const Result<SqlValue> v = ctx.eval(*e);
      if (!v || !eval::is_truthy(*v)) return false;
    }
    return true;
  }
  void operands(Pair p, bool left_side, std::optional<SqlValue>* out) {
    EvalContext ctx = scope_.context(p, false);
    for (std::size_t k = 0; k < n_; ++k) {
      const OnParts::Comparison& c = parts_.comparisons[k];
      Result<SqlValue> v = ctx.eval(*(left_side ? c.left_operand : c.right_operand));
      out[k] = v ? std::optional(std::move(*v)) : std::nullopt;
    }
  }

  // Whether left row i (its operands in left_values_) and right row j match, the keyed comparison
  // aside.
  bool matches(std::size_t i, std::size_t j) {
    if (!right_ok_[j]) return false;
    for (std::size_t k = 0; k < n_; ++k) {
      if (k == keyed_) continue;
      const std::optional<SqlValue>& l = left_values_[k];
      const std::optional<SqlValue>& r = right_values_[j * n_ + k];
      if (!l || !r) return false;
      const OnParts::Comparison& c = parts_.comparisons[k];
      const SqlValue v = c.left_first ? eval::eval_binop(*l, c.op, *r) : eval::eval_binop(*r, c.op, *l);
      if (!eval::is_truthy(v)) return false;
    }
    if (parts_.per_pair.empty()) return true;
    EvalContext ctx = scope_.context({i, j}, pair_doc_);
    for (const Expr* e : parts_.per_pair) {
      const Result<SqlValue> v = ctx.eval(*e);
      if (!v || !eval::is_truthy(*v)) return false;
    }
    return true;
  }

  // The comparison whose operands index the right rows: the first equality, unless the plain
  // nested loop is asked for or a right row would have no position in an index; n_ for none.
  std::size_t indexed_comparison() const {
    if (plain_nested_loop.load(std::memory_order_relaxed) ||
        scope_.right().size() >= eval::EqualityIndex::kNoPosition) {
      return n_;
    }
    for (std::size_t k = 0; k < n_; ++k) {
      if (parts_.comparisons[k].op == parser::BinOperator::Eq) return k;
    }
    return n_;
  }

  PairScope& scope_;
  bool keep_left_;
  bool keep_right_;
  util::FunctionRef<Result<bool>(Pair)> visit_;
  const OnParts parts_;
  std::size_t n_;
  std::size_t keyed_;
  bool pair_doc_;
  std::vector<bool> right_ok_;
  std::vector<std::optional<SqlValue>> right_values_;  // n_ per right row; the keyed one is in index_
  eval::EqualityIndex index_;
  std::vector<std::optional<SqlValue>> left_values_;  // the row under way's
  std::vector<eval::EqualityIndex::Position> candidates_;
  std::vector<bool> right_matched_;
  std::size_t made_ = 0;
};

// The joined pairs of a statement, made one at a time.
class Pairing {
 public:
  // hold_right: see NestedLoop.
  Pairing(PairScope& scope, const parser::JoinSpec& join, bool key_join, bool hold_right)
      : scope_(scope),
        type_(join.join_type),
        key_join_(key_join),
        on_(join.on_clause ? &*join.on_clause : nullptr),
        hold_right_(hold_right) {}

  // Where a streamed left side's rows come from: a scan of its table. Only for nested-loop INNER
  // and LEFT joins, whose pairs come left row by left row, hence in key order.
  struct Stream {
    Database& db;
    SqlSession& session;
    std::optional<std::uint64_t> as_of;
    std::optional<std::uint64_t> valid_at;
  };
  void stream_left(Stream stream) { stream_.emplace(stream); }

  // Visits the pairs in ascending key order, pairs of one key in the order the join makes them;
  // visit returns false to stop.
  Result<void> visit_in_key_order(util::FunctionRef<Result<bool>(Pair)> visit) {
    if (stream_) return generate_streamed(visit);
    std::vector<std::size_t> left_order;
    if (streams_in_key_order(left_order)) return generate(left_order, visit, true);
    // Otherwise all pairs are made first, then sorted.
    std::vector<Pair> pairs;
    TRY(generate(left_order, [&](Pair p) -> Result<bool> {
      pairs.push_back(p);
      return true;
    }, false));
    std::string a;
    const std::vector<std::size_t> order = sort_permutation(pairs.size(), [&](std::size_t i, std::size_t j) {
      a.assign(scope_.key(pairs[i]));
      const int c = a.compare(scope_.key(pairs[j]));
      return c != 0 ? c < 0 : rank(pairs[i]) < rank(pairs[j]);
    });
    for (std::size_t i : order) {
      if (!TRY(visit(pairs[i]))) break;
    }
    return {};
  }

  // Visits the pairs in any order.
  Result<void> visit_any_order(util::FunctionRef<Result<bool>(Pair)> visit) {
    if (stream_) return generate_streamed(visit);
    std::vector<std::size_t> left_order(scope_.left().size());
    for (std::size_t i = 0; i < left_order.size(); ++i) left_order[i] = i;
    return generate(left_order, visit, true);
  }

 private:
  Side& left() { return scope_.left(); }
  Side& right() { return scope_.right(); }
  bool nested() const { return !key_join_ && type_ != JoinType::Cross; }

  // Where the pair stands in the order the join makes its pairs (the order that decides between
  // pairs of one key): CROSS and nested-loop pairs left row by left row, then a nested loop's
  // unmatched left rows and then its unmatched right rows; a key join in the order of the side
  // it walks.
  std::tuple<int, std::size_t, std::size_t> rank(Pair p) const {
    if (key_join_) return {0, walks_left() ? p.left : p.right, 0};
    if (p.left == kPadded) return {2, p.right, 0};
    if (p.right == kPadded) return {1, p.left, 0};
    return {0, p.left, p.right};
  }

  bool walks_left() const {
    if (type_ == JoinType::Left) return true;
    if (type_ == JoinType::Right) return false;
    return scope_.right().size() < scope_.left().size();
  }

  // Whether generate, walking the left rows in the order it fills in, makes the pairs in key
  // order. For CROSS, a left pk followed by "_" that begins another left pk lets the two rows'
  // keys interleave; otherwise the left rows in the order of their pks followed by "_" give
  // blocks of keys that follow each other.
  bool streams_in_key_order(std::vector<std::size_t>& left_order) {
    left_order.resize(left().size());
    for (std::size_t i = 0; i < left_order.size(); ++i) left_order[i] = i;
    if (key_join_) return (walks_left() ? left() : right()).ascending();
    if (nested()) return type_ != JoinType::Right && left().ascending();
    if (!right().ascending()) return false;
    std::string a;
    std::string b;
    const auto with_sep = [&](std::string& out, std::size_t i) -> std::string& {
      out.assign(left().pk(i)).push_back('_');
      return out;
    };
    left_order = sort_permutation(left_order.size(), [&](std::size_t i, std::size_t j) {
      return with_sep(a, i) < with_sep(b, j);
    });
    for (std::size_t k = 1; k < left_order.size(); ++k) {
      if (with_sep(b, left_order[k]).starts_with(with_sep(a, left_order[k - 1]))) return false;
    }
    return true;
  }

  // Makes the pairs: CROSS and nested loops walk the left rows in left_order. streamed: each pair's
  // visit is all the statement does with it, unless it keeps the pair (PairScope::keep).
  Result<void> generate(const std::vector<std::size_t>& left_order, util::FunctionRef<Result<bool>(Pair)> visit,
                        bool streamed) {
    const std::size_t l = left().size();
    const std::size_t r = right().size();
    if (type_ == JoinType::Cross) {
      if (l != 0 && r > kMaxJoinRows / l) return join_too_large();
      for (std::size_t i : left_order) {
        for (std::size_t j = 0; j < r; ++j) {
          if (!TRY(visit({i, j}))) return {};
        }
      }
      return {};
    }
    if (key_join_) return generate_on_pk(visit);
    return generate_nested(left_order, visit, streamed);
  }

  // For each row of the walked side in order, the row of the other side with the same pk (of
  // several, the last). Rows read by a scan come in ascending pk order, each pk once, so one
  // merging walk pairs them; other row lists are looked up through a hash map.
  Result<void> generate_on_pk(util::FunctionRef<Result<bool>(Pair)> visit) {
    const bool walk_left = walks_left();
    const Side& walk = walk_left ? left() : right();
    const Side& other = walk_left ? right() : left();
    const bool padded = type_ != JoinType::Inner;
    const auto pair = [&](std::size_t i, std::size_t partner) {
      return walk_left ? Pair{i, partner} : Pair{partner, i};
    };
    if (walk.ascending() && other.ascending()) {
      std::size_t j = 0;
      for (std::size_t i = 0; i < walk.size(); ++i) {
        const std::string_view pk = walk.pk(i);
        while (j < other.size() && other.pk(j) < pk) ++j;
        const bool found = j < other.size() && other.pk(j) == pk;
        if (found || padded) {
          if (!TRY(visit(pair(i, found ? j : kPadded)))) return {};
        }
      }
      return {};
    }
    std::unordered_map<std::string_view, std::size_t> map;
    for (std::size_t j = 0; j < other.size(); ++j) map[other.pk(j)] = j;
    for (std::size_t i = 0; i < walk.size(); ++i) {
      const auto it = map.find(walk.pk(i));
      if (it != map.end() || padded) {
        if (!TRY(visit(pair(i, it != map.end() ? it->second : kPadded)))) return {};
      }
    }
    return {};
  }

  Result<void> generate_nested(const std::vector<std::size_t>& left_order,
                               util::FunctionRef<Result<bool>(Pair)> visit, bool streamed) {
    NestedLoop loop(scope_, type_, on_, hold_right_, visit);
    for (std::size_t i : left_order) {
      if (!TRY(loop.pair_left(i))) return {};
      if (streamed) left().release(i);
    }
    return loop.unmatched_right();
  }

  // The pairs of a nested loop whose left side is streamed, its table's rows paired one at a time
  // as its scan hands them over. The errors are those of reading the rows first, then pairing them:
  // after an error of a visit the scan goes on, pairing nothing, and an error of its own wins.
  Result<void> generate_streamed(util::FunctionRef<Result<bool>(Pair)> visit) {
    NestedLoop loop(scope_, type_, on_, hold_right_, visit);
    std::size_t i = 0;
    bool stopped = false;
    TRY(visit_table_rows(stream_->db, stream_->session, left().name, stream_->as_of, stream_->valid_at,
                         [&](RowView row) -> Result<void> {
                           if (stopped) return {};
                           left().visit(i, row);
                           stopped = !TRY(loop.pair_left(i++));
                           return {};
                         }));
    if (stopped) return {};
    return loop.unmatched_right();
  }

  PairScope& scope_;
  JoinType type_;
  bool key_join_;
  const Expr* on_;
  bool hold_right_;
  std::optional<Stream> stream_;
};

// The primary key an ON operand reads: `pk` and `pk.pk` the joined key (either side's), and
// `<table>.pk` the named table's.
enum class PkOf { None, Either, Left, Right };

PkOf pk_of(const Expr& e, std::string_view left, std::string_view right, const std::optional<std::string>& alias) {
  if (const auto* c = e.get_if<Expr::Column>()) return parser::eq_ignore_ascii_case(c->name, "pk") ? PkOf::Either : PkOf::None;
  const auto* f = e.get_if<Expr::FieldAccess>();
  if (!f || f->path.size() != 1 || !parser::eq_ignore_ascii_case(f->path[0], "pk")) return PkOf::None;
  switch (table_named(f->column, left, right, alias)) {
    case Named::Left:
      return PkOf::Left;
    case Named::Right:
      return PkOf::Right;
    default:
      return parser::eq_ignore_ascii_case(f->column, "pk") ? PkOf::Either : PkOf::None;
  }
}

// The keys of the JOIN rows that can pair with the FROM rows read (a pk literal reads one at most)
// when ON pairs them through an equality with the JOIN table's primary key (`o.user = u.pk`): a
// text meets exactly the row under that key, and NULL, a boolean or an error meets none, so those
// rows are read by their keys. None, and the JOIN table is read whole, when a value is a number,
// which meets every key that reads as it ('7', '07', '7.0'), or when ON has no such equality.
std::optional<std::vector<std::string>> partner_keys(Side& left, Side& right, const parser::JoinSpec& join) {
  const OnParts parts(join.on_clause ? &*join.on_clause : nullptr, left.name, right.name, right.alias);
  const auto equality = std::find_if(parts.comparisons.begin(), parts.comparisons.end(),
                                     [](const OnParts::Comparison& c) { return c.op == parser::BinOperator::Eq; });
  if (equality == parts.comparisons.end()) return std::nullopt;
  const auto* f = equality->right_operand->get_if<Expr::FieldAccess>();
  if (!f || f->path.size() != 1 || !parser::eq_ignore_ascii_case(f->path[0], "pk") ||
      table_named(f->column, left.name, right.name, right.alias) != Named::Right) {
    return std::nullopt;
  }
  PairScope scope(left, right, false);
  std::vector<std::string> keys;
  for (std::size_t i = 0; i < left.size(); ++i) {
    EvalContext ctx = scope.context({i, kPadded}, false);
    Result<SqlValue> v = ctx.eval(*equality->left_operand);
    if (!v || v->is_null() || v->is_bool()) continue;
    if (!v->is_text()) return std::nullopt;
    keys.push_back(std::move(*v).text_value());
  }
  std::sort(keys.begin(), keys.end());
  keys.erase(std::unique(keys.begin(), keys.end()), keys.end());
  return keys;
}

// Calls f on every expression of the statement that is evaluated over its joined rows.
void for_each_expr(const Select& select, util::FunctionRef<void(const Expr&)> f, bool with_on = true) {
  for (const SelectItem& item : select.items) {
    if (const auto* e = item.get_if<SelectItem::Expr>()) f(e->expr);
  }
  if (with_on && select.join->on_clause) f(*select.join->on_clause);
  if (select.filter) f(*select.filter);
  if (select.group_by) {
    for (const Expr& e : *select.group_by) f(e);
  }
  if (select.having) f(*select.having);
  if (select.order_by) {
    for (const auto& [e, direction] : *select.order_by) f(e);
  }
}

// What no join runs: a window function anywhere in the statement, and a qualifier that names
// neither table exactly but both in letter case.
Result<void> refuse_unsupported(const Select& select, std::string_view left_table) {
  const parser::JoinSpec& join = *select.join;
  bool window = false;
  std::optional<std::string> ambiguous;
  for_each_expr(select, [&](const Expr& expr) {
    window = window || parser::expr_any_node(expr, [](const Expr& e) { return e.is<Expr::WindowFunction>(); });
    if (ambiguous) return;
    parser::expr_any_node(expr, [&](const Expr& e) {
      const auto* f = e.get_if<Expr::FieldAccess>();
      if (!f || parser::eq_ignore_ascii_case(f->column, "doc")) return false;
      if (table_named(f->column, left_table, join.right_table, join.right_alias) != Named::Ambiguous) return false;
      ambiguous = f->column;
      return true;
    });
  });
  if (window) return fail(QuenlorError::sql_execution("window functions are not supported in a join"));
  if (ambiguous) return fail(QuenlorError::sql_execution("ambiguous table qualifier " + *ambiguous));
  return {};
}

// Whether any expression of the statement, or a `*`, reads a row's document: everything but `pk`
// and `<qualifier>.pk` does (a qualifier naming no table reads NULL either way).
bool reads_documents(const Select& select) {
  for (const SelectItem& item : select.items) {
    if (item.is<SelectItem::AllColumns>()) return true;
  }
  bool reads = false;
  for_each_expr(select, [&](const Expr& expr) {
    reads = reads || parser::expr_any_node(expr, [](const Expr& e) {
              if (const auto* c = e.get_if<Expr::Column>()) return !parser::eq_ignore_ascii_case(c->name, "pk");
              const auto* f = e.get_if<Expr::FieldAccess>();
              return f && (parser::eq_ignore_ascii_case(f->column, "doc") || f->path.size() != 1 ||
                           !parser::eq_ignore_ascii_case(f->path[0], "pk"));
            });
  });
  return reads;
}

// Whether the statement reads the right rows' documents outside ON: `*`, or an expression that
// reads_right_doc.
bool reads_right_docs_after_on(const Select& select, std::string_view left_table) {
  for (const SelectItem& item : select.items) {
    if (item.is<SelectItem::AllColumns>()) return true;
  }
  const parser::JoinSpec& join = *select.join;
  bool reads = false;
  for_each_expr(
      select,
      [&](const Expr& e) { reads = reads || reads_right_doc(e, left_table, join.right_table, join.right_alias); },
      false);
  return reads;
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

// The primary keys of both tables, each as scan_table_pks gives them, with its errors, the FROM
// table's first. Once the FROM table has shown kOverlapRows rows, the JOIN table is read on a
// thread of its own while this thread reads on: smaller tables do not pay for starting it.
constexpr std::size_t kOverlapRows = 4096;

Result<std::pair<std::vector<std::string>, std::vector<std::string>>> scan_both_pks(
    Database& db, SqlSession& session, std::string_view left_table, std::string_view right_table,
    std::optional<std::uint64_t> as_of, std::optional<std::uint64_t> valid_at) {
  const auto scan_right = [&] { return scan_table_pks(db, session, right_table, as_of, valid_at); };
  std::future<Result<std::vector<std::string>>> right;
  std::vector<std::string> left_pks;
  const Result<void> left = visit_table_rows(db, session, left_table, as_of, valid_at, [&](RowView row) {
    left_pks.emplace_back(row.pk);
    if (left_pks.size() == kOverlapRows) {
      try {
        right = std::async(std::launch::async, scan_right);
      } catch (const std::system_error&) {
        // No thread to be had: the JOIN table is read after the FROM table.
      }
    }
    return Result<void>{};
  });
  if (right.valid()) {
    Result<std::vector<std::string>> right_pks = right.get();
    TRY(left);
    return std::pair{std::move(left_pks), TRY(std::move(right_pks))};
  }
  TRY(left);
  return std::pair{std::move(left_pks), TRY(scan_right())};
}

Result<std::string> project_joined_row(PairScope& scope, Pair p, EvalContext& ctx, const std::vector<SelectItem>& items,
                                       ProjectionClass cls) {
  nlohmann::json obj = nlohmann::json::object();
  auto all_columns = [&] {
    obj["left_doc"] = scope.left().json(p.left);
    obj["pk"] = util::decode_utf8_lossy(ctx.pk());
    obj["right_doc"] = scope.right().json(p.right);
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

bool wants_grouped(const Select& select) {
  if (select.group_by && !select.group_by->empty()) return true;
  for (const SelectItem& item : select.items) {
    const auto* e = item.get_if<SelectItem::Expr>();
    if (e && parser::expr_contains_aggregate(e->expr)) return true;
  }
  return false;
}

// The grouped finish over the kept pairs: each a joined row whose members are read from its sides
// (its joined document built only when the query reads it whole, or `*` takes its members).
Result<SqlResult> finish_grouped(PairScope& scope, const std::vector<Pair>& kept, const Select& select) {
  bool whole_doc = any_reads_whole_doc(select.items) || any_reads_whole_doc(select.order_by) ||
                   (select.having && reads_whole_doc(*select.having));
  if (select.group_by) {
    for (const Expr& e : *select.group_by) whole_doc = whole_doc || reads_whole_doc(e);
  }
  for (const SelectItem& item : select.items) whole_doc = whole_doc || item.is<SelectItem::AllColumns>();
  std::vector<VisibleRow> rows;
  std::vector<std::vector<TableBinding>> tables;
  std::vector<JoinSides> sides;
  rows.reserve(kept.size());
  tables.reserve(kept.size());
  sides.reserve(kept.size());
  for (const Pair& p : kept) {
    std::string doc = whole_doc ? build_joined_doc(scope.left().doc(p.left), scope.right().doc(p.right)) : "";
    rows.push_back({std::string(scope.key(p)), std::move(doc)});
    tables.push_back(scope.bindings(p));
    sides.push_back(scope.sides(p));
  }
  return execute_grouped_select(std::move(rows), select, RowTables(tables, sides));
}

}  // namespace

void use_plain_nested_loop(bool on) { plain_nested_loop.store(on, std::memory_order_relaxed); }

bool is_pk_eq_join(const std::optional<Expr>& on, std::string_view left_table, std::string_view right_table,
                   const std::optional<std::string>& right_alias) {
  if (!on) return false;
  const auto* b = on->get_if<Expr::BinOp>();
  if (!b || b->op != parser::BinOperator::Eq) return false;
  const PkOf l = pk_of(b->left, left_table, right_table, right_alias);
  const PkOf r = pk_of(b->right, left_table, right_table, right_alias);
  if (l == PkOf::None || r == PkOf::None) return false;
  return l == PkOf::Either || r == PkOf::Either || l != r;
}

Result<SqlResult> execute_join_select(Database& db, SqlSession& session, std::string_view left_table,
                                      const Select& select, std::optional<std::uint64_t> as_of,
                                      std::optional<std::uint64_t> valid_at) {
  const parser::JoinSpec& join = *select.join;
  TRY(refuse_unsupported(select, left_table));
  for (std::string_view table : {left_table, std::string_view(join.right_table)}) {
    TRY(load_table_schema(db, session, table));
  }
  const ProjectionClass cls = detect_legacy_projection(select.items);
  if (cls == ProjectionClass::Doc) return fail(QuenlorError::sql_execution("JOIN does not support SELECT doc projection"));

  const bool key_join = join.join_type != JoinType::Cross &&
                        is_pk_eq_join(join.on_clause, left_table, join.right_table, join.right_alias);
  const bool cross = join.join_type == JoinType::Cross;
  // A pk literal narrows both sides of a key join exactly (every joined key is both sides' pk). A
  // nested loop's key is its left row's pk, so for INNER and LEFT joins the literal narrows the left
  // side exactly, and WHERE still filters the joined rows; a RIGHT join's unmatched right rows and
  // CROSS keys "{left}_{right}" leave both sides whole.
  const std::optional<std::string> lit = parser::extract_pk_eq_literal(select.filter);
  std::optional<std::string_view> left_key;
  std::optional<std::string_view> right_key;
  if (lit && !cross && (key_join || join.join_type != JoinType::Right)) left_key = *lit;
  if (lit && key_join) right_key = *lit;
  const Expr* filter = select.filter && !(lit && key_join) ? &*select.filter : nullptr;
  const bool count = !select.group_by && is_plain_count_star(select.items);

  // A bare count of key-joined rows over both whole tables needs only their primary keys.
  if (count && key_join && !lit && !filter) {
    const auto [left_pks, right_pks] = TRY(scan_both_pks(db, session, left_table, join.right_table, as_of, valid_at));
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
  const bool docs = reads_documents(select);
  // A nested-loop INNER or LEFT join over the whole FROM table pairs the FROM table's rows as its
  // scan hands them over, without reading the table whole first; only the rows of pairs held for
  // ORDER BY or grouping are copied. The JOIN table is read before it; when that fails, a read
  // error of the FROM table still comes first.
  const bool plain = plain_nested_loop.load(std::memory_order_relaxed);
  const bool streamed = !key_join && !cross && join.join_type != JoinType::Right && !left_key && !plain;
  if (streamed) {
    left.stream();
    if (Result<void> read = right.read(db, session, right_key, docs, as_of, valid_at); !read) {
      TRY(scan_table_pks(db, session, left_table, as_of, valid_at));
      return fail(std::move(read.error()));
    }
  } else {
    TRY(left.read(db, session, left_key, docs, as_of, valid_at));
    // Only INNER and LEFT joins: a RIGHT join keeps the JOIN rows nothing pairs with.
    std::optional<std::vector<std::string>> keys;
    if (left_key && !key_join && !cross && join.join_type != JoinType::Right && !plain) {
      keys = partner_keys(left, right, join);
    }
    if (keys) TRY(right.read_keys(db, session, *keys, as_of, valid_at));
    else TRY(right.read(db, session, right_key, docs, as_of, valid_at));
  }
  PairScope scope(left, right, cross);
  Pairing pairing(scope, join, key_join, reads_right_docs_after_on(select, left_table));
  if (streamed) pairing.stream_left({db, session, as_of, valid_at});

  // WHERE against the pair's sides; the joined document only when WHERE reads it whole.
  FilterParts where(filter, left, right, cross);
  const auto passes = [&](Pair p) { return where.passes(scope, p); };

  if (count) {
    if (cross && !filter) {
      if (left.size() != 0 && right.size() > kMaxJoinRows / left.size()) TRY(join_too_large());
      return SqlResult{SqlResult::Rows{{std::to_string(left.size() * right.size())}}};
    }
    std::size_t n = 0;
    TRY(pairing.visit_any_order([&](Pair p) -> Result<bool> {
      if (TRY(passes(p))) ++n;
      return true;
    }));
    return SqlResult{SqlResult::Rows{{std::to_string(n)}}};
  }

  if (wants_grouped(select)) {
    std::vector<Pair> kept;
    TRY(pairing.visit_in_key_order([&](Pair p) -> Result<bool> {
      if (!TRY(passes(p))) return true;
      kept.push_back(p);
      scope.keep(p);
      return true;
    }));
    return finish_grouped(scope, kept, select);
  }

  const bool items_whole_doc = any_reads_whole_doc(select.items);
  const auto project = [&](Pair p) -> Result<std::string> {
    EvalContext ctx = scope.context(p, items_whole_doc);
    return project_joined_row(scope, p, ctx, select.items, cls);
  };
  SqlResult::Rows out;

  // Without ORDER BY the rows come in key order, and LIMIT ends the pairing once it has its rows.
  if (!select.order_by || select.order_by->empty()) {
    TRY(pairing.visit_in_key_order([&](Pair p) -> Result<bool> {
      if (select.limit && *select.limit == 0) return false;
      if (!TRY(passes(p))) return true;
      out.rows.push_back(TRY(project(p)));
      return !(select.limit && out.rows.size() >= *select.limit);
    }));
    return SqlResult{std::move(out)};
  }

  // ORDER BY over the kept pairs in key order, so that pairs equal on every entry stay in key order
  // (ascending even under DESC).
  const OrderBy& order_by = *select.order_by;
  const bool order_whole_doc = any_reads_whole_doc(select.order_by);
  std::vector<Pair> kept;
  std::vector<std::vector<SqlValue>> keys;
  TRY(pairing.visit_in_key_order([&](Pair p) -> Result<bool> {
    if (!TRY(passes(p))) return true;
    kept.push_back(p);
    scope.keep(p);
    EvalContext ctx = scope.context(p, order_whole_doc);
    keys.push_back(eval_order_keys(ctx, order_by));
    return true;
  }));
  const std::vector<std::size_t> order =
      select.limit ? first_by_keys(keys, order_by, static_cast<std::size_t>(std::min<std::uint64_t>(*select.limit, kept.size())))
                   : sort_by_keys(keys, order_by);
  out.rows.reserve(order.size());
  for (std::size_t i : order) out.rows.push_back(TRY(project(kept[i])));
  return SqlResult{std::move(out)};
}

}  // namespace quenlordb::sql::exec
