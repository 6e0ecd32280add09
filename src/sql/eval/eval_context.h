// Evaluation of expression trees against one row: the row record VisibleRow that the executor
// passes around, the per-row EvalContext, the binary operators, CAST, and filter_rows, the WHERE
// filter of every query path.
//
// A context borrows its row's primary-key text and document bytes and must not outlive them; it
// is used by one thread for one pass over the row. The document is read only when an expression
// first reads one of its members (pk and doc never read it), at most once per context, under the
// system's JSON rules; a document that does not parse reads as JSON null, so every member is Null.
//
// Evaluation fails only with SqlExecution errors: an unknown CAST target and the errors of the
// function library. Type mismatches give Null or false. Evaluation recurses once per tree level;
// trees from the parser (at most Parser::kMaxDepth deep) fit a default thread stack.
#pragma once

#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include <nlohmann/json.hpp>

#include "error.h"
#include "sql/eval/sql_value.h"
#include "sql/parser/ast.h"
#include "util/json_members.h"

namespace quenlordb::sql::eval {

// A row read where its bytes lie (a scan's rows, a VisibleRow), without owning them.
struct RowView {
  std::string_view pk;
  std::string_view doc;
};

// One row of a table or of a derived source as the executor sees it.
struct VisibleRow {
  std::string pk;   // primary-key text ("0", "1", ... for derived rows; the join key for joined rows)
  std::string doc;  // the document as stored; need not be valid JSON

  operator RowView() const { return RowView{pk, doc}; }
  friend bool operator==(const VisibleRow&, const VisibleRow&) = default;
};

class EvalContext;

// A table a qualified name `name.path` reads: `name.pk` is the row's pk, any other path walks the
// row's document as `doc.path` would. row null: the row of the context itself; absent: a side a
// join padded, every path of which reads NULL. A qualifier reads the first binding whose name it
// equals exactly, else the first it equals in ASCII letter case.
struct TableBinding {
  std::string_view name;  // matched in any ASCII letter case
  EvalContext* row = nullptr;
  bool absent = false;
};

// The two rows of a joined pair, read as the document {"left_doc": ..., "right_doc": ...} without
// building it; null is a padded side.
struct JoinSides {
  EvalContext* left = nullptr;
  EvalContext* right = nullptr;
};

class EvalContext {
 public:
  EvalContext(std::string_view pk, std::string_view doc) : pk_(pk), doc_(doc) {}
  explicit EvalContext(RowView row) : EvalContext(row.pk, row.doc) {}
  EvalContext(RowView row, std::span<const TableBinding> tables) : EvalContext(row.pk, row.doc) { tables_ = tables; }
  // A context whose index of the document's members lives in scratch (cleared here), so that a loop
  // over rows, one context at a time, reuses one index; scratch must outlive the context and serve
  // no other live context.
  EvalContext(RowView row, std::span<const TableBinding> tables, util::JsonMembers& scratch)
      : EvalContext(row, tables) {
    scratch.clear();
    members_ = &scratch;
  }
  EvalContext(RowView row, util::JsonMembers& scratch) : EvalContext(row, {}, scratch) {}
  EvalContext(const EvalContext&) = delete;
  EvalContext& operator=(const EvalContext&) = delete;
  EvalContext(EvalContext&&) = default;
  EvalContext& operator=(EvalContext&&) = default;

  // Makes this the context of another row, as new (no tables, no sides, no scratch), keeping only
  // the storage of the member index it made itself: a loop that makes many contexts in turn reuses
  // one.
  void reset(RowView row);
  // The same row's bytes, copied to another place: the context reads them there, keeping what it
  // has read of them.
  void rebase(RowView row);

  // Evaluates expr, sub-expressions left to right; the first error ends it and is returned as is.
  Result<SqlValue> eval(const parser::Expr& expr);

  std::string_view pk() const { return pk_; }
  std::string_view doc() const { return doc_; }

  // The document's top-level member `name` (exact case), Null when it is missing or the document
  // is not an object.
  SqlValue member(std::string_view name);
  // The index through which member reads this row's document, or null when they read it another
  // way (a tree already parsed, a document too large to index, or a joined pair's sides).
  const util::JsonMembers* member_index() {
    if (sides_ || doc_cache_) return nullptr;
    return members();
  }
  // The value reached from the document by following path through object members; Null when a
  // member is missing or a value on the way is not an object.
  SqlValue field_path(std::span<const std::string> path);
  // The parsed document (JSON null when it does not parse). Parsed on the first call and kept for
  // the context's life.
  const nlohmann::json& document();
  // Whether the document has been read, by document() or by a member read.
  bool document_parsed() const { return doc_cache_.has_value() || (members_ && members_->scanned()); }

  // Tables the qualified names of this row read; a qualifier naming none of them reads NULL. The
  // bindings and the contexts they point to must outlive this context.
  void bind_tables(std::span<const TableBinding> tables) { tables_ = tables; }
  // Serves member and field_path reads of "left_doc" and "right_doc" from the two rows; the
  // document itself is then never parsed (doc() is whatever the context was built with).
  void bind_sides(JoinSides sides) { sides_ = sides; }
  // The value of a qualified name `qualifier.path[0]...`.
  SqlValue qualified(std::string_view qualifier, std::span<const std::string> path);

 private:
  SqlValue side_path(std::span<const std::string> path);
  // The document's top-level members, found on first need; null when the document is too large
  // to index, and read as a tree instead.
  const util::JsonMembers* members();

  std::span<const TableBinding> tables_;
  std::optional<JoinSides> sides_;
  // Member reads go through the index of the top-level members, which finds them in one pass
  // without building anything; the tree is built only for document() (and then serves the reads).
  // The index is the caller's scratch, or made on first need.
  std::optional<nlohmann::json> doc_cache_;
  bool doc_unparsed_ = false;  // the document did not parse (doc_cache_ then holds null)
  util::JsonMembers* members_ = nullptr;
  std::unique_ptr<util::JsonMembers> own_members_;
  std::string_view pk_;
  std::string_view doc_;
};

// Applies a comparison, pattern or arithmetic operator to two values; never fails. Not for And
// and Or, which the evaluator short-circuits.
SqlValue eval_binop(const SqlValue& left, parser::BinOperator op, const SqlValue& right);

// CAST to a type word as the parser gives it (upper case, compared exactly): INT INTEGER, REAL
// FLOAT DOUBLE, TEXT VARCHAR STRING, BOOL BOOLEAN. Any other word fails with SqlExecution
// "unsupported CAST target type: {}".
Result<SqlValue> cast_value(SqlValue value, std::string_view target_type);

// The rows, in the order given, whose predicate is truthy; kept rows are moved, not copied. The
// first evaluation error ends the call with that error. tables are bound to every row's context.
Result<std::vector<VisibleRow>> filter_rows(std::vector<VisibleRow> rows, const parser::Expr& predicate,
                                            std::span<const TableBinding> tables = {});

}  // namespace quenlordb::sql::eval
