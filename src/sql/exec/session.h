// The state of one `sql` call and the reads and writes through which every statement reaches the
// database, so that they see the writes staged by the call's open transaction.
//
// A SqlSession is created empty by execute_sql, lent to each statement of the script and dropped
// when the call returns: writes still staged then are discarded. Between BEGIN and COMMIT or
// ROLLBACK, write_put stages a write instead of applying it; reads without `as_of` see the staged
// writes (the newest staged write of a key wins, and an empty value hides the key). There is no
// isolation: applied writes are visible to every other caller at once. One thread uses a session.
//
// Outside a transaction, a row is written only after the posting lists its write adds to: a
// statement stages a row's upkeep before it writes the row, and while the upkeep stage holds a list,
// write_put holds the write back in the session (deferred) instead of applying it; reads see
// deferred writes as they see staged ones. write_gathered_upkeep (facet_upkeep.h) writes the stage,
// makes those writes reach the log (Database::log_acknowledged_writes), then applies the deferred
// writes in order. So a crash never leaves a row in the log without its list entries. Time-series
// buckets, which no query reads, do not hold rows back: holding them back would cost a row per call
// into a time-series table about a sixth of its time.
#pragma once

#include <cstdint>
#include <deque>
#include <limits>
#include <map>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "engine/database.h"
#include "error.h"
#include "facet/relational/records.h"
#include "sql/exec/upkeep_stage.h"
#include "util/function_ref.h"

namespace quenlordb::sql::exec {

using engine::Database;

// Every SQL write carries this write tag and is valid for all of application time, [0, 2^64 − 1).
inline constexpr std::uint64_t kSqlWriteTag = 1;
inline constexpr std::uint64_t kSqlValidFrom = 0;
inline constexpr std::uint64_t kSqlValidTo = std::numeric_limits<std::uint64_t>::max();

// One write staged by an open transaction; COMMIT passes its fields unchanged to Database::put.
struct PendingPut {
  std::optional<std::uint64_t> write_tag = kSqlWriteTag;
  std::string key;
  std::string value;  // empty for a tombstone
  std::uint64_t valid_from = kSqlValidFrom;
  std::uint64_t valid_to = kSqlValidTo;

  bool valid_at(std::optional<std::uint64_t> t) const { return !t || (valid_from <= *t && *t < valid_to); }
};

class SqlSession {
 public:
  SqlSession() = default;
  SqlSession(const SqlSession&) = delete;
  SqlSession& operator=(const SqlSession&) = delete;

  bool in_transaction() const { return in_transaction_; }
  // Enters a transaction; the caller has checked that none is open.
  void begin() { in_transaction_ = true; }
  // Leaves the transaction and returns its staged writes, oldest first. The upkeep the transaction
  // gathered stays in the session: COMMIT and ROLLBACK take it first (take_upkeep).
  std::deque<PendingPut> end_transaction();

  std::size_t staged_count() const { return pending_ ? pending_->size() : 0; }
  // Whether any write is staged or deferred: reads without as_of then look at them first.
  bool has_staged() const { return pending_ && !pending_->empty(); }
  // Stages a write (only inside a transaction). The staged write stays in place, unchanged, until
  // the transaction ends.
  const PendingPut& stage(std::string key, std::string value);

  // Whether write_put defers writes now: outside a transaction, while the upkeep stage holds
  // lists to write first.
  bool defers_writes() const {
    return !in_transaction_ && upkeep_mode_ == UpkeepMode::Gathered && upkeep_ && upkeep_->has_lists();
  }
  // Holds a write back (only outside a transaction) until take_deferred; it stays in place,
  // unchanged, until then.
  const PendingPut& defer(std::string key, std::string value);
  // The deferred writes, oldest first, leaving none.
  std::deque<PendingPut> take_deferred();
  // Writes deferred by this session so far, in all: a statement that raised it deferred writes.
  std::uint64_t deferred_total() const { return deferred_total_; }
  // The newest staged write of key, when it is valid at valid_at (always when valid_at is none).
  // Staged writes share one validity interval, so the newest write of a key answers for all of them.
  const PendingPut* newest_staged(std::string_view key, std::optional<std::uint64_t> valid_at) const;

  // Whether a write of a key under prefix is staged or deferred.
  bool has_staged_under(std::string_view prefix) const {
    return has_staged() && staged_under(prefix).current() != nullptr;
  }

  // The newest staged write of each staged key under a prefix, in ascending key order.
  using StagedIndex = std::map<std::string_view, std::size_t, std::less<>>;
  class StagedRange {
   public:
    const PendingPut* current() const;  // null at the end
    void advance() { ++it_; }

   private:
    friend class SqlSession;
    StagedRange(const SqlSession* session, StagedIndex::const_iterator it, std::string_view prefix)
        : session_(session), it_(it), prefix_(prefix) {}
    const SqlSession* session_;
    StagedIndex::const_iterator it_;
    std::string_view prefix_;
  };
  // prefix must outlive the range; so must the session, unchanged.
  StagedRange staged_under(std::string_view prefix) const;

  // How the full-text and time-series upkeep writes. Gathered: the lists and buckets are staged in
  // upkeep() and written together (see upkeep_stage.h). RowAtATime: each row's lists and buckets are
  // read and written through write_put as the row is written, the way a session without a stage
  // writes them; the stage stays empty.
  enum class UpkeepMode : bool { Gathered, RowAtATime };
  UpkeepMode upkeep_mode() const { return upkeep_mode_; }
  void set_upkeep_mode(UpkeepMode mode) { upkeep_mode_ = mode; }

  // The lists and buckets gathered so far, by the open transaction or, outside one, by the run of
  // row-writing statements since the last write of the stage.
  UpkeepStage& upkeep() {
    if (!upkeep_) upkeep_ = std::make_unique<UpkeepStage>();
    return *upkeep_;
  }
  bool upkeep_gathered() const { return upkeep_ && !upkeep_->empty(); }
  // Takes the stage out of the session, leaving an empty one (null when nothing was staged).
  std::unique_ptr<UpkeepStage> take_upkeep() { return std::move(upkeep_); }

  // The schema record bytes of table, parsed; the parse of the same bytes met before in this
  // session is reused (parsing is a function of the bytes alone). The record stays valid until the
  // next call for the same table.
  Result<const facet::relational::TableSchemaMetadata*> parsed_schema(std::string_view table, std::string_view bytes);

  // Catalog records (under "__meta/") as this session last read them. While a script runs, only
  // its own writes change them (statements of a database never run at the same time), so what it
  // read holds until it writes, stages or discards a catalog record, or ends a transaction: each
  // forgets everything remembered here.
  //
  // The column lists of table's committed full-text index definitions, as last listed, or null. A
  // listing stays alive while held, also when forgotten meanwhile.
  using FtsColumns = std::shared_ptr<const std::vector<std::vector<std::string>>>;
  FtsColumns listed_fts_indexes(std::string_view table) const;
  void remember_fts_indexes(std::string_view table, FtsColumns columns);
  // The value of a catalog key as read_live_key (without as_of and valid_at) last gave it, or null.
  const std::optional<std::string>* remembered_read(std::string_view key) const;
  void remember_read(std::string_view key, std::optional<std::string> value);
  void forget_metadata() {
    fts_indexes_.clear();
    catalog_reads_.clear();
    facts_table_.clear();
    facts_ = {};
  }

  // What a run of statements writing rows of one table reads of its catalog, derived from the
  // records remembered here and forgotten with them: the table's parsed schema and its time-series
  // record (with its parse). Only the facts of the table named last are kept; another name starts afresh. The
  // reference is good until the next call.
  struct TableFacts {
    const facet::relational::TableSchemaMetadata* schema = nullptr;  // null until derived
    std::optional<std::optional<std::string>> timeseries_record;       // none until read
    std::optional<facet::relational::TimeseriesMetadata> timeseries;  // the record parsed, once it parses
  };
  TableFacts& table_facts(std::string_view table) {
    if (table != facts_table_) {
      facts_table_.assign(table);
      facts_ = {};
    }
    return facts_;
  }

 private:
  struct ParsedSchema {
    std::string bytes;
    facet::relational::TableSchemaMetadata schema;
  };

  // Brings newest_ up to date with every staged write; the writes of a transaction that no read
  // looks at are never indexed.
  void index_staged() const;
  PendingPut& hold(std::string key, std::string value);
  std::deque<PendingPut> take_pending();

  // The staged writes in arrival order. A deque never moves its elements, so the index may keep
  // views of their keys. Made by the first write staged: a deque allocates as it is made, and
  // most calls stage nothing.
  std::optional<std::deque<PendingPut>> pending_;
  // Each staged key, viewed in pending_, to the position of its newest write there, for the first
  // indexed_ writes of pending_ (index_staged adds the others when a read needs them).
  mutable StagedIndex newest_;
  mutable std::size_t indexed_ = 0;
  bool in_transaction_ = false;
  std::uint64_t deferred_total_ = 0;
  UpkeepMode upkeep_mode_ = UpkeepMode::Gathered;
  std::unique_ptr<UpkeepStage> upkeep_;
  // Shared with the parses this thread keeps for later calls (parsed_schema).
  std::map<std::string, std::shared_ptr<const ParsedSchema>, std::less<>> schemas_;  // by table
  std::map<std::string, FtsColumns, std::less<>> fts_indexes_;  // by table
  std::map<std::string, std::optional<std::string>, std::less<>> catalog_reads_;  // by key
  std::string facts_table_;
  TableFacts facts_;
};

// One live key and its value, as collect_visible_by_prefix returns them.
struct LiveEntry {
  std::string key;
  std::string value;

  friend bool operator==(const LiveEntry&, const LiveEntry&) = default;
};

// Writes value under key with the SQL write tag, valid for all time. Inside a transaction the write
// is staged, nothing is checked, and no timestamp is returned; while the session defers writes
// (SqlSession::defers_writes) it is held back, its key checked as put checks it, and no timestamp
// is returned; otherwise it is applied with Database::put and its commit timestamp returned.
Result<std::optional<std::uint64_t>> write_put(Database& db, SqlSession& session, std::string key, std::string value);

// The live value of key: without as_of inside a transaction the newest staged write of the key
// decides when there is one valid at valid_at; otherwise Database::get. An empty value is absent.
Result<std::optional<std::string>> read_live_key(Database& db, SqlSession& session, std::string_view key,
                                                 std::optional<std::uint64_t> as_of = std::nullopt,
                                                 std::optional<std::uint64_t> valid_at = std::nullopt);

// Whether read_live_key would give a value, found without copying it.
Result<bool> live_key_exists(Database& db, SqlSession& session, std::string_view key,
                             std::optional<std::uint64_t> as_of = std::nullopt,
                             std::optional<std::uint64_t> valid_at = std::nullopt);

// live_key_exists without as_of and valid_at, for a catalog key that calls read again and again:
// a write the session stages or holds back decides, as it does there; else the committed value as
// this thread may remember it from an earlier call (catalog_memo.h).
Result<bool> catalog_key_exists(Database& db, SqlSession& session, std::string_view key);

// The live entries of a prefix: the stored rows of its scan (in ascending key order) with, when no
// as_of is given inside a transaction, the staged writes under prefix valid at valid_at laid over
// them (the newest staged write of a key replaces its stored row), in ascending key order; entries
// whose value is empty are left out. visit sees each as views of the stored rows or of the staged
// writes; an error it returns ends the walk.
Result<void> visit_live_entries(const engine::PrefixScanRows& stored, const SqlSession& session,
                                std::string_view prefix, std::optional<std::uint64_t> as_of,
                                std::optional<std::uint64_t> valid_at,
                                util::FunctionRef<Result<void>(std::string_view key, std::string_view value)> visit);

// read_live_key of a catalog key (under "__meta/"), without as_of and valid_at, answered from what
// the session remembers when it can (see SqlSession::remembered_read), else, unless the key has a
// staged write, from what this thread remembers of the committed value (catalog_memo.h).
Result<std::optional<std::string>> read_catalog_key(Database& db, SqlSession& session, std::string_view key);

// The same entries over the database's visiting scan: nothing is copied, each entry is a view valid
// only during its visit. An error of the scan can come after some entries were visited. skip, when
// given, is the scan's hint (engine::PrefixScanSkip) for stored rows; staged writes are never skipped.
Result<void> visit_live_prefix(Database& db, const SqlSession& session, std::string_view prefix,
                               std::optional<std::uint64_t> as_of, std::optional<std::uint64_t> valid_at,
                               util::FunctionRef<Result<void>(std::string_view key, std::string_view value)> visit,
                               const engine::PrefixScanSkip* skip = nullptr);

// Every live key under prefix with its value, in ascending byte order of the keys: the database's
// prefix scan with, when no as_of is given inside a transaction, the staged writes valid at valid_at
// laid over it (newest staged write wins); keys whose value is empty are left out. Costs the scan
// plus one merging pass.
Result<std::vector<LiveEntry>> collect_visible_by_prefix(Database& db, SqlSession& session, std::string_view prefix,
                                                         std::optional<std::uint64_t> as_of = std::nullopt,
                                                         std::optional<std::uint64_t> valid_at = std::nullopt);

// The schema record of table, staged writes included: "table {} does not exist" when there is none
// (or it is a tombstone); the record's own failure (SerdeJson, or a name check) passes unchanged.
Result<facet::relational::TableSchemaMetadata> load_table_schema(Database& db, SqlSession& session,
                                                                 std::string_view table);
// The same check without the copy: the record is the session's, valid until the next schema read
// of the same table.
Result<const facet::relational::TableSchemaMetadata*> read_table_schema(Database& db, SqlSession& session,
                                                                        std::string_view table);

}  // namespace quenlordb::sql::exec
