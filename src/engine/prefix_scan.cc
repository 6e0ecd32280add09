#include "engine/prefix_scan.h"

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <cstring>
#include <deque>
#include <exception>
#include <iterator>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <utility>

#include "ledger/internal_key.h"
#include "storage/sstable_writer.h"
#include "util/coding.h"
#include "util/thread.h"

namespace quenlordb::engine {

namespace {

// One input of a scan's merge: visible versions, each user key's versions oldest first.
class MergeSource {
 public:
  virtual ~MergeSource() = default;
  // Moves to the next version; false at the end. keep: the merge holds views of the current
  // version, which must then stay valid until the next call.
  virtual Result<bool> next(bool keep) = 0;
  const ledger::VisibleView& view() const { return view_; }
  // True for walks of stored versions, which come in internal-key order; false for rows of an
  // earlier merge, which come in user-key order.
  bool internal_order() const { return internal_order_; }

 protected:
  explicit MergeSource(bool internal_order) : internal_order_(internal_order) {}
  ledger::VisibleView view_{};

 private:
  bool internal_order_;
};

class MemtableSource final : public MergeSource {
 public:
  explicit MemtableSource(storage::Memtable::PrefixWalk walk) : MergeSource(true), walk_(walk) {}
  // Views into a memtable live as long as it does (the scan holds its lock).
  Result<bool> next(bool) override {
    if (!TRY(walk_.next())) return false;
    view_ = walk_.view();
    return true;
  }

 private:
  storage::Memtable::PrefixWalk walk_;
};

class TableSource final : public MergeSource {
 public:
  explicit TableSource(storage::SsTableReader::PrefixWalk walk) : MergeSource(true), walk_(std::move(walk)) {}
  Result<bool> next(bool keep) override {
    if (!TRY(walk_.next(keep))) return false;
    view_ = walk_.view();
    return true;
  }

 private:
  storage::SsTableReader::PrefixWalk walk_;
};

// The rows of an earlier merge, one per key in key order.
class RowsSource final : public MergeSource {
 public:
  explicit RowsSource(const PrefixScanRows& rows) : MergeSource(false), rows_(&rows) {}
  Result<bool> next(bool) override {
    if (at_ == rows_->size()) return false;
    const PrefixScanRow& row = (*rows_)[at_++];
    view_ = {row.key, row.commit_ts, row.doc};
    return true;
  }

 private:
  const PrefixScanRows* rows_;
  std::size_t at_ = 0;
};

// Whether key holds a 0x00 byte at or after position from.
inline bool holds_zero_byte(std::string_view key, std::size_t from) {
  if (key.size() <= from) return false;
  const char* p = key.data() + from;
  std::size_t n = key.size() - from;
  for (; n >= 8; p += 8, n -= 8) {
    std::uint64_t w;
    std::memcpy(&w, p, 8);
    if (((w - 0x0101010101010101ULL) & ~w & 0x8080808080808080ULL) != 0) return true;
  }
  for (; n > 0; ++p, --n) {
    if (*p == '\0') return true;
  }
  return false;
}

// Merges the sources, given in the order that decides ties (among equal commit timestamps the
// version met first wins), handing emit per user key the version with the greatest commit
// timestamp, in user-key order, at most limit rows. Every source is read to its end, so damage past
// the limit is still reported.
//
// The sources' current versions play in a tournament tree ordered by user key. The smallest key's
// versions are taken from every source that holds it, the newest kept as a view (its source keeps
// its block), and the row is handed on once the tree has moved past the key, if no source can come
// back to it or below. A walk in internal-key order at user key h can still yield only greater
// keys, or a proper prefix p of h with h[|p|] = 0x00 (only then does p ‖ 0x00 ‖ ts sort after h),
// and only one at least as long as the scan's prefix. So a source's floor, the smallest key it can
// still yield, is its key cut before the first 0x00 byte after the prefix, or the key itself when it
// holds none; and a key below every floor is final. While no current key holds such a byte, the
// floors are the keys themselves and the tree's order is final. A key that is not final yet is
// copied into an ordered buffer, and versions then go through that buffer, each key handed on once
// every floor lies above it, until the buffer is empty.
template <typename Emit>
Result<void> merge_sources(std::span<MergeSource* const> sources, std::size_t prefix_len,
                           std::optional<std::uint64_t> limit, Emit&& emit_row) {
  const std::size_t k = sources.size();
  if (k == 0) return {};
  struct Player {
    std::uint64_t key_prefix;  // util::load_prefix_u64_be of the source's user key, compared first
    MergeSource* source;       // null once exhausted
    bool zero;                 // the user key holds a 0x00 byte after the prefix and the source is a walk
  };
  std::vector<Player> players(k);
  std::size_t zero_heads = 0;  // players whose zero is set
  auto load = [&](std::size_t i, bool more) {
    Player& p = players[i];
    zero_heads -= p.zero;
    if (!more) {
      p = {UINT64_MAX, nullptr, false};
      return;
    }
    const std::string_view key = p.source->view().user_key;
    p.key_prefix = util::load_prefix_u64_be(key);
    p.zero = p.source->internal_order() && holds_zero_byte(key, prefix_len);
    zero_heads += p.zero;
  };
  // Whether player a goes before player b: by user key, then by position; exhausted ones last.
  auto before = [&](std::size_t a, std::size_t b) {
    const Player& x = players[a];
    const Player& y = players[b];
    if (x.key_prefix != y.key_prefix) return x.key_prefix < y.key_prefix;
    if (y.source == nullptr) return x.source != nullptr || a < b;
    if (x.source == nullptr) return false;
    if (const int c = x.source->view().user_key.compare(y.source->view().user_key); c != 0) return c < 0;
    return a < b;
  };
  // losers[n] for n in [1, k): the loser of the match at inner node n, whose children are 2n and
  // 2n + 1 (node k + i is player i); winner: the overall winner.
  std::vector<std::size_t> losers(k);
  std::size_t winner = 0;
  for (std::size_t i = 0; i < k; ++i) {
    players[i] = {0, sources[i], false};
    load(i, TRY(sources[i]->next(false)));
  }
  {
    std::vector<std::size_t> wins(2 * k);
    for (std::size_t i = 0; i < k; ++i) wins[k + i] = i;
    for (std::size_t n = k; n-- > 1;) {
      const std::size_t l = wins[2 * n];
      const std::size_t r = wins[2 * n + 1];
      const bool left_wins = before(l, r);
      wins[n] = left_wins ? l : r;
      losers[n] = left_wins ? r : l;
    }
    winner = k == 1 ? 0 : wins[1];
  }
  // Moves the winner's source to its next version and plays its way up the tree.
  auto advance_winner = [&](bool keep) -> Result<void> {
    const std::size_t i = winner;
    load(i, TRY(players[i].source->next(keep)));
    std::size_t candidate = i;
    for (std::size_t n = (k + i) / 2; n > 0; n /= 2) {
      if (before(losers[n], candidate)) std::swap(losers[n], candidate);
    }
    winner = candidate;
    return {};
  };
  auto live = [&] { return players[winner].source != nullptr; };
  // The smallest user key a source can still yield (some source is live).
  auto floor = [&]() {
    std::string_view low = players[winner].source->view().user_key;
    if (zero_heads == 0) return low;
    for (const Player& p : players) {
      if (!p.zero) continue;
      const std::string_view key = p.source->view().user_key;
      const std::string_view cut = key.substr(0, key.find('\0', prefix_len));
      if (cut < low) low = cut;
    }
    return low;
  };

  std::uint64_t left = limit.value_or(UINT64_MAX);
  auto emit = [&](std::string_view key, std::string_view doc, std::uint64_t commit_ts) -> Result<void> {
    if (left == 0) return {};
    --left;
    return emit_row(PrefixScanRow{key, doc, commit_ts});
  };

  // Versions waiting for every floor to pass them, each key's best so far.
  struct Waiting {
    std::uint64_t commit_ts;
    std::size_t order;
    std::string doc;
  };
  std::map<std::string, Waiting, std::less<>> waiting;
  auto wait = [&](const ledger::VisibleView& v, std::size_t order) {
    auto it = waiting.find(v.user_key);
    if (it == waiting.end()) {
      waiting.emplace(std::string(v.user_key), Waiting{v.commit_ts, order, std::string(v.doc)});
    } else if (v.commit_ts > it->second.commit_ts || (v.commit_ts == it->second.commit_ts && order < it->second.order)) {
      it->second = Waiting{v.commit_ts, order, std::string(v.doc)};
    }
  };
  // Hands on the waiting keys below every floor (all of them once the sources are exhausted).
  auto release_waiting = [&]() -> Result<void> {
    const std::optional<std::string_view> low = live() ? std::optional(floor()) : std::nullopt;
    while (!waiting.empty() && (!low || waiting.begin()->first < *low)) {
      const auto& [key, v] = *waiting.begin();
      TRY(emit(key, v.doc, v.commit_ts));
      waiting.erase(waiting.begin());
    }
    return {};
  };

  while (live()) {
    if (waiting.empty()) {
      const Player& first = players[winner];
      ledger::VisibleView best = first.source->view();
      std::size_t best_order = winner;
      const std::uint64_t key_prefix = first.key_prefix;
      bool may_return = false;  // a walk at this key may come back below it
      do {
        const Player& top = players[winner];
        may_return |= top.zero;
        if (top.source->view().commit_ts > best.commit_ts) {
          best = top.source->view();
          best_order = winner;
        }
        TRY(advance_winner(winner == best_order));
      } while (live() && players[winner].key_prefix == key_prefix &&
               players[winner].source->view().user_key == best.user_key);
      if (!live() || (zero_heads == 0 && !may_return) || best.user_key < floor()) {
        TRY(emit(best.user_key, best.doc, best.commit_ts));
      } else {
        wait(best, best_order);
      }
      continue;
    }
    wait(players[winner].source->view(), winner);
    TRY(advance_winner(false));
    TRY(release_waiting());
  }
  return release_waiting();
}

}  // namespace

Result<void> merge_memtables(PrefixScanRows& rows, std::span<const storage::Memtable* const> memtables,
                             std::string_view prefix, std::uint64_t snapshot, std::optional<std::uint64_t> valid_at,
                             std::optional<std::uint64_t> limit) {
  RowsSource newer(rows);
  std::vector<MemtableSource> walks;
  walks.reserve(memtables.size());
  std::vector<MergeSource*> sources = {&newer};
  for (const storage::Memtable* memtable : memtables) {
    walks.emplace_back(memtable->walk_prefix(prefix, snapshot, valid_at));
    sources.push_back(&walks.back());
  }
  PrefixScanRows merged;
  TRY(merge_sources(sources, prefix.size(), limit, [&](const PrefixScanRow& row) -> Result<void> {
    merged.push_back(row);
    return {};
  }));
  rows = std::move(merged);
  return {};
}

namespace {

// The sources of the shards' inputs, in the order that decides ties: a shard's memtable rows, then
// its table files. Keys of different shards never meet, so only the order within a shard matters.
class ScanSources {
 public:
  ScanSources(std::span<ShardScanInput> inputs, std::string_view prefix, std::optional<std::uint64_t> valid_at) {
    std::size_t table_count = 0;
    for (const ShardScanInput& input : inputs) table_count += input.tables.size();
    newer_.reserve(inputs.size());
    tables_.reserve(table_count);
    for (ShardScanInput& input : inputs) {
      sources_.push_back(&newer_.emplace_back(input.memtable_rows));
      for (const auto& table : input.tables)
        sources_.push_back(&tables_.emplace_back(table->walk_prefix(prefix, input.snapshot, valid_at, input.cache)));
    }
  }
  std::span<MergeSource* const> all() const { return sources_; }

 private:
  std::vector<RowsSource> newer_;
  std::vector<TableSource> tables_;
  std::vector<MergeSource*> sources_;
};

// --- Scans on threads ---
//
// A large scan of several shards splits the shards into groups and gathers and merges each group on
// a thread of its own, with merge_sources as above; a group's thread hands its rows, final and in
// key order, to the calling thread in batches of records (PrefixScanRecord). The calling thread
// merges the groups' streams, whose keys never meet (every key lives in one shard), and hands the
// rows on. For a materialised scan a group's thread writes its records into a store of its own,
// which the result takes over once the thread has ended, so the calling thread moves records and
// copies no bytes. For a visiting scan each batch carries its records' bytes, and batches that have
// been visited go back to their thread to be filled again, so that memory stays bounded however
// large the scan.
//
// A group's thread stops at the end of its sources or at an error (of a gather or of a source),
// which its stream carries after the rows before it; the calling thread meets it in key order, as
// the merge reaches that stream's end, and returns it. When the calling thread stops early (an
// error of a stream or of the visitor, an exception), it stops every thread and waits for them
// before it returns.

// Records in a batch; a visiting scan's batch holds about kBatchBytes of their bytes.
constexpr std::size_t kBatchRows = 512;
constexpr std::size_t kBatchBytes = std::size_t{64} << 10;
// Batches a stream holds that the calling thread has not taken yet: a group's thread waits beyond.
// A materialised scan's batches hold records only (4 KiB), so more of them may wait. (The calling
// thread, which has less to do than the groups' threads, sleeps while it waits: watching for a
// batch instead gained nothing measurable.)
constexpr std::size_t kReadyBatchesVisited = 16;
constexpr std::size_t kReadyBatchesMaterialised = 256;

struct RowBatch {
  std::vector<PrefixScanRecord> records;
  // A visiting scan's: the records' bytes, capacity of them, used written.
  std::unique_ptr<char[]> bytes;
  std::size_t capacity = 0;
  std::size_t used = 0;
};

// The rows of one group on their way from its thread to the calling thread, and the batches on
// their way back.
class GroupStream {
 public:
  explicit GroupStream(std::size_t max_ready) : max_ready_(max_ready) {}

  // --- The group's thread.
  // A batch to fill: an emptied one handed back, or a new one.
  RowBatch take_spare() {
    {
      std::lock_guard lock(mu_);
      if (!spare_.empty()) {
        RowBatch batch = std::move(spare_.back());
        spare_.pop_back();
        batch.records.clear();
        batch.used = 0;
        return batch;
      }
    }
    RowBatch batch;
    batch.records.reserve(kBatchRows);
    return batch;
  }
  // Hands a batch on, waiting while max_ready wait to be taken; false once the scan has stopped.
  bool publish(RowBatch&& batch) {
    std::unique_lock lock(mu_);
    if (ready_.size() >= max_ready_ && !stopped_) {
      writer_waiting_ = true;
      room_.wait(lock, [&] { return ready_.size() < max_ready_ || stopped_; });
      writer_waiting_ = false;
    }
    if (stopped_) return false;
    ready_.push_back(std::move(batch));
    if (reader_waiting_) readable_.notify_one();
    return true;
  }
  // Ends the stream, after the batches published, with the group's outcome.
  void finish(Result<void> outcome, std::exception_ptr exception) {
    std::lock_guard lock(mu_);
    outcome_ = std::move(outcome);
    exception_ = std::move(exception);
    finished_ = true;
    if (reader_waiting_) readable_.notify_one();
  }
  // Where a materialised scan's records are written; taken over by the result once the thread ends.
  util::ByteChunks& bytes() { return bytes_; }

  // --- The calling thread.
  // Replaces batch (which has been read: it goes back as a spare) with the next one, waiting for
  // it; false at the end of the stream, whose outcome is then known.
  bool next(RowBatch& batch) {
    std::unique_lock lock(mu_);
    if (batch.records.capacity() > 0) spare_.push_back(std::move(batch));
    if (ready_.empty() && !finished_) {
      reader_waiting_ = true;
      readable_.wait(lock, [&] { return !ready_.empty() || finished_; });
      reader_waiting_ = false;
    }
    if (ready_.empty()) return false;
    batch = std::move(ready_.front());
    ready_.pop_front();
    if (writer_waiting_) room_.notify_one();
    return true;
  }
  // The group's outcome, once next has answered false. An exception of the group's thread is
  // thrown here.
  Result<void> outcome() {
    std::lock_guard lock(mu_);
    if (exception_) std::rethrow_exception(exception_);
    return outcome_;
  }
  // Stops the group's thread at its next batch.
  void stop() {
    std::lock_guard lock(mu_);
    stopped_ = true;
    room_.notify_one();
  }

 private:
  const std::size_t max_ready_;
  std::mutex mu_;
  std::condition_variable readable_;  // the calling thread waits for a batch or the end
  std::condition_variable room_;      // the group's thread waits for room
  std::deque<RowBatch> ready_;
  std::vector<RowBatch> spare_;
  bool reader_waiting_ = false;
  bool writer_waiting_ = false;
  bool stopped_ = false;
  bool finished_ = false;
  Result<void> outcome_;
  std::exception_ptr exception_;
  // Filled by one of several threads at once: faulted in, not populated (see ByteChunks).
  util::ByteChunks bytes_{false};
};

// A group's thread: gathers the shards [from, to) in order and merges them, publishing the rows.
// An error of a gather ends the stream before any row.
void run_group(GroupStream& stream, const ScanShards& shards, std::size_t from, std::size_t to,
               std::string_view prefix, std::optional<std::uint64_t> valid_at, std::optional<std::uint64_t> limit,
               bool materialise, const PrefixScanSkip* skip) {
  Result<void> outcome;
  std::exception_ptr exception;
  try {
    std::vector<ShardScanInput> inputs;
    inputs.reserve(to - from);
    for (std::size_t shard = from; shard < to; ++shard) {
      Result<ShardScanInput> input = shards.gather(shard);
      if (!input) {
        stream.finish(fail(std::move(input).error()), nullptr);
        return;
      }
      inputs.push_back(std::move(*input));
    }
    const ScanSources sources(inputs, prefix, valid_at);
    RowBatch batch = stream.take_spare();
    bool stopped = false;
    auto hand_on = [&]() -> Result<void> {
      if (!stream.publish(std::move(batch))) {
        stopped = true;
        return fail(QuenlorError::channel_closed());  // the calling thread no longer reads
      }
      batch = stream.take_spare();
      return {};
    };
    outcome = merge_sources(sources.all(), prefix.size(), limit, [&](const PrefixScanRow& row) -> Result<void> {
      if (skip != nullptr && (*skip)(row)) return {};
      const std::size_t size = PrefixScanRecord::size_of(row);
      char* at = nullptr;
      if (materialise) {
        at = stream.bytes().allocate(size);
      } else {
        if (batch.used + size > batch.capacity && !batch.records.empty()) TRY(hand_on());
        if (size > batch.capacity) {
          batch.capacity = std::max(size, kBatchBytes);
          batch.bytes = std::make_unique_for_overwrite<char[]>(batch.capacity);
        }
        at = batch.bytes.get() + batch.used;
        batch.used += size;
      }
      batch.records.push_back(PrefixScanRecord::write(at, row));
      if (batch.records.size() == kBatchRows) TRY(hand_on());
      return {};
    });
    // Rows before an error are handed on too: the calling thread hands them on before the error.
    if (!stopped && !batch.records.empty()) (void)stream.publish(std::move(batch));
    if (stopped) outcome = {};
  } catch (...) {
    exception = std::current_exception();
  }
  stream.finish(std::move(outcome), exception);
}

// Where the calling thread's merge stands in one group's stream: the current record (the stream's
// smallest key not handed on yet) and the batch it lies in.
struct StreamHead {
  std::uint64_t key_prefix = UINT64_MAX;  // util::load_prefix_u64_be of the key, compared first
  std::string_view key;
  PrefixScanRecord record;
  bool live = false;
  RowBatch batch;
  std::size_t at = 0;  // of the next record in batch
};

// The groups' threads and streams of a scan; destroying it stops the threads and waits for them.
class ScanGroups {
 public:
  ScanGroups() = default;
  ScanGroups(const ScanGroups&) = delete;
  ScanGroups& operator=(const ScanGroups&) = delete;
  ~ScanGroups() { stop(); }

  // Starts one thread per group, each taking a run of consecutive shards (shards hold about as many
  // keys each). The threads begin once all of them have started: when one cannot be started, those
  // started end without gathering anything, and start answers false.
  bool start(const ScanShards& shards, std::size_t groups, std::string_view prefix,
             std::optional<std::uint64_t> valid_at, std::optional<std::uint64_t> limit, bool materialise,
             const PrefixScanSkip* skip = nullptr) {
    streams_.reserve(groups);
    threads_.reserve(groups);
    const std::size_t n = shards.count();
    bool started = true;
    for (std::size_t g = 0; g < groups && started; ++g) {
      const std::size_t from = g * n / groups;
      const std::size_t to = (g + 1) * n / groups;
      GroupStream& stream = *streams_.emplace_back(
          std::make_unique<GroupStream>(materialise ? kReadyBatchesMaterialised : kReadyBatchesVisited));
      Result<std::thread> thread = util::spawn_named(
          "quenlordb-scan", [this, &stream, &shards, from, to, prefix, valid_at, limit, materialise, skip] {
            if (wait_for_start()) run_group(stream, shards, from, to, prefix, valid_at, limit, materialise, skip);
          });
      if (thread) {
        threads_.push_back(std::move(*thread));
      } else {
        started = false;
      }
    }
    {
      std::lock_guard lock(start_mu_);
      start_ = started ? Start::kGo : Start::kAbandon;
    }
    start_cv_.notify_all();
    if (!started) stop();
    return started;
  }
  std::span<const std::unique_ptr<GroupStream>> streams() const { return streams_; }
  // Stops the threads and waits for them.
  void stop() {
    for (const auto& stream : streams_) stream->stop();
    for (std::thread& thread : threads_) thread.join();
    threads_.clear();
  }

 private:
  enum class Start { kWait, kGo, kAbandon };
  // On a group's thread: waits until every thread has started or one could not; true to go on.
  bool wait_for_start() {
    std::unique_lock lock(start_mu_);
    start_cv_.wait(lock, [&] { return start_ != Start::kWait; });
    return start_ == Start::kGo;
  }

  std::vector<std::unique_ptr<GroupStream>> streams_;
  std::vector<std::thread> threads_;
  std::mutex start_mu_;
  std::condition_variable start_cv_;
  Start start_ = Start::kWait;
};

// Merges the groups' streams, handing at most limit rows to emit (PrefixScanRecord), in key order.
// Every stream is read to its end, so that errors past the limit are still returned.
template <typename Emit>
Result<void> merge_streams(const ScanGroups& groups, std::optional<std::uint64_t> limit, Emit&& emit) {
  const std::span<const std::unique_ptr<GroupStream>> streams = groups.streams();
  const std::size_t k = streams.size();
  std::vector<StreamHead> heads(k);
  // Moves stream i to its next record. At the stream's end its head is no longer live, and the
  // stream's error, when it ended with one, is returned.
  auto advance = [&](std::size_t i) -> Result<void> {
    StreamHead& h = heads[i];
    while (h.at == h.batch.records.size()) {
      h.at = 0;
      if (!streams[i]->next(h.batch)) {
        h.live = false;
        h.key_prefix = UINT64_MAX;
        return streams[i]->outcome();
      }
    }
    h.record = h.batch.records[h.at++];
    h.key = h.record.key();
    h.key_prefix = util::load_prefix_u64_be(h.key);
    h.live = true;
    return {};
  };
  auto before = [&](std::size_t a, std::size_t b) {
    const StreamHead& x = heads[a];
    const StreamHead& y = heads[b];
    if (x.key_prefix != y.key_prefix) return x.key_prefix < y.key_prefix;
    if (!y.live) return x.live || a < b;
    if (!x.live) return false;
    return x.key < y.key;
  };
  // A tournament tree as in merge_sources: losers[n] for the inner nodes n in [1, k).
  for (std::size_t i = 0; i < k; ++i) TRY(advance(i));
  std::vector<std::size_t> losers(k);
  std::size_t winner = 0;
  {
    std::vector<std::size_t> wins(2 * k);
    for (std::size_t i = 0; i < k; ++i) wins[k + i] = i;
    for (std::size_t n = k; n-- > 1;) {
      const std::size_t l = wins[2 * n];
      const std::size_t r = wins[2 * n + 1];
      const bool left_wins = before(l, r);
      wins[n] = left_wins ? l : r;
      losers[n] = left_wins ? r : l;
    }
    winner = k == 1 ? 0 : wins[1];
  }
  std::uint64_t left = limit.value_or(UINT64_MAX);
  while (heads[winner].live) {
    if (left > 0) {
      --left;
      TRY(emit(heads[winner].record));
    }
    const std::size_t i = winner;
    TRY(advance(i));
    std::size_t candidate = i;
    for (std::size_t n = (k + i) / 2; n > 0; n /= 2) {
      if (before(losers[n], candidate)) std::swap(losers[n], candidate);
    }
    winner = candidate;
  }
  return {};
}

// The number of groups a scan of shards is merged in: 1 (no threads) unless it is large.
std::size_t scan_groups(const ScanShards& shards, std::string_view prefix) {
  const ScanThreads threads = scan_threads();
  const std::size_t groups = std::min(shards.count(), threads.max_threads);
  if (groups < 2) return 1;
  std::uint64_t bytes = 0;
  for (std::size_t shard = 0; shard < shards.count(); ++shard) {
    bytes += shards.scan_bytes(shard, prefix);
    if (bytes >= threads.min_bytes) return groups;
  }
  return 1;
}

// Inputs gathered already, as the shards of a scan.
class GatheredShards final : public ScanShards {
 public:
  explicit GatheredShards(std::span<ShardScanInput> inputs) : inputs_(inputs) {}
  std::size_t count() const override { return inputs_.size(); }
  // The table files', and a nominal size for each memtable row.
  std::uint64_t scan_bytes(std::size_t shard, std::string_view prefix) const override {
    constexpr std::uint64_t kMemtableRowBytes = 64;
    const ShardScanInput& input = inputs_[shard];
    std::uint64_t bytes = kMemtableRowBytes * input.memtable_rows.size();
    for (const auto& table : input.tables) bytes += table_scan_bytes(*table, prefix);
    return bytes;
  }
  Result<ShardScanInput> gather(std::size_t shard) const override { return std::move(inputs_[shard]); }

 private:
  std::span<ShardScanInput> inputs_;
};

// Gathers every shard on the calling thread, in order, then merges them there.
template <typename Emit>
Result<void> scan_on_calling_thread(const ScanShards& shards, std::string_view prefix,
                                    std::optional<std::uint64_t> valid_at, std::optional<std::uint64_t> limit,
                                    Emit&& emit) {
  std::vector<ShardScanInput> inputs;
  inputs.reserve(shards.count());
  for (std::size_t shard = 0; shard < shards.count(); ++shard) inputs.push_back(TRY(shards.gather(shard)));
  const ScanSources sources(inputs, prefix, valid_at);
  return merge_sources(sources.all(), prefix.size(), limit, emit);
}

std::atomic<std::size_t> g_scan_max_threads{SIZE_MAX};  // SIZE_MAX: the default
std::atomic<std::uint64_t> g_scan_min_bytes{UINT64_MAX};

}  // namespace

ScanThreads default_scan_threads() {
  // Asked once: the count is read from a system file, which would cost every scan a few
  // microseconds.
  static const unsigned hardware = std::thread::hardware_concurrency();
  // The calling thread merges the groups' rows: the groups take the other hardware threads.
  return ScanThreads{hardware > 1 ? hardware - 1 : 0, kScanThreadsMinBytes};
}

ScanThreads scan_threads() {
  const std::size_t max_threads = g_scan_max_threads.load(std::memory_order_relaxed);
  const std::uint64_t min_bytes = g_scan_min_bytes.load(std::memory_order_relaxed);
  if (max_threads == SIZE_MAX) return default_scan_threads();
  return ScanThreads{max_threads, min_bytes};
}

void set_scan_threads(std::optional<ScanThreads> threads) {
  g_scan_min_bytes.store(threads ? threads->min_bytes : UINT64_MAX, std::memory_order_relaxed);
  g_scan_max_threads.store(threads ? threads->max_threads : SIZE_MAX, std::memory_order_relaxed);
}

std::uint64_t table_scan_bytes(const storage::SsTableReader& table, std::string_view prefix) {
  const std::vector<storage::IndexEntry>& index = table.index();
  auto first = index.begin();
  auto last = index.end();
  // From the first block that can hold the prefix (as walk_prefix) to the first whose last key lies
  // past every key under it.
  if (!prefix.empty()) {
    first = std::partition_point(index.begin(), index.end(),
                                 [&](const storage::IndexEntry& e) { return e.last_key < prefix; });
    if (const std::optional<std::string> upper = ledger::prefix_upper_bound(prefix)) {
      last = std::partition_point(first, index.end(), [&](const storage::IndexEntry& e) { return e.last_key < *upper; });
      if (last != index.end()) ++last;
    }
  }
  if (first == last) return 0;
  // Blocks lie back to back in the file, so the span from the first one's start to the last one's
  // end holds them all (an estimate: a damaged index may say anything, and then gives 0 or nonsense).
  const std::uint64_t begin = first->offset;
  const std::uint64_t end = std::prev(last)->offset + storage::kBlockLengthBytes + std::prev(last)->size;
  return end > begin ? end - begin : 0;
}

Result<void> scan_shards(const ScanShards& shards, std::string_view prefix, std::optional<std::uint64_t> valid_at,
                         std::optional<std::uint64_t> limit, PrefixScanVisitor visit, const PrefixScanSkip* skip) {
  if (const std::size_t groups = scan_groups(shards, prefix); groups > 1) {
    ScanGroups threads;
    // A limit counts the rows merged, so no row may be left out before it.
    if (threads.start(shards, groups, prefix, valid_at, limit, false, limit ? nullptr : skip)) {
      return merge_streams(threads, limit, [&](PrefixScanRecord record) { return visit(record.row()); });
    }
  }
  return scan_on_calling_thread(shards, prefix, valid_at, limit, visit);
}

Result<void> scan_shards(const ScanShards& shards, std::string_view prefix, std::optional<std::uint64_t> valid_at,
                         std::optional<std::uint64_t> limit, PrefixScanRows& out) {
  if (const std::size_t groups = scan_groups(shards, prefix); groups > 1) {
    ScanGroups threads;
    if (threads.start(shards, groups, prefix, valid_at, limit, true)) {
      // The records lie in the groups' stores, which the rows take over once the threads have
      // ended; until then they are rows of this call's own, so that an exception leaves out as it was.
      PrefixScanRows rows;
      const Result<void> merged = merge_streams(threads, limit, [&](PrefixScanRecord record) -> Result<void> {
        rows.push_record(record);
        return {};
      });
      threads.stop();
      for (const auto& stream : threads.streams()) rows.adopt_bytes(std::move(stream->bytes()));
      TRY(merged);
      if (out.empty()) {
        out = std::move(rows);
      } else {
        for (const PrefixScanRow& row : rows) out.push_back(row);
      }
      return {};
    }
  }
  return scan_on_calling_thread(shards, prefix, valid_at, limit, [&out](const PrefixScanRow& row) -> Result<void> {
    out.push_back(row);
    return {};
  });
}

Result<void> merge_scan_inputs(std::span<ShardScanInput> inputs, std::string_view prefix,
                               std::optional<std::uint64_t> valid_at, std::optional<std::uint64_t> limit,
                               PrefixScanVisitor visit) {
  return scan_shards(GatheredShards(inputs), prefix, valid_at, limit, visit);
}

Result<void> merge_scan_inputs(std::span<ShardScanInput> inputs, std::string_view prefix,
                               std::optional<std::uint64_t> valid_at, std::optional<std::uint64_t> limit,
                               PrefixScanRows& out) {
  return scan_shards(GatheredShards(inputs), prefix, valid_at, limit, out);
}

}  // namespace quenlordb::engine
