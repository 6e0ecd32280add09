// Full-text selection of a table query's rows. Every MATCH(column, 'query') term of the top-level
// AND chain of the WHERE narrows the rows to those the posting lists name for the query; the rows
// read are then checked against their current documents (the lists only grow, so they can name a
// row that no longer holds a term). A MATCH anywhere else has no answer and fails.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "engine/database.h"
#include "error.h"
#include "sql/eval/eval_context.h"
#include "sql/exec/session.h"
#include "sql/parser/ast.h"
#include "util/arena.h"

namespace quenlordb::sql::exec {

// None when the filter's AND chain holds no MATCH; otherwise the primary keys listed for every
// chain MATCH, in the order of the first one's list. Fails on a malformed MATCH, on a MATCH outside
// the chain, and on a posting list that cannot be read.
Result<std::optional<std::vector<std::string>>> extract_match_filter(const parser::Expr& filter,
                                                                     std::string_view table, Database& db);

// The filter with each MATCH of its AND chain replaced by TRUE, for evaluation on the matched rows.
parser::Expr without_chain_matches(const parser::Expr& filter);

// Fails when expr holds a MATCH call anywhere: for the filters of queries MATCH cannot select for.
Result<void> refuse_match(const parser::Expr& expr);

// The rows of a table query that its chain MATCHes select: the rows of the listed keys that have a
// version (read as read_live_key reads them), in list order, whose documents still hold every term
// (kept as keep_rows_holding_match_terms keeps them). Owns their keys, and their documents: each
// document lies in a table-file block the rows hold (shared with the block cache), or in a copy
// the rows own when holding its block would take far more memory than copying the documents.
class MatchedRows {
 public:
  // The rows, in list order; views valid while this object lives (moves included).
  std::vector<eval::RowView> rows() const;

 private:
  friend Result<MatchedRows> read_rows_holding_match_terms(Database&, SqlSession&, std::string_view,
                                                           std::vector<std::string>, std::optional<std::uint64_t>,
                                                           std::optional<std::uint64_t>, const parser::Expr&);
  // Keeps row i of pks_ with its document, holding doc's block or copying doc.
  void keep(std::size_t i, const engine::BatchDoc& doc);
  void keep_copy(std::size_t i, std::string_view doc);

  // A kept row: its key's place in pks_, and its document, in a held block or in copies_.
  struct Kept {
    std::size_t pk;
    std::string_view doc;
  };
  std::vector<std::string> pks_;
  std::vector<std::shared_ptr<const void>> blocks_;
  std::size_t block_bytes_ = 0;  // what blocks_ hold
  std::size_t doc_bytes_ = 0;    // of the kept documents
  util::Arena copies_;           // in blocks that never move, reused by the heap from query to query
  std::vector<Kept> kept_;
};

// The MatchedRows of table for the listed keys pks (as extract_match_filter gives them) under the
// filter's chain MATCHes, read at as_of and valid_at. The rows are read in one batch
// (Database::visit_get_many), so each shard is read at one snapshot, and their documents are tested
// on the threads that read them; without as_of, a row's write the session holds (staged in a
// transaction, or deferred), when it has one, stands in for its read.
Result<MatchedRows> read_rows_holding_match_terms(Database& db, SqlSession& session, std::string_view table,
                                                  std::vector<std::string> pks, std::optional<std::uint64_t> as_of,
                                                  std::optional<std::uint64_t> valid_at, const parser::Expr& filter);

// The rows whose documents, read the way the table's committed full-text indexes read them (the
// whole document's text when the table has none left), still hold every term of every chain MATCH
// of the filter; rows are kept in order.
Result<std::vector<eval::VisibleRow>> keep_rows_holding_match_terms(Database& db, std::string_view table,
                                                                    const parser::Expr& filter,
                                                                    std::vector<eval::VisibleRow> rows);

}  // namespace quenlordb::sql::exec
