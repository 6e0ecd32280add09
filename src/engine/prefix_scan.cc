#include "engine/prefix_scan.h"

#include <algorithm>
#include <cstdint>
#include <string>
#include <utility>

#include "engine/database.h"
#include "util/coding.h"

namespace quenlordb::engine {

namespace {

// One input of a scan's merge: visible versions in the order of their internal keys, so each user
// key's versions oldest first and, unless user keys hold 0x00 bytes, user keys ascending.
class MergeSource {
 public:
  virtual ~MergeSource() = default;
  // Moves to the next version; false at the end. retired: as SsTableReader::PrefixWalk::next.
  virtual Result<bool> next(std::vector<storage::CachedBlock>* retired) = 0;
  // The row behind the current version when the source owns it (the merge moves it out), else null.
  virtual PrefixScanResultRow* owned_row() { return nullptr; }
  // How much of a table file's range the source has passed, from 0 to 1; negative for others.
  virtual double progress() const { return -1.0; }
  const ledger::VisibleView& view() const { return view_; }

 protected:
  ledger::VisibleView view_{};
};

class MemtableSource final : public MergeSource {
 public:
  explicit MemtableSource(storage::Memtable::PrefixWalk walk) : walk_(walk) {}
  Result<bool> next(std::vector<storage::CachedBlock>*) override {
    if (!TRY(walk_.next())) return false;
    view_ = walk_.view();
    return true;
  }

 private:
  storage::Memtable::PrefixWalk walk_;
};

class TableSource final : public MergeSource {
 public:
  explicit TableSource(storage::SsTableReader::PrefixWalk walk) : walk_(std::move(walk)) {}
  Result<bool> next(std::vector<storage::CachedBlock>* retired) override {
    if (!TRY(walk_.next(retired))) return false;
    view_ = walk_.view();
    return true;
  }
  double progress() const override { return walk_.progress(); }

 private:
  storage::SsTableReader::PrefixWalk walk_;
};

// The rows of an earlier merge, one per key in key order.
class RowsSource final : public MergeSource {
 public:
  explicit RowsSource(std::vector<PrefixScanResultRow>& rows) : rows_(rows) {}
  Result<bool> next(std::vector<storage::CachedBlock>*) override {
    if (at_ == rows_.size()) return false;
    const PrefixScanResultRow& row = rows_[at_++];
    view_ = {row.key, row.commit_ts, row.doc};
    return true;
  }
  PrefixScanResultRow* owned_row() override { return &rows_[at_ - 1]; }

 private:
  std::vector<PrefixScanResultRow>& rows_;
  std::size_t at_ = 0;
};

// Room for the rows still to come. The merge's keys pass through the ranges of all table files at
// about the same pace, so once it is some way in, how far the walks have got tells how many rows
// the scan will give; before that, or without table files, the room doubles.
void make_room(std::vector<PrefixScanRow>& out, std::span<MergeSource* const> sources) {
  const std::size_t n = out.size();
  std::size_t want = 2 * n + 1024;
  double passed = 0;
  int walks = 0;
  for (const MergeSource* source : sources) {
    if (const double p = source->progress(); p >= 0) {
      passed += p;
      ++walks;
    }
  }
  if (walks > 0 && passed / walks > 0.05) {
    const double estimate = static_cast<double>(n) / (passed / walks) * 1.05 + 1024;
    want = std::clamp(static_cast<std::size_t>(estimate), n + n / 8 + 1024, 4 * n + 1024);
  }
  out.reserve(want);
}

// Merges the sources, given in the order that decides ties (among equal commit timestamps the
// version met first wins), into out: per user key the version with the greatest commit timestamp,
// in key order, at most limit rows. Every source is read to its end, so damage past the limit is
// still reported. The newest version of the current key is held as a view, its block kept, and
// copied (or moved, from a RowsSource) once the merge passes the key. Answers false, out then
// unusable, when a source goes back to a smaller user key than the one it was at: only a sort of
// all versions orders such keys.
Result<bool> merge_sources(std::span<MergeSource* const> sources, std::optional<std::uint64_t> limit,
                           std::vector<PrefixScanRow>& out) {
  struct Head {
    std::uint64_t key_prefix;  // util::load_prefix_u64_be of the source's user key, compared first
    std::size_t order;         // position in sources, which breaks ties
    MergeSource* source;
  };
  auto before = [](const Head& a, const Head& b) {
    if (a.key_prefix != b.key_prefix) return a.key_prefix < b.key_prefix;
    if (const int c = a.source->view().user_key.compare(b.source->view().user_key); c != 0) return c < 0;
    return a.order < b.order;
  };
  std::vector<Head> heap;  // a binary min-heap by before
  heap.reserve(sources.size());
  for (std::size_t i = 0; i < sources.size(); ++i) {
    if (TRY(sources[i]->next(nullptr)))
      heap.push_back({util::load_prefix_u64_be(sources[i]->view().user_key), i, sources[i]});
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

  const std::size_t max_rows = limit ? static_cast<std::size_t>(std::min<std::uint64_t>(*limit, SIZE_MAX)) : SIZE_MAX;
  std::vector<storage::CachedBlock> retired;  // blocks that hold the current key's newest version
  while (!heap.empty()) {
    ledger::VisibleView best = heap[0].source->view();
    PrefixScanResultRow* best_row = heap[0].source->owned_row();
    const MergeSource* best_source = heap[0].source;
    const std::uint64_t key_prefix = heap[0].key_prefix;
    do {
      MergeSource& top = *heap[0].source;
      if (top.view().commit_ts > best.commit_ts) {
        best = top.view();
        best_row = top.owned_row();
        best_source = &top;
      }
      if (TRY(top.next(&top == best_source ? &retired : nullptr))) {
        // The source was at best.user_key; it may stay there or move on, never go back.
        const std::string_view key = top.view().user_key;
        const std::uint64_t p = util::load_prefix_u64_be(key);
        if (p < key_prefix || (p == key_prefix && key < best.user_key)) return false;
        heap[0].key_prefix = p;
      } else {
        heap[0] = heap.back();
        heap.pop_back();
        if (heap.empty()) break;
      }
      sift_down(0);
    } while (heap[0].key_prefix == key_prefix && heap[0].source->view().user_key == best.user_key);
    if (out.size() < max_rows) {
      if (out.size() == out.capacity()) make_room(out, sources);
      if (best_row != nullptr) {
        out.push_back(std::move(*best_row));
      } else {
        out.push_back(PrefixScanRow{std::string(best.user_key), std::string(best.doc), best.commit_ts});
      }
    }
    if (!retired.empty()) retired.clear();
  }
  return true;
}

}  // namespace

Result<bool> merge_memtables(std::vector<PrefixScanResultRow>& rows,
                             std::span<const storage::Memtable* const> memtables, std::string_view prefix,
                             std::uint64_t snapshot, std::optional<std::uint64_t> valid_at,
                             std::optional<std::uint64_t> limit) {
  RowsSource newer(rows);
  std::vector<MemtableSource> walks;
  walks.reserve(memtables.size());
  std::vector<MergeSource*> sources = {&newer};
  for (const storage::Memtable* memtable : memtables) {
    walks.emplace_back(memtable->walk_prefix(prefix, snapshot, valid_at));
    sources.push_back(&walks.back());
  }
  std::vector<PrefixScanResultRow> merged;
  merged.reserve(rows.size());
  if (!TRY(merge_sources(sources, limit, merged))) return false;
  rows = std::move(merged);
  return true;
}

Result<bool> merge_scan_inputs(std::span<ShardScanInput> inputs, std::string_view prefix,
                               std::optional<std::uint64_t> valid_at, std::optional<std::uint64_t> limit,
                               std::vector<PrefixScanRow>& out) {
  std::vector<RowsSource> newer;
  std::vector<TableSource> tables;
  std::size_t table_count = 0;
  std::size_t memtable_rows = 0;
  for (const ShardScanInput& input : inputs) {
    table_count += input.tables.size();
    memtable_rows += input.memtable_rows.size();
  }
  newer.reserve(inputs.size());
  tables.reserve(table_count);
  // Keys of different shards never meet, so only the order within a shard decides ties.
  std::vector<MergeSource*> sources;
  for (ShardScanInput& input : inputs) {
    sources.push_back(&newer.emplace_back(input.memtable_rows));
    for (const auto& table : input.tables)
      sources.push_back(&tables.emplace_back(table->walk_prefix(prefix, input.snapshot, valid_at, input.cache)));
  }
  out.reserve(memtable_rows);
  return merge_sources(sources, limit, out);
}

}  // namespace quenlordb::engine
