#include "sql/exec/select_source.h"

#include <atomic>
#include <exception>
#include <mutex>
#include <utility>
#include <variant>

#include "facet/relational/keys.h"
#include "facet/relational/records.h"
#include "sql/parser/analysis.h"
#include "sql/parser/parser.h"
#include "util/utf8.h"

namespace quenlordb::sql::exec {

Result<SelectTarget> resolve_select_target(Database& db, SqlSession& session, std::string_view name,
                                           std::optional<std::uint64_t> as_of,
                                           std::optional<std::uint64_t> valid_at) {
  if (TRY(live_key_exists(db, session, facet::relational::schema_key(name)))) {
    return SelectTarget{as_of, std::string(name), std::nullopt, valid_at};
  }
  const std::optional<std::string> record = TRY(read_live_key(db, session, facet::relational::view_key(name)));
  if (!record) return fail(QuenlorError::sql_execution("table or view " + std::string(name) + " does not exist"));
  const facet::relational::ViewMetadata view = TRY(facet::relational::parse_view_metadata(*record));
  parser::Statement query = TRY(parser::parse_sql(view.query));
  auto* select = query.get_if<parser::Statement::Select>();
  auto* from = select != nullptr ? select->from.get_if<parser::TableRef::Named>() : nullptr;
  if (from == nullptr) {
    return fail(QuenlorError::sql_execution("view " + std::string(name) + " has unsupported query shape"));
  }
  return SelectTarget{as_of ? as_of : select->as_of, std::move(from->name),
                      parser::extract_pk_eq_literal(select->filter), valid_at ? valid_at : select->valid_at};
}

namespace {

bool all_ascii(std::string_view s) {
  unsigned char high = 0;
  for (const char c : s) high |= static_cast<unsigned char>(c);
  return high < 0x80;
}

}  // namespace

Result<std::string_view> pk_of_scanned_key(std::string_view key, std::size_t prefix_size) {
  const std::string_view pk = facet::relational::pk_of_row_key(key, prefix_size);
  if (!all_ascii(pk) && !util::validate_utf8(pk)) return fail(QuenlorError::sql_execution("row key contains non-utf8 pk"));
  return pk;
}

Result<TableRows> scan_table_rows(Database& db, SqlSession& session, std::string_view table,
                                  std::optional<std::uint64_t> as_of, std::optional<std::uint64_t> valid_at) {
  const std::string prefix = facet::relational::row_prefix(table);
  TableRows out;
  out.stored_ = TRY(db.scan_prefix(prefix, as_of, valid_at));
  out.rows_.reserve(out.stored_.size());
  TRY(visit_live_entries(out.stored_, session, prefix, as_of, valid_at,
                         [&](std::string_view key, std::string_view doc) -> Result<void> {
                           out.rows_.push_back(eval::RowView{TRY(pk_of_scanned_key(key, prefix.size())), doc});
                           return {};
                         }));
  return out;
}

Result<void> visit_table_rows(Database& db, SqlSession& session, std::string_view table,
                              std::optional<std::uint64_t> as_of, std::optional<std::uint64_t> valid_at,
                              util::FunctionRef<Result<void>(eval::RowView)> visit) {
  const std::string prefix = facet::relational::row_prefix(table);
  std::optional<QuenlorError> bad_key;
  std::optional<QuenlorError> visit_error;
  TRY(visit_live_prefix(db, session, prefix, as_of, valid_at, [&](std::string_view key, std::string_view doc) {
    if (bad_key) return Result<void>{};
    Result<std::string_view> pk = pk_of_scanned_key(key, prefix.size());
    if (!pk) {
      bad_key = std::move(pk.error());
    } else if (!visit_error) {
      if (Result<void> r = visit(eval::RowView{*pk, doc}); !r) visit_error = std::move(r.error());
    }
    return Result<void>{};
  }));
  if (bad_key) return fail(std::move(*bad_key));
  if (visit_error) return fail(std::move(*visit_error));
  return {};
}

namespace {

// WHERE as a scan's threads evaluate it (the scan's engine::PrefixScanSkip): they leave out the
// rows where it is false or NULL, and the deleted rows, and hand on the others. Of the rows handed
// on where it failed, the one with the smallest key is noted with its failure. The calling thread
// meets the rows in key order and stops at the first failure, so when it meets a row every row
// before it held: the row failed exactly when it is the one noted, and held otherwise, without
// being evaluated again.
class WhereOnScanThreads {
 public:
  WhereOnScanThreads(const parser::Expr& filter, std::span<const eval::TableBinding> tables, std::size_t prefix_size)
      : filter_(filter), tables_(tables), prefix_size_(prefix_size) {}

  // On a scan's thread: whether to leave the row out.
  bool passes_over(const engine::PrefixScanRow& row) noexcept {
    if (!asked_.load(std::memory_order_relaxed)) asked_.store(true, std::memory_order_relaxed);
    if (row.doc.empty()) return true;  // deleted: the walk over the live rows passes it over
    try {
      const std::string_view pk = facet::relational::pk_of_row_key(row.key, prefix_size_);
      if (!all_ascii(pk) && !util::validate_utf8(pk)) return false;  // the calling thread fails on it
      thread_local util::JsonMembers scratch;
      eval::EvalContext context(eval::RowView{pk, row.doc}, tables_, scratch);
      Result<eval::SqlValue> value = context.eval(filter_);
      if (value) return !eval::is_truthy(*value);
      note(row.key, Failure{std::move(value.error())});
    } catch (...) {
      note(row.key, Failure{std::current_exception()});
    }
    return false;
  }

  // Whether the scan's threads evaluated WHERE: a scan asks about every row it hands on, or about
  // none.
  bool asked() const { return asked_.load(std::memory_order_relaxed); }

  // On the calling thread, for a stored row the threads handed on, with no failure met before it:
  // whether WHERE held, or its failure (an exception is thrown again here). None when a failure
  // could not be noted: the row is then evaluated here.
  std::optional<Result<bool>> verdict(std::string_view key) {
    if (!failed_.load(std::memory_order_acquire)) return true;
    std::lock_guard lock(mu_);
    if (lost_) return std::nullopt;
    if (key != first_failed_key_) return true;
    if (std::exception_ptr* thrown = std::get_if<std::exception_ptr>(&first_failure_)) std::rethrow_exception(*thrown);
    return fail(std::move(std::get<QuenlorError>(first_failure_)));
  }

 private:
  using Failure = std::variant<std::exception_ptr, QuenlorError>;

  void note(std::string_view key, Failure failure) noexcept {
    std::lock_guard lock(mu_);
    try {
      if (!failed_.load(std::memory_order_relaxed) || key < first_failed_key_) {
        first_failed_key_.assign(key);
        first_failure_ = std::move(failure);
      }
    } catch (...) {
      lost_ = true;
    }
    failed_.store(true, std::memory_order_release);
  }

  const parser::Expr& filter_;
  std::span<const eval::TableBinding> tables_;
  std::size_t prefix_size_;
  std::atomic<bool> asked_{false};
  std::atomic<bool> failed_{false};
  std::mutex mu_;
  bool lost_ = false;
  std::string first_failed_key_;
  Failure first_failure_;
};

}  // namespace

Result<void> visit_rows_where(Database& db, SqlSession& session, std::string_view table,
                              std::optional<std::uint64_t> as_of, std::optional<std::uint64_t> valid_at,
                              const parser::Expr* filter, std::span<const eval::TableBinding> tables,
                              util::FunctionRef<Result<void>(eval::EvalContext&)> visit) {
  const std::string prefix = facet::relational::row_prefix(table);
  std::optional<WhereOnScanThreads> on_threads;
  // A staged write laid over a stored row is met in its place without the threads having seen it;
  // then every row is evaluated here.
  if (filter != nullptr && (as_of || !session.has_staged_under(prefix))) {
    on_threads.emplace(*filter, tables, prefix.size());
  }
  auto passes_over = [&](const engine::PrefixScanRow& row) noexcept { return on_threads->passes_over(row); };
  const engine::PrefixScanSkip skip = passes_over;
  util::JsonMembers scratch;
  std::optional<QuenlorError> bad_key;
  std::optional<QuenlorError> failure;
  TRY(visit_live_prefix(
      db, session, prefix, as_of, valid_at,
      [&](std::string_view key, std::string_view doc) -> Result<void> {
        if (bad_key) return {};
        Result<std::string_view> pk = pk_of_scanned_key(key, prefix.size());
        if (!pk) {
          bad_key = std::move(pk.error());
          return {};
        }
        if (failure) return {};
        eval::EvalContext context(eval::RowView{*pk, doc}, tables, scratch);
        std::optional<Result<bool>> kept;
        if (filter == nullptr) kept = true;
        else if (on_threads && on_threads->asked()) kept = on_threads->verdict(key);
        if (!kept) {
          Result<eval::SqlValue> value = context.eval(*filter);
          if (value) kept = eval::is_truthy(*value);
          else kept = Result<bool>(fail(std::move(value.error())));
        }
        if (!*kept) {
          failure = std::move(kept->error());
        } else if (**kept) {
          if (Result<void> r = visit(context); !r) failure = std::move(r.error());
        }
        return {};
      },
      on_threads ? &skip : nullptr));
  if (bad_key) return fail(std::move(*bad_key));
  if (failure) return fail(std::move(*failure));
  return {};
}

Result<std::vector<std::string>> scan_table_pks(Database& db, SqlSession& session, std::string_view table,
                                                std::optional<std::uint64_t> as_of,
                                                std::optional<std::uint64_t> valid_at) {
  const std::string prefix = facet::relational::row_prefix(table);
  std::vector<std::string> pks;
  // A key that fails is reported once the scan has ended, so that an error of the scan itself comes
  // first, as it does for scan_table_rows.
  std::optional<QuenlorError> bad_key;
  TRY(visit_live_prefix(db, session, prefix, as_of, valid_at, [&](std::string_view key, std::string_view) {
    if (bad_key) return Result<void>{};
    Result<std::string_view> pk = pk_of_scanned_key(key, prefix.size());
    if (pk) pks.emplace_back(*pk);
    else bad_key = std::move(pk.error());
    return Result<void>{};
  }));
  if (bad_key) return fail(std::move(*bad_key));
  return pks;
}

Result<std::vector<eval::VisibleRow>> scan_visible_rows(Database& db, SqlSession& session, std::string_view table,
                                                        std::optional<std::uint64_t> as_of,
                                                        std::optional<std::uint64_t> valid_at) {
  const TableRows scanned = TRY(scan_table_rows(db, session, table, as_of, valid_at));
  std::vector<eval::VisibleRow> rows;
  rows.reserve(scanned.rows().size());
  for (const eval::RowView& row : scanned.rows()) rows.push_back(eval::VisibleRow{std::string(row.pk), std::string(row.doc)});
  return rows;
}

}  // namespace quenlordb::sql::exec
