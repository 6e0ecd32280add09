// The shard read path: point reads and prefix scans on the caller's thread, against ShardShared.
// Each of the three locks is held alone and released before the next is taken.
#include <algorithm>
#include <cstdint>
#include <span>
#include <limits>
#include <mutex>
#include <shared_mutex>

#include <nlohmann/json.hpp>

#include "ai/risk.h"
#include "engine/shard_shared.h"
#include "ledger/internal_key.h"
#include "ledger/record.h"
#include "storage/bloom.h"
#include "storage/sstable_reader.h"
#include "util/coding.h"

namespace quenlordb::engine {

namespace {

// The candidate of a point read: a version replaces it only with a strictly greater timestamp.
void offer(std::optional<ledger::VisibleVersion>& candidate, std::optional<ledger::VisibleVersion>&& found) {
  if (found && (!candidate || found->commit_ts > candidate->commit_ts)) candidate = std::move(found);
}

// The key's newest inline risk score in the active memtable (of the put with the greatest commit
// timestamp); any failure on the way means none.
std::optional<double> lookup_risk(ShardShared& s, std::string_view key) {
  Result<ledger::VisibleMap> found = fail(QuenlorError::not_found());
  {
    std::shared_lock lock(s.active_mu);
    found = s.active.scan_prefix_visible(ai::risk_key_prefix(key), std::numeric_limits<std::uint64_t>::max(),
                                         std::nullopt);
  }
  if (!found) return std::nullopt;
  const std::string* doc = nullptr;
  std::uint64_t newest = 0;
  for (const auto& [risk_key, version] : *found) {
    const std::optional<std::uint64_t> ts = ai::risk_key_source_ts(risk_key);
    if (ts && (doc == nullptr || *ts > newest)) {
      doc = &version.doc;
      newest = *ts;
    }
  }
  if (doc == nullptr) return std::nullopt;
  nlohmann::json value = nlohmann::json::parse(*doc, nullptr, /*allow_exceptions=*/false);
  if (!value.is_object()) return std::nullopt;
  auto risk = value.find("risk");
  if (risk == value.end() || !risk->is_number()) return std::nullopt;
  return risk->get<double>();
}


// One input of a scan's merge: visible versions in the order of their internal keys, so each user
// key's versions oldest first and, unless user keys hold 0x00 bytes, user keys ascending.
class MergeSource {
 public:
  virtual ~MergeSource() = default;
  // Moves to the next version; false at the end. retired: as SsTableReader::PrefixWalk::next.
  virtual Result<bool> next(std::vector<storage::CachedBlock>* retired) = 0;
  // The row behind the current version when the source owns it (the merge moves it out), else null.
  virtual PrefixScanResultRow* owned_row() { return nullptr; }
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

// Merges the sources, given in the order that decides ties (among equal commit timestamps the
// version met first wins), into out: per user key the version with the greatest commit timestamp,
// in key order, at most limit rows. Every source is read to its end, so damage past the limit is
// still reported. The newest version of the current key is held as a view, its block kept, and
// copied (or moved, from a RowsSource) once the merge passes the key. Answers false, out then
// unusable, when a source goes back to a smaller user key than the one it was at: only a sort of
// all versions orders such keys.
Result<bool> merge_sources(std::span<MergeSource* const> sources, std::optional<std::uint64_t> limit,
                           std::vector<PrefixScanResultRow>& out) {
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
      if (best_row != nullptr) {
        out.push_back(std::move(*best_row));
      } else {
        out.push_back(PrefixScanResultRow{std::string(best.user_key), std::string(best.doc), best.commit_ts});
      }
    }
    if (!retired.empty()) retired.clear();
  }
  return true;
}

}  // namespace

void PrefixScanAccumulator::add(const ledger::VisibleView& hit) {
  if (candidates_.size() > folded_ && candidates_.back().key == hit.user_key) {
    Candidate& last = candidates_.back();
    if (hit.commit_ts > last.commit_ts) {
      last.commit_ts = hit.commit_ts;
      last.doc.assign(hit.doc);
    }
    return;
  }
  candidates_.push_back(
      Candidate{util::load_prefix_u64_be(hit.user_key), hit.commit_ts, std::string(hit.user_key), std::string(hit.doc)});
  if (candidates_.size() >= 2 * folded_ + first_fold_) fold();
}

void PrefixScanAccumulator::fold() {
  auto before = [](const Candidate& a, const Candidate& b) {
    if (a.key_prefix != b.key_prefix) return a.key_prefix < b.key_prefix;
    if (const int c = a.key.compare(b.key); c != 0) return c < 0;
    return a.commit_ts > b.commit_ts;
  };
  // Both steps are stable, so among equal timestamps the one added first comes first.
  const auto unfolded = candidates_.begin() + static_cast<std::ptrdiff_t>(folded_);
  std::stable_sort(unfolded, candidates_.end(), before);
  std::inplace_merge(candidates_.begin(), unfolded, candidates_.end(), before);
  const auto kept = std::unique(candidates_.begin(), candidates_.end(),
                                [](const Candidate& a, const Candidate& b) { return a.key == b.key; });
  candidates_.erase(kept, candidates_.end());
  folded_ = candidates_.size();
}

std::vector<PrefixScanResultRow> PrefixScanAccumulator::take_rows(std::optional<std::uint64_t> limit) {
  fold();
  std::size_t n = candidates_.size();
  if (limit) n = static_cast<std::size_t>(std::min<std::uint64_t>(n, *limit));
  std::vector<PrefixScanResultRow> rows;
  rows.reserve(n);
  for (std::size_t i = 0; i < n; ++i) {
    Candidate& c = candidates_[i];
    rows.push_back(PrefixScanResultRow{std::move(c.key), std::move(c.doc), c.commit_ts});
  }
  candidates_.clear();
  folded_ = 0;
  return rows;
}

Result<void> merge_prefix_visible(PrefixScanAccumulator& acc, const storage::Memtable& memtable, std::string_view prefix,
                                  std::uint64_t snapshot, std::optional<std::uint64_t> valid_at) {
  storage::Memtable::PrefixWalk walk = memtable.walk_prefix(prefix, snapshot, valid_at);
  while (TRY(walk.next())) acc.add(walk.view());
  return {};
}

Result<ShardGetResult> ShardReadHandle::get(std::string_view key, std::uint64_t key_hash,
                                            std::optional<std::uint64_t> as_of,
                                            std::optional<std::uint64_t> valid_at) const {
  ShardShared& s = *shared_;
  s.reads.fetch_add(1, std::memory_order_relaxed);
  ShardGetResult result;
  const std::uint64_t snapshot = as_of ? *as_of : s.committed_ts.load(std::memory_order_acquire);
  result.commit_ts_used = snapshot;

  std::optional<ledger::VisibleVersion> candidate;
  {
    std::shared_lock lock(s.active_mu);
    candidate = TRY(s.active.visible_get(key, snapshot, valid_at));
  }
  {
    std::shared_lock lock(s.immutables_mu);
    for (const auto& frozen : s.immutables) offer(candidate, TRY(frozen->visible_get(key, snapshot, valid_at)));
  }
  {
    std::shared_lock lock(s.levels_mu);
    const auto& levels = s.levels.levels();
    bool first = true;
    const storage::BloomProbe probe = storage::BloomProbe::from_hash(key_hash, *s.hasher);
    // Deepest level's last file first, level 0's first file last; every file is probed.
    for (auto level = levels.rbegin(); level != levels.rend(); ++level) {
      for (auto file = level->rbegin(); file != level->rend(); ++file) {
        storage::TableLookup lookup =
            TRY(file->reader->get_visible(key, probe, snapshot, valid_at, *s.block_cache));
        if (first) {
          result.bloom_hit = lookup.bloom_hit;
          result.sstable_block = lookup.sstable_block;
          first = false;
        }
        if (!lookup.bloom_hit) s.bloom_negatives.fetch_add(1, std::memory_order_relaxed);
        if (lookup.sstable_block) s.block_reads.fetch_add(1, std::memory_order_relaxed);
        offer(candidate, std::move(lookup.found));
      }
    }
  }
  if (candidate) result.value = std::move(candidate->doc);
  if (s.risk_on_get && !key.starts_with(ai::kReservedKeyPrefix)) result.risk = lookup_risk(s, key);
  return result;
}

Result<std::vector<PrefixScanResultRow>> ShardReadHandle::scan_prefix(std::string_view prefix,
                                                                      std::optional<std::uint64_t> as_of,
                                                                      std::optional<std::uint64_t> valid_at,
                                                                      std::optional<std::uint64_t> limit) const {
  if (limit && *limit == 0) return std::vector<PrefixScanResultRow>{};
  ShardShared& s = *shared_;
  s.reads.fetch_add(1, std::memory_order_relaxed);
  const std::uint64_t snapshot = as_of ? *as_of : s.committed_ts.load(std::memory_order_acquire);
  std::optional<std::vector<PrefixScanResultRow>> rows = TRY(scan_merged(prefix, snapshot, valid_at, limit));
  if (rows) return std::move(*rows);
  return scan_sorted(prefix, snapshot, valid_at, limit);
}

// Each source walked once, merged as it goes: the memtables' answers first (the active one, then
// the frozen ones, each under its own lock), then those rows with every table file. None when a
// source's user keys do not ascend.
Result<std::optional<std::vector<PrefixScanResultRow>>> ShardReadHandle::scan_merged(
    std::string_view prefix, std::uint64_t snapshot, std::optional<std::uint64_t> valid_at,
    std::optional<std::uint64_t> limit) const {
  ShardShared& s = *shared_;
  std::vector<PrefixScanResultRow> rows;
  {
    std::shared_lock lock(s.active_mu);
    MemtableSource active(s.active.walk_prefix(prefix, snapshot, valid_at));
    MergeSource* const sources[] = {&active};
    if (!TRY(merge_sources(sources, limit, rows))) return std::nullopt;
  }
  {
    std::shared_lock lock(s.immutables_mu);
    if (!s.immutables.empty()) {
      RowsSource newer(rows);
      std::vector<MemtableSource> frozen;
      frozen.reserve(s.immutables.size());
      std::vector<MergeSource*> sources = {&newer};
      for (const auto& memtable : s.immutables) {
        frozen.emplace_back(memtable->walk_prefix(prefix, snapshot, valid_at));
        sources.push_back(&frozen.back());
      }
      std::vector<PrefixScanResultRow> merged;
      if (!TRY(merge_sources(sources, limit, merged))) return std::nullopt;
      rows = std::move(merged);
    }
  }
  {
    std::shared_lock lock(s.levels_mu);
    RowsSource newer(rows);
    std::vector<TableSource> tables;
    std::vector<MergeSource*> sources = {&newer};
    for (const auto& level : s.levels.levels()) {
      for (const auto& file : level) tables.emplace_back(file.reader->walk_prefix(prefix, snapshot, valid_at, s.block_cache.get()));
    }
    if (tables.empty()) return rows;
    for (TableSource& table : tables) sources.push_back(&table);
    std::vector<PrefixScanResultRow> merged;
    merged.reserve(rows.size());
    if (!TRY(merge_sources(sources, limit, merged))) return std::nullopt;
    return merged;
  }
}

// Every visible version gathered and sorted: slower, but right whatever the keys hold.
Result<std::vector<PrefixScanResultRow>> ShardReadHandle::scan_sorted(std::string_view prefix, std::uint64_t snapshot,
                                                                      std::optional<std::uint64_t> valid_at,
                                                                      std::optional<std::uint64_t> limit) const {
  ShardShared& s = *shared_;
  PrefixScanAccumulator acc;
  {
    std::shared_lock lock(s.active_mu);
    TRY(merge_prefix_visible(acc, s.active, prefix, snapshot, valid_at));
  }
  {
    std::shared_lock lock(s.immutables_mu);
    for (const auto& frozen : s.immutables) TRY(merge_prefix_visible(acc, *frozen, prefix, snapshot, valid_at));
  }
  {
    std::shared_lock lock(s.levels_mu);
    for (const auto& level : s.levels.levels()) {
      for (const auto& file : level) {
        storage::SsTableReader::PrefixWalk walk = file.reader->walk_prefix(prefix, snapshot, valid_at, s.block_cache.get());
        while (TRY(walk.next())) acc.add(walk.view());
      }
    }
  }
  return acc.take_rows(limit);
}

}  // namespace quenlordb::engine
