#include "engine/prefix_scan.h"

#include <cstdint>
#include <map>
#include <string>
#include <utility>

#include "util/coding.h"

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

// Merges the sources, given in the order that decides ties (among equal commit timestamps the
// version met first wins), handing visit per user key the version with the greatest commit
// timestamp, in user-key order, at most limit rows. Every source is read to its end, so damage past
// the limit is still reported.
//
// Sources sit in a heap ordered by their current user key. The smallest key's versions are taken
// from every source that holds it, the newest kept as a view (its source keeps its block), and the
// row is handed on once the heap has moved past the key, if no source can come back to it or below.
// A walk in internal-key order at user key h can still yield only greater keys, or a proper prefix
// p of h with h[|p|] = 0x00 (only then does p ‖ 0x00 ‖ ts sort after h), and only one at least as
// long as the scan's prefix. So a source's floor, the smallest key it can still yield, is its key
// cut before the first 0x00 byte after the prefix, or the key itself when it holds none; and a key
// below every floor is final. While no current key holds such a byte, the floors are the keys
// themselves and the heap's order is final. A key that is not final yet is copied into an ordered
// buffer, and versions then go through that buffer, each key handed on once every floor lies
// above it, until the buffer is empty.
Result<void> merge_sources(std::span<MergeSource* const> sources, std::size_t prefix_len,
                           std::optional<std::uint64_t> limit, PrefixScanVisitor visit) {
  struct Head {
    std::uint64_t key_prefix;  // util::load_prefix_u64_be of the source's user key, compared first
    std::size_t order;         // position in sources, which breaks ties
    MergeSource* source;
    bool zero;  // the user key holds a 0x00 byte after the prefix and the source is a walk
  };
  auto before = [](const Head& a, const Head& b) {
    if (a.key_prefix != b.key_prefix) return a.key_prefix < b.key_prefix;
    if (const int c = a.source->view().user_key.compare(b.source->view().user_key); c != 0) return c < 0;
    return a.order < b.order;
  };
  auto holds_zero = [prefix_len](const MergeSource& s) {
    return s.internal_order() && s.view().user_key.find('\0', prefix_len) != std::string_view::npos;
  };
  std::vector<Head> heap;  // a binary min-heap by before
  heap.reserve(sources.size());
  std::size_t zero_heads = 0;  // heads whose zero is set
  for (std::size_t i = 0; i < sources.size(); ++i) {
    if (!TRY(sources[i]->next(false))) continue;
    const bool zero = holds_zero(*sources[i]);
    heap.push_back({util::load_prefix_u64_be(sources[i]->view().user_key), i, sources[i], zero});
    zero_heads += zero;
  }
  auto sift_down = [&](std::size_t at) {
    const std::size_t n = heap.size();
    const Head moving = heap[at];
    for (;;) {
      std::size_t child = 2 * at + 1;
      if (child >= n) break;
      if (child + 1 < n && before(heap[child + 1], heap[child])) ++child;
      if (!before(heap[child], moving)) break;
      heap[at] = heap[child];
      at = child;
    }
    heap[at] = moving;
  };
  for (std::size_t i = heap.size() / 2; i-- > 0;) sift_down(i);

  // Moves the source at the top of the heap to its next version.
  auto advance_top = [&](bool keep) -> Result<void> {
    Head& top = heap[0];
    zero_heads -= top.zero;
    if (TRY(top.source->next(keep))) {
      top.key_prefix = util::load_prefix_u64_be(top.source->view().user_key);
      top.zero = holds_zero(*top.source);
      zero_heads += top.zero;
    } else {
      top = heap.back();
      heap.pop_back();
    }
    if (!heap.empty()) sift_down(0);
    return {};
  };
  // The smallest user key a source can still yield (the heap is not empty).
  auto floor = [&]() {
    std::string_view low = heap[0].source->view().user_key;
    if (zero_heads == 0) return low;
    for (const Head& h : heap) {
      if (!h.zero) continue;
      const std::string_view key = h.source->view().user_key;
      const std::string_view cut = key.substr(0, key.find('\0', prefix_len));
      if (cut < low) low = cut;
    }
    return low;
  };

  std::uint64_t left = limit.value_or(UINT64_MAX);
  auto emit = [&](std::string_view key, std::string_view doc, std::uint64_t commit_ts) -> Result<void> {
    if (left == 0) return {};
    --left;
    return visit(PrefixScanRow{key, doc, commit_ts});
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
    const std::optional<std::string_view> low = heap.empty() ? std::nullopt : std::optional(floor());
    while (!waiting.empty() && (!low || waiting.begin()->first < *low)) {
      const auto& [key, v] = *waiting.begin();
      TRY(emit(key, v.doc, v.commit_ts));
      waiting.erase(waiting.begin());
    }
    return {};
  };

  while (!heap.empty()) {
    if (waiting.empty()) {
      ledger::VisibleView best = heap[0].source->view();
      const MergeSource* best_source = heap[0].source;
      std::size_t best_order = heap[0].order;
      const std::uint64_t key_prefix = heap[0].key_prefix;
      bool may_return = false;  // a walk at this key may come back below it
      do {
        MergeSource& top = *heap[0].source;
        may_return |= heap[0].zero;
        if (top.view().commit_ts > best.commit_ts) {
          best = top.view();
          best_source = &top;
          best_order = heap[0].order;
        }
        TRY(advance_top(&top == best_source));
      } while (!heap.empty() && heap[0].key_prefix == key_prefix && heap[0].source->view().user_key == best.user_key);
      if (heap.empty() || (zero_heads == 0 && !may_return) || best.user_key < floor()) {
        TRY(emit(best.user_key, best.doc, best.commit_ts));
      } else {
        wait(best, best_order);
      }
      continue;
    }
    wait(heap[0].source->view(), heap[0].order);
    TRY(advance_top(false));
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

Result<void> merge_scan_inputs(std::span<ShardScanInput> inputs, std::string_view prefix,
                               std::optional<std::uint64_t> valid_at, std::optional<std::uint64_t> limit,
                               PrefixScanVisitor visit) {
  std::vector<RowsSource> newer;
  std::vector<TableSource> tables;
  std::size_t table_count = 0;
  for (const ShardScanInput& input : inputs) table_count += input.tables.size();
  newer.reserve(inputs.size());
  tables.reserve(table_count);
  // Keys of different shards never meet, so only the order within a shard decides ties.
  std::vector<MergeSource*> sources;
  for (ShardScanInput& input : inputs) {
    sources.push_back(&newer.emplace_back(input.memtable_rows));
    for (const auto& table : input.tables)
      sources.push_back(&tables.emplace_back(table->walk_prefix(prefix, input.snapshot, valid_at, input.cache)));
  }
  return merge_sources(sources, prefix.size(), limit, visit);
}

}  // namespace quenlordb::engine
