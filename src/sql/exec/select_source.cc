#include "sql/exec/select_source.h"

#include <utility>

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
  return visit_table_rows(db, session, table, as_of, valid_at, nullptr, {}, visit);
}

Result<void> visit_table_rows(Database& db, SqlSession& session, std::string_view table,
                              std::optional<std::uint64_t> as_of, std::optional<std::uint64_t> valid_at,
                              const parser::Expr* filter, std::span<const eval::TableBinding> tables,
                              util::FunctionRef<Result<void>(eval::RowView)> visit) {
  const std::string prefix = facet::relational::row_prefix(table);
  // Evaluation reads only the row and the expression tree, both safe to share between threads;
  // each thread indexes documents in a scratch of its own. Anything unexpected keeps the row.
  auto passed_over = [&](const engine::PrefixScanRow& row) noexcept {
    try {
      const std::string_view pk = facet::relational::pk_of_row_key(row.key, prefix.size());
      if (!all_ascii(pk) && !util::validate_utf8(pk)) return false;
      thread_local util::JsonMembers scratch;
      eval::EvalContext context(eval::RowView{pk, row.doc}, tables, scratch);
      const Result<eval::SqlValue> value = context.eval(*filter);
      return value.has_value() && !eval::is_truthy(*value);
    } catch (...) {
      return false;
    }
  };
  const engine::PrefixScanSkip skip = passed_over;
  std::optional<QuenlorError> bad_key;
  std::optional<QuenlorError> visit_error;
  TRY(visit_live_prefix(db, session, prefix, as_of, valid_at,
                        [&](std::string_view key, std::string_view doc) -> Result<void> {
                          if (bad_key) return {};
                          Result<std::string_view> pk = pk_of_scanned_key(key, prefix.size());
                          if (!pk) {
                            bad_key = std::move(pk.error());
                          } else if (!visit_error) {
                            if (Result<void> r = visit(eval::RowView{*pk, doc}); !r) visit_error = std::move(r.error());
                          }
                          return {};
                        },
                        filter != nullptr ? &skip : nullptr));
  if (bad_key) return fail(std::move(*bad_key));
  if (visit_error) return fail(std::move(*visit_error));
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
