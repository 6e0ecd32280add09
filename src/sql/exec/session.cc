#include "sql/exec/session.h"

#include <algorithm>

#include "facet/relational/keys.h"
#include "sql/exec/catalog_memo.h"

namespace quenlordb::sql::exec {

namespace {

// Every record of the catalog (tables, views, index definitions, statistics) lies under this prefix.
constexpr std::string_view kCatalogPrefix = "__meta/";

}  // namespace

std::deque<PendingPut> SqlSession::take_pending() {
  newest_.clear();
  indexed_ = 0;
  std::deque<PendingPut> out;
  if (pending_) out = std::move(*pending_);
  pending_.reset();
  return out;
}

std::deque<PendingPut> SqlSession::end_transaction() {
  // COMMIT applies the staged writes and ROLLBACK drops them, catalog records included.
  forget_metadata();
  in_transaction_ = false;
  return take_pending();
}

std::deque<PendingPut> SqlSession::take_deferred() {
  if (in_transaction_) panic("deferred writes taken inside a transaction");
  return take_pending();
}

PendingPut& SqlSession::hold(std::string key, std::string value) {
  if (key.starts_with(kCatalogPrefix)) forget_metadata();
  if (!pending_) pending_.emplace();
  PendingPut& put = pending_->emplace_back();
  put.key = std::move(key);
  put.value = std::move(value);
  return put;
}

const PendingPut& SqlSession::stage(std::string key, std::string value) {
  if (!in_transaction_) panic("write staged outside a transaction");
  return hold(std::move(key), std::move(value));
}

const PendingPut& SqlSession::defer(std::string key, std::string value) {
  if (in_transaction_) panic("write deferred inside a transaction");
  ++deferred_total_;
  return hold(std::move(key), std::move(value));
}

void SqlSession::index_staged() const {
  if (!pending_) return;
  for (; indexed_ < pending_->size(); ++indexed_) {
    auto [it, inserted] = newest_.try_emplace((*pending_)[indexed_].key, indexed_);
    // The index keeps viewing the oldest write's key, which stays in place as long as the key does.
    if (!inserted) it->second = indexed_;
  }
}

const PendingPut* SqlSession::newest_staged(std::string_view key, std::optional<std::uint64_t> valid_at) const {
  index_staged();
  auto it = newest_.find(key);
  if (it == newest_.end()) return nullptr;
  const PendingPut& put = (*pending_)[it->second];
  return put.valid_at(valid_at) ? &put : nullptr;
}

const PendingPut* SqlSession::StagedRange::current() const {
  if (it_ == session_->newest_.end() || !it_->first.starts_with(prefix_)) return nullptr;
  return &(*session_->pending_)[it_->second];
}

SqlSession::StagedRange SqlSession::staged_under(std::string_view prefix) const {
  index_staged();
  return StagedRange(this, newest_.lower_bound(prefix), prefix);
}

SqlSession::FtsColumns SqlSession::listed_fts_indexes(std::string_view table) const {
  auto it = fts_indexes_.find(table);
  return it == fts_indexes_.end() ? nullptr : it->second;
}

void SqlSession::remember_fts_indexes(std::string_view table, FtsColumns columns) {
  fts_indexes_.insert_or_assign(std::string(table), std::move(columns));
}

const std::optional<std::string>* SqlSession::remembered_read(std::string_view key) const {
  auto it = catalog_reads_.find(key);
  return it == catalog_reads_.end() ? nullptr : &it->second;
}

void SqlSession::remember_read(std::string_view key, std::optional<std::string> value) {
  catalog_reads_.insert_or_assign(std::string(key), std::move(value));
}

Result<std::optional<std::uint64_t>> write_put(Database& db, SqlSession& session, std::string key, std::string value) {
  if (session.in_transaction()) {
    session.stage(std::move(key), std::move(value));
    return std::nullopt;
  }
  if (session.defers_writes()) {
    TRY(engine::check_key_length(key));
    session.defer(std::move(key), std::move(value));
    return std::nullopt;
  }
  if (key.starts_with(kCatalogPrefix)) session.forget_metadata();
  const std::uint64_t ts = TRY(db.put(key, std::move(value), kSqlValidFrom, kSqlValidTo, kSqlWriteTag));
  note_committed_write(db, key, ts);
  return ts;
}

Result<std::optional<std::string>> read_live_key(Database& db, SqlSession& session, std::string_view key,
                                                 std::optional<std::uint64_t> as_of,
                                                 std::optional<std::uint64_t> valid_at) {
  if (!as_of && session.has_staged()) {
    if (const PendingPut* staged = session.newest_staged(key, valid_at)) {
      if (staged->value.empty()) return std::nullopt;
      return staged->value;
    }
  }
  std::optional<std::string> value = TRY(db.get(key, as_of, valid_at));
  if (value && value->empty()) return std::nullopt;
  return value;
}

Result<bool> live_key_exists(Database& db, SqlSession& session, std::string_view key,
                             std::optional<std::uint64_t> as_of, std::optional<std::uint64_t> valid_at) {
  if (!as_of && session.has_staged()) {
    if (const PendingPut* staged = session.newest_staged(key, valid_at)) return !staged->value.empty();
  }
  bool live = false;
  TRY(db.visit_get(key, [&](std::string_view value) { live = !value.empty(); }, as_of, valid_at));
  return live;
}


namespace {

// Lays the staged writes under a prefix over the stored rows of a scan, handed in key order: the
// scan has each key once, in ascending order, and the staged keys come in the same order, so one
// merging pass does. Staged writes count only without as_of, and only when valid at valid_at (all
// share one interval).
class StagedOverlay {
 public:
  using Visit = util::FunctionRef<Result<void>(std::string_view key, std::string_view value)>;

  StagedOverlay(const SqlSession& session, std::string_view prefix, std::optional<std::uint64_t> as_of,
                std::optional<std::uint64_t> valid_at, Visit visit)
      : visit_(visit) {
    if (!as_of && session.has_staged() && PendingPut{}.valid_at(valid_at)) {
      staged_.emplace(session.staged_under(prefix));
      next_ = staged_->current();
    }
  }

  // The next stored row.
  Result<void> stored(const engine::PrefixScanRow& row) {
    while (next_ != nullptr && next_->key < row.key) TRY(take_staged());
    if (next_ != nullptr && next_->key == row.key) return take_staged();
    if (!row.doc.empty()) TRY(visit_(row.key, row.doc));
    return {};
  }
  // After the last stored row.
  Result<void> finish() {
    while (next_ != nullptr) TRY(take_staged());
    return {};
  }

 private:
  Result<void> take_staged() {
    if (!next_->value.empty()) TRY(visit_(next_->key, next_->value));
    staged_->advance();
    next_ = staged_->current();
    return {};
  }

  Visit visit_;
  std::optional<SqlSession::StagedRange> staged_;
  const PendingPut* next_ = nullptr;
};

}  // namespace

Result<void> visit_live_entries(const engine::PrefixScanRows& stored, const SqlSession& session,
                                std::string_view prefix, std::optional<std::uint64_t> as_of,
                                std::optional<std::uint64_t> valid_at,
                                util::FunctionRef<Result<void>(std::string_view key, std::string_view value)> visit) {
  StagedOverlay overlay(session, prefix, as_of, valid_at, visit);
  for (const engine::PrefixScanRow& row : stored) TRY(overlay.stored(row));
  return overlay.finish();
}

Result<void> visit_live_prefix(Database& db, const SqlSession& session, std::string_view prefix,
                               std::optional<std::uint64_t> as_of, std::optional<std::uint64_t> valid_at,
                               util::FunctionRef<Result<void>(std::string_view key, std::string_view value)> visit,
                               const engine::PrefixScanSkip* skip) {
  // A stored row left out changes nothing: a staged write of its key is laid over it, or takes its
  // place, all the same.
  StagedOverlay overlay(session, prefix, as_of, valid_at, visit);
  TRY(db.visit_prefix(
      prefix, [&](const engine::PrefixScanRow& row) { return overlay.stored(row); }, as_of, valid_at, std::nullopt,
      skip));
  return overlay.finish();
}

Result<std::vector<LiveEntry>> collect_visible_by_prefix(Database& db, SqlSession& session, std::string_view prefix,
                                                         std::optional<std::uint64_t> as_of,
                                                         std::optional<std::uint64_t> valid_at) {
  const engine::PrefixScanRows stored = TRY(db.scan_prefix(prefix, as_of, valid_at));
  std::vector<LiveEntry> out;
  out.reserve(stored.size());
  TRY(visit_live_entries(stored, session, prefix, as_of, valid_at, [&](std::string_view key, std::string_view value) {
    out.push_back(LiveEntry{std::string(key), std::string(value)});
    return Result<void>{};
  }));
  return out;
}

Result<const facet::relational::TableSchemaMetadata*> SqlSession::parsed_schema(std::string_view table,
                                                                              std::string_view bytes) {
  auto it = schemas_.find(table);
  if (it != schemas_.end() && it->second->bytes == bytes) return &it->second->schema;
  // A program's calls meet the same few records over and over, each call in a new session: the
  // records this thread parsed last are kept (parsing is a function of the bytes alone) and shared
  // with the sessions that meet them, so that a statement of one row neither parses nor copies
  // its table's schema every time.
  constexpr std::size_t kKept = 8;
  thread_local std::vector<std::shared_ptr<const ParsedSchema>> parsed_here;
  thread_local std::size_t next_slot = 0;
  std::shared_ptr<const ParsedSchema> parsed;
  for (const std::shared_ptr<const ParsedSchema>& known : parsed_here) {
    if (known->bytes == bytes) parsed = known;
  }
  if (!parsed) {
    facet::relational::TableSchemaMetadata schema = TRY(facet::relational::parse_schema_metadata(bytes));
    parsed = std::make_shared<const ParsedSchema>(ParsedSchema{std::string(bytes), std::move(schema)});
    if (parsed_here.size() < kKept) parsed_here.push_back(parsed);
    else parsed_here[next_slot] = parsed;
    next_slot = (next_slot + 1) % kKept;
  }
  if (it == schemas_.end()) it = schemas_.emplace(std::string(table), nullptr).first;
  it->second = std::move(parsed);
  return &it->second->schema;
}

namespace {

// The value of a catalog key as read_live_key (without as_of and valid_at) gives it: the staged (or
// deferred) one when the session holds a write of the key, else the committed one, which this
// thread may remember from an earlier call (catalog_memo.h).
Result<CommittedValue> live_catalog_value(Database& db, SqlSession& session, std::string_view key) {
  if (session.has_staged() && session.newest_staged(key, std::nullopt)) {
    return std::make_shared<const std::optional<std::string>>(TRY(read_live_key(db, session, key)));
  }
  return committed_value(db, key);
}

}  // namespace

Result<std::optional<std::string>> read_catalog_key(Database& db, SqlSession& session, std::string_view key) {
  if (const std::optional<std::string>* value = session.remembered_read(key)) return *value;
  std::optional<std::string> value = *TRY(live_catalog_value(db, session, key));
  session.remember_read(key, value);
  return value;
}

Result<bool> catalog_key_exists(Database& db, SqlSession& session, std::string_view key) {
  return TRY(live_catalog_value(db, session, key))->has_value();
}

Result<const facet::relational::TableSchemaMetadata*> read_table_schema(Database& db, SqlSession& session,
                                                                        std::string_view table) {
  if (const facet::relational::TableSchemaMetadata* known = session.table_facts(table).schema) return known;
  const std::string key = facet::relational::schema_key(table);
  // The record is read in place, where the session or this thread remembers it, not copied.
  const std::optional<std::string>* remembered = session.remembered_read(key);
  CommittedValue record;
  if (!remembered) {
    record = TRY(live_catalog_value(db, session, key));
    remembered = record.get();
  }
  if (!*remembered) return fail(QuenlorError::sql_execution("table " + std::string(table) + " does not exist"));
  const facet::relational::TableSchemaMetadata* schema = TRY(session.parsed_schema(table, **remembered));
  session.table_facts(table).schema = schema;
  return schema;
}

Result<facet::relational::TableSchemaMetadata> load_table_schema(Database& db, SqlSession& session,
                                                                 std::string_view table) {
  return *TRY(read_table_schema(db, session, table));
}

}  // namespace quenlordb::sql::exec
