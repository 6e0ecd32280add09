// Where a SELECT's rows come from when its FROM names a table or a view: the name resolved to the
// table read (and, for a view, the one key it selects and its snapshot), and the scan of a table's
// live rows. Both read through the SqlSession, so they see the writes staged by its transaction.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "error.h"
#include "sql/eval/eval_context.h"
#include "sql/exec/session.h"

namespace quenlordb::sql::exec {

// The resolved row source of a table or view.
struct SelectTarget {
  std::optional<std::uint64_t> as_of;
  std::string table;
  std::optional<std::string> pk;  // the one key a view selects
  std::optional<std::uint64_t> valid_at;

  friend bool operator==(const SelectTarget&, const SelectTarget&) = default;
};

// A live table record under the name makes it a table, read at the given as_of and valid_at (a
// table shadows a view of the same name). Otherwise the view record decides: its query, parsed
// again, must be a SELECT from a plain name ("view {} has unsupported query shape"); the target is
// that name, the pk of its WHERE when that is pk = 'literal' (else every row), and the caller's
// as_of and valid_at where given, the view's own otherwise. Neither record: "table or view {} does
// not exist". The records are read as they stand now, whatever as_of says; a view record that does
// not decode fails with its JSON error, a view query that does not parse with its parse error.
Result<SelectTarget> resolve_select_target(Database& db, SqlSession& session, std::string_view name,
                                           std::optional<std::uint64_t> as_of,
                                           std::optional<std::uint64_t> valid_at);

// Every live row of table at as_of and valid_at, in ascending primary-key byte order, each with its
// primary key (the row key after "table/{table}/") and its document. A primary key that is not
// UTF-8 fails the scan with "row key contains non-utf8 pk".
Result<std::vector<eval::VisibleRow>> scan_visible_rows(Database& db, SqlSession& session, std::string_view table,
                                                        std::optional<std::uint64_t> as_of,
                                                        std::optional<std::uint64_t> valid_at);

// The same rows as scan_visible_rows gives, read where they lie: in the scan's own result, or in
// the session's staged writes, which do not move while a statement runs. Move-only; the views live
// as long as the TableRows (and the session's transaction).
class TableRows {
 public:
  TableRows() = default;
  TableRows(TableRows&&) = default;
  TableRows& operator=(TableRows&&) = default;

  std::span<const eval::RowView> rows() const { return rows_; }

 private:
  friend Result<TableRows> scan_table_rows(Database&, SqlSession&, std::string_view, std::optional<std::uint64_t>,
                                           std::optional<std::uint64_t>);
  engine::PrefixScanRows stored_;
  std::vector<eval::RowView> rows_;
};

Result<TableRows> scan_table_rows(Database& db, SqlSession& session, std::string_view table,
                                  std::optional<std::uint64_t> as_of, std::optional<std::uint64_t> valid_at);

// Visits the same rows, in the same order, as the visiting scan hands them over: each a view valid
// only during its visit, none copied. The errors are those of scan_table_rows followed by the
// visits': an error of the scan first, then a key that is not UTF-8, then the first error a visit
// returned (after which no row is visited).
Result<void> visit_table_rows(Database& db, SqlSession& session, std::string_view table,
                              std::optional<std::uint64_t> as_of, std::optional<std::uint64_t> valid_at,
                              util::FunctionRef<Result<void>(eval::RowView)> visit);
// The rows of the same scan for which filter (with tables bound) is true, each visited with its
// context, in which filter was evaluated when it was evaluated on this thread; every row visited
// when filter is null. filter is evaluated once per row: a scan on threads of its own evaluates it
// there (and leaves out the rows where it is false or NULL), any other scan here. The errors and
// their order are those of evaluating filter on every row in order and visiting each row it keeps:
// an error of the scan first, then a key that is not UTF-8, then the first error of filter or of a
// visit, after which nothing more is evaluated or visited. A row of the table staged by the
// session's transaction is evaluated here.
Result<void> visit_rows_where(Database& db, SqlSession& session, std::string_view table,
                              std::optional<std::uint64_t> as_of, std::optional<std::uint64_t> valid_at,
                              const parser::Expr* filter, std::span<const eval::TableBinding> tables,
                              util::FunctionRef<Result<void>(eval::EvalContext&)> visit);

// The primary keys of the same rows, in the same order, read by a visiting scan that copies no
// document; the same errors.
Result<std::vector<std::string>> scan_table_pks(Database& db, SqlSession& session, std::string_view table,
                                                std::optional<std::uint64_t> as_of,
                                                std::optional<std::uint64_t> valid_at);

// The primary key of a scanned row key (after the table's prefix of prefix_size bytes); one that is
// not UTF-8 fails with "row key contains non-utf8 pk".
Result<std::string_view> pk_of_scanned_key(std::string_view key, std::size_t prefix_size);

}  // namespace quenlordb::sql::exec
