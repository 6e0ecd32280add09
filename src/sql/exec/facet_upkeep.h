// The upkeep of a table's facets when a statement writes a row: the full-text posting lists of
// every full-text index of the table (committed, or staged in the session), and the buckets of a
// time-series table. Also the terms a row's document yields under a table's indexes, by which MATCH
// checks the rows it reads.
//
// The lists and buckets are gathered in the session's upkeep stage (upkeep_stage.h) and written
// once per transaction (by COMMIT) or, outside one, once per run of row-writing statements: the
// INSERT forms, UPDATE, COPY FROM and CREATE TABLE AS gather; write_gathered_upkeep_before writes
// the stage before any other statement, and the script's end and its first error write it too
// (execute_sql). A row's upkeep is staged before the row is written, and the rows written while
// the stage holds a list wait in the session until it is written (see session.h), so that no row
// reaches the log before its list entries. The stored lists and buckets come out byte for byte as
// writing each row's at once would leave them; a list that already held every key added is not
// written again.
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <optional>
#include <string>
#include <unordered_map>
#include <string_view>
#include <vector>

#include <nlohmann/json.hpp>

#include "engine/database.h"
#include "error.h"
#include "sql/eval/eval_context.h"
#include "sql/exec/session.h"
#include "sql/parser/ast.h"

namespace quenlordb::sql::exec {

// Appends the text leaves of value, depth first: null nothing, a boolean "true" or "false", a
// number its JSON text, a text itself, an array its elements in order, an object its member values
// in ascending byte order of the names.
void collect_json_strings(const nlohmann::json& value, std::vector<std::string>& out);

// The stemmed terms an index over columns takes from a document, each once, in order of first
// occurrence. A document that is not JSON is indexed as its whole text whatever the columns; else
// a column "doc" (any ASCII case) stands for the whole document and any other name for the
// document's top-level member of exactly that name.
std::vector<std::string> fts_terms_of_document(std::string_view doc, const std::vector<std::string>& columns);

// Whether the document, read the way each of the column lists of indexes reads it, yields every one
// of terms (stemmed, as query_terms gives them); true for no terms. The document is parsed once and
// its text read only until every term is met.
bool document_holds_terms(std::string_view doc, const std::vector<std::vector<std::string>>& indexes,
                          const std::vector<std::string>& terms);

// Adds pk to the posting list of every term the document yields under columns at once: one read and
// one rewrite per distinct term, through the session (the row-at-a-time upkeep).
Result<void> index_row_for_fts(Database& db, SqlSession& session, std::string_view table, std::string_view pk,
                               std::string_view doc, const std::vector<std::string>& columns);

// The additions of many rows to a table's posting lists under its indexes (each a column list),
// gathered in memory so that each term's list is read and rewritten once: write then leaves the
// lists as index_row_for_fts of each row under each list in turn would, writing each list once, in
// the order the terms first came.
class PostingAdditions {
 public:
  explicit PostingAdditions(std::vector<std::vector<std::string>> indexes);
  PostingAdditions(const PostingAdditions&) = delete;
  PostingAdditions& operator=(const PostingAdditions&) = delete;

  // The row's document is read here, its primary key copied.
  void add_row(std::string_view pk, std::string_view doc);
  // Adds the rows to the session's staged lists (or, row at a time, writes each list at once).
  Result<void> write(Database& db, SqlSession& session, std::string_view table) const;

 private:
  Result<void> write_now(Database& db, SqlSession& session, std::string_view table) const;

  // Term texts by their number, in the order they first came; std::less<> looks them up by view.
  struct TermHash {
    using is_transparent = void;
    std::size_t operator()(std::string_view s) const { return std::hash<std::string_view>{}(s); }
  };
  std::vector<std::vector<std::string>> indexes_;
  std::unordered_map<std::string, std::uint32_t, TermHash, std::equal_to<>> numbers_;
  std::vector<const std::string*> terms_;
  std::vector<std::vector<std::uint32_t>> rows_of_term_;  // each term's rows, by their number, in order
  std::vector<std::string> pks_;                          // by row number
  bool ascending_ = true;  // each key above the one before: no key comes twice
  std::string text_;       // scratch for a row's indexed text
};

// Indexes existing rows under columns, as index_row_for_fts of each row in order would, but each
// term's list is read and rewritten once: the additions are gathered in memory first.
Result<void> index_rows_for_fts(Database& db, SqlSession& session, std::string_view table,
                                const std::vector<eval::VisibleRow>& rows, const std::vector<std::string>& columns);
// The same under several indexes at once (each a column list), as index_row_for_fts of each row
// under each list in turn would: what bulk writes (COPY FROM, CREATE TABLE AS) add.
Result<void> index_rows_for_fts(Database& db, SqlSession& session, std::string_view table,
                                const std::vector<eval::VisibleRow>& rows,
                                const std::vector<std::vector<std::string>>& indexes);

// The column lists of the table's committed full-text index definitions, in key order; records
// that do not read, name another table or have no columns are skipped. A listing is remembered on
// the calling thread across calls while no shard commits anything but this thread's own writes
// outside the definitions (catalog_memo.h).
Result<std::vector<std::vector<std::string>>> fts_index_columns(Database& db, std::string_view table);
// The same as the session sees them (definitions staged in its transaction included), remembered
// by the session until it changes the catalog: the indexes the upkeep of the table's rows follows.
// Without a definition staged these are the committed ones, remembered as above.
Result<SqlSession::FtsColumns> upkeep_fts_indexes(Database& db, SqlSession& session, std::string_view table);

// Whether writing new_doc as a row's next version can add the row to any posting list under
// indexes (the table's, as upkeep_fts_indexes lists them): always when the row had no version
// before (old_doc none); never when every index reads the same text from new_doc as from old_doc,
// the version the statement read, whose terms were added when it was written (lists never lose a
// key). The texts are read as update_fts_indexes reads them.
bool fts_upkeep_adds(const std::vector<std::vector<std::string>>& indexes, std::optional<std::string_view> old_doc,
                     std::string_view new_doc);

// Indexes the written row under every full-text index of the table. A row that was there before
// (listed_before: the row of a one-row UPDATE) is likely listed already: a list the stage does not
// hold yet is then first tested in place for the row (facet::fts::plain_list_holds), and staged
// only when the test fails or the list is met again; the lists written are the same either way.
Result<void> update_fts_indexes(Database& db, SqlSession& session, std::string_view table, std::string_view pk,
                                std::string_view doc, bool listed_before = false);

// Appends the row's points to the table's buckets; nothing for a table without time-series
// metadata, a row without a numeric timestamp member, or a value column the row lacks as a number.
Result<void> update_ts_buckets(Database& db, SqlSession& session, std::string_view table, std::string_view doc);

// The upkeep of a row an INSERT form wrote: the full-text lists, then the buckets.
Result<void> upkeep_inserted_row(Database& db, SqlSession& session, std::string_view table, std::string_view pk,
                                 std::string_view doc);

// Writes the lists and buckets gathered outside a transaction, then the writes the session deferred
// behind them (write_upkeep_then_rows), and empties the stage and the deferred writes (also when a
// write fails); nothing inside a transaction, whose COMMIT writes them. The commit timestamp of the
// last deferred write, if any.
Result<std::optional<std::uint64_t>> write_gathered_upkeep(Database& db, SqlSession& session);
// Writes the lists and buckets of upkeep (may be null), then, once the lists are in the log
// (Database::log_acknowledged_writes), rows in order: a crash after any of these writes leaves no
// row without its list entries. The first failure ends the writes; the commit timestamp of the
// last row, if any.
Result<std::optional<std::uint64_t>> write_upkeep_then_rows(Database& db, const UpkeepStage* upkeep,
                                                            std::deque<PendingPut>& rows);
// The same before stmt, unless stmt is a row-writing statement, which gathers.
Result<void> write_gathered_upkeep_before(Database& db, SqlSession& session, const parser::Statement& stmt);

}  // namespace quenlordb::sql::exec
