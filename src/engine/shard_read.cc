// The shard read path: point reads and prefix scans on the caller's thread, against ShardShared.
// Each of the three locks is held alone and released before the next is taken.
#include <algorithm>
#include <cstdint>
#include <limits>
#include <span>
#include <mutex>
#include <shared_mutex>

#include <nlohmann/json.hpp>

#include "ai/risk/risk.h"
#include "engine/prefix_scan.h"
#include "engine/shard_shared.h"
#include "ledger/internal_key.h"
#include "ledger/record.h"
#include "storage/bloom.h"
#include "storage/sstable_reader.h"
#include "util/coding.h"
#include "util/json_document.h"

namespace quenlordb::engine {

namespace {

// The candidate of a point read: a version replaces it only with a strictly greater timestamp.
void offer(std::optional<FoundVersion>& candidate, std::optional<ledger::VisibleVersion>&& found) {
  if (found && (!candidate || found->commit_ts > candidate->commit_ts))
    candidate = FoundVersion{found->commit_ts, std::move(found->doc), {}, nullptr};
}

void offer(std::optional<FoundVersion>& candidate, storage::TableProbe& probe) {
  if (!probe.version || (candidate && probe.version->commit_ts <= candidate->commit_ts)) return;
  FoundVersion& found = candidate.emplace();
  found.commit_ts = probe.version->commit_ts;
  found.in_block = probe.version->doc;
  found.block = std::move(probe.version->block);
}

// The bloom negatives and block reads of a read's probes, counted where they happen and added to the
// shard's counters when it goes away (also when the read fails): threads reading one shard at once
// would otherwise contend for the counters' cache line at every probe.
class ProbeCounts {
 public:
  explicit ProbeCounts(ShardShared& s) : s_(s) {}
  ProbeCounts(const ProbeCounts&) = delete;
  ProbeCounts& operator=(const ProbeCounts&) = delete;
  ~ProbeCounts() {
    if (bloom_negatives != 0) s_.bloom_negatives.fetch_add(bloom_negatives, std::memory_order_relaxed);
    if (block_reads != 0) s_.block_reads.fetch_add(block_reads, std::memory_order_relaxed);
  }

  std::uint64_t bloom_negatives = 0;
  std::uint64_t block_reads = 0;

 private:
  ShardShared& s_;
};

// Probes every table file of the shard for key, under the caller's levels read lock: the filters'
// bits of all files are fetched first, so that their fetches overlap; then the deepest level's last
// file first and level 0's first file last, every file probed. Counts the bloom negatives and block
// reads in counts, and hands each lookup to take. hints, when given, holds a ProbeHint per file in
// that order.
template <typename Levels, typename Take>
Result<void> probe_table_files(ShardShared& s, const Levels& levels, std::string_view key, std::uint64_t key_hash,
                               std::uint64_t snapshot, std::optional<std::uint64_t> valid_at,
                               storage::ProbeHint* hints, ProbeCounts& counts, Take&& take) {
  const storage::BloomProbe probe = storage::BloomProbe::from_hash(key_hash, *s.hasher);
  for (const auto& level : levels) {
    for (const auto& file : level) file.reader->bloom().prefetch(probe);
  }
  storage::ProbeHint* hint = hints;
  for (auto level = levels.rbegin(); level != levels.rend(); ++level) {
    for (auto file = level->rbegin(); file != level->rend(); ++file) {
      storage::TableProbe lookup =
          TRY(file->reader->probe_visible(key, probe, snapshot, valid_at, *s.block_cache, hint));
      if (hint != nullptr) ++hint;
      if (!lookup.bloom_hit) ++counts.bloom_negatives;
      if (lookup.sstable_block) ++counts.block_reads;
      take(lookup);
    }
  }
  return {};
}

// The key's newest inline risk score in the active memtable (of the put with the greatest commit
// timestamp); any failure on the way means none.
std::optional<double> lookup_risk(ShardShared& s, std::string_view key) {
  Result<ledger::VisibleMap> found = fail(QuenlorError::not_found());
  {
    std::shared_lock lock(s.active_mu);
    found = s.active.scan_prefix_visible(ai::risk::risk_key_prefix(key), std::numeric_limits<std::uint64_t>::max(),
                                         std::nullopt);
  }
  if (!found) return std::nullopt;
  const std::string* doc = nullptr;
  std::uint64_t newest = 0;
  for (const auto& [risk_key, version] : *found) {
    const std::optional<std::uint64_t> ts = ai::risk::risk_key_source_ts(risk_key);
    if (ts && (doc == nullptr || *ts > newest)) {
      doc = &version.doc;
      newest = *ts;
    }
  }
  if (doc == nullptr) return std::nullopt;
  const Result<nlohmann::json> value = util::parse_json_document(*doc);
  if (!value || !value->is_object()) return std::nullopt;
  const auto risk = value->find("risk");
  if (risk == value->end() || !risk->is_number()) return std::nullopt;
  return risk->get<double>();
}


}  // namespace

Result<ShardGetResult> ShardReadHandle::get(std::string_view key, std::uint64_t key_hash,
                                            std::optional<std::uint64_t> as_of,
                                            std::optional<std::uint64_t> valid_at) const {
  ShardRead r = TRY(read(key, key_hash, as_of, valid_at));
  ShardGetResult result{std::nullopt, r.sstable_block, r.bloom_hit, r.commit_ts_used, r.risk};
  if (r.found) result.value = r.found->block != nullptr ? std::string(r.found->in_block) : std::move(r.found->copied);
  return result;
}

Result<ShardRead> ShardReadHandle::read(std::string_view key, std::uint64_t key_hash,
                                        std::optional<std::uint64_t> as_of,
                                        std::optional<std::uint64_t> valid_at) const {
  ShardShared& s = *shared_;
  s.reads.fetch_add(1, std::memory_order_relaxed);
  ShardRead result;
  const std::uint64_t snapshot = as_of ? *as_of : s.committed_ts.load(std::memory_order_acquire);
  result.commit_ts_used = snapshot;

  std::optional<FoundVersion>& candidate = result.found;
  {
    std::shared_lock lock(s.active_mu);
    offer(candidate, TRY(s.active.visible_get(key, snapshot, valid_at)));
  }
  {
    std::shared_lock lock(s.immutables_mu);
    for (const auto& frozen : s.immutables) offer(candidate, TRY(frozen->visible_get(key, snapshot, valid_at)));
  }
  {
    std::shared_lock lock(s.levels_mu);
    bool first = true;
    ProbeCounts counts(s);
    TRY(probe_table_files(s, s.levels.levels(), key, key_hash, snapshot, valid_at, nullptr, counts,
                          [&](storage::TableProbe& lookup) {
                            if (first) {
                              result.bloom_hit = lookup.bloom_hit;
                              result.sstable_block = lookup.sstable_block;
                              first = false;
                            }
                            offer(candidate, lookup);
                          }));
  }
  if (s.risk_on_get && !key.starts_with(ai::risk::kReservedKeyPrefix)) result.risk = lookup_risk(s, key);
  return result;
}

Result<void> ShardReadHandle::read_many(std::span<const std::string_view> keys, std::span<const std::uint64_t> hashes,
                                        std::span<const std::uint32_t> order, std::optional<std::uint64_t> as_of,
                                        std::optional<std::uint64_t> valid_at,
                                        util::FunctionRef<Result<void>(std::size_t, const BatchDoc&)> visit,
                                        const BatchReadSkip* skip) const {
  ShardShared& s = *shared_;
  s.reads.fetch_add(order.size(), std::memory_order_relaxed);
  const std::uint64_t snapshot = as_of ? *as_of : s.committed_ts.load(std::memory_order_acquire);
  // Each group goes through the three structures in the order read takes them, each under its
  // lock once, so that a writer waits for one group at most; a version a flush moves meanwhile is
  // found where it went, as by read. Memtable documents are copied into one buffer (the memtable
  // cannot stay locked); table-file documents stay in their blocks, which the slots hold.
  constexpr std::size_t kGroup = kReadGroupKeys;
  struct Slot {
    bool found = false;
    std::uint64_t commit_ts = 0;
    std::size_t copied_at = 0;  // when block is null, the document is copied[copied_at, + size)
    std::size_t copied_size = 0;
    std::string_view in_block;
    std::shared_ptr<const void> block;  // the block in_block lies in, block_bytes of it
    std::size_t block_bytes = 0;
  };
  std::vector<Slot> slots(std::min(kGroup, order.size()));
  std::string copied;
  std::vector<storage::ProbeHint> hints;
  // A version replaces the slot's only with a strictly greater timestamp, as offer does.
  auto offer_view = [&](Slot& slot, const std::optional<ledger::VisibleView>& found) {
    if (!found || (slot.found && found->commit_ts <= slot.commit_ts)) return;
    slot.found = true;
    slot.commit_ts = found->commit_ts;
    slot.copied_at = copied.size();
    slot.copied_size = found->doc.size();
    slot.block = nullptr;
    copied.append(found->doc);
  };
  for (std::size_t begin = 0; begin < order.size(); begin += kGroup) {
    const std::span<const std::uint32_t> group = order.subspan(begin, std::min(kGroup, order.size() - begin));
    copied.clear();
    for (std::size_t j = 0; j < group.size(); ++j) slots[j] = Slot{};
    {
      std::shared_lock lock(s.active_mu);
      for (std::size_t j = 0; j < group.size(); ++j) {
        offer_view(slots[j], TRY(s.active.visible_view(keys[group[j]], snapshot, valid_at)));
      }
    }
    {
      std::shared_lock lock(s.immutables_mu);
      for (const auto& frozen : s.immutables) {
        for (std::size_t j = 0; j < group.size(); ++j) {
          offer_view(slots[j], TRY(frozen->visible_view(keys[group[j]], snapshot, valid_at)));
        }
      }
    }
    {
      std::shared_lock lock(s.levels_mu);
      const auto& levels = s.levels.levels();
      // Each file's lookup of a key starts from what the previous key's left (the keys come in
      // ascending order): the search for its first block, and the block last read.
      std::size_t files = 0;
      for (const auto& level : levels) files += level.size();
      hints.assign(files, storage::ProbeHint{});
      ProbeCounts counts(s);
      for (std::size_t j = 0; j < group.size(); ++j) {
        Slot& slot = slots[j];
        TRY(probe_table_files(s, levels, keys[group[j]], hashes[group[j]], snapshot, valid_at, hints.data(), counts,
                              [&](storage::TableProbe& lookup) {
                                if (!lookup.version || (slot.found && lookup.version->commit_ts <= slot.commit_ts)) {
                                  return;
                                }
                                slot.found = true;
                                slot.commit_ts = lookup.version->commit_ts;
                                slot.in_block = lookup.version->doc;
                                slot.block_bytes = lookup.version->block->size();
                                slot.block = std::move(lookup.version->block);
                              }));
      }
    }
    for (std::size_t j = 0; j < group.size(); ++j) {
      Slot& slot = slots[j];
      if (!slot.found) continue;
      const bool in_block = slot.block != nullptr;
      const std::string_view doc =
          in_block ? slot.in_block : std::string_view(copied).substr(slot.copied_at, slot.copied_size);
      if (skip == nullptr || !(*skip)(group[j], doc)) {
        TRY(visit(group[j], BatchDoc(doc, in_block ? &slot.block : nullptr, slot.block_bytes)));
      }
      slot.block = nullptr;  // lets the cache drop the block as soon as it wants
    }
  }
  return {};
}

Result<PrefixScanRows> ShardReadHandle::scan_prefix(std::string_view prefix, std::optional<std::uint64_t> as_of,
                                                    std::optional<std::uint64_t> valid_at,
                                                    std::optional<std::uint64_t> limit) const {
  PrefixScanRows rows;
  if (limit && *limit == 0) return rows;
  const std::uint64_t snapshot = scan_snapshot(as_of);
  ShardScanInput input = TRY(gather_scan(prefix, snapshot, valid_at, limit));
  TRY(merge_scan_inputs(std::span(&input, 1), prefix, valid_at, limit, rows));
  return rows;
}

std::uint64_t ShardReadHandle::scan_snapshot(std::optional<std::uint64_t> as_of) const {
  shared_->reads.fetch_add(1, std::memory_order_relaxed);
  return as_of ? *as_of : shared_->committed_ts.load(std::memory_order_acquire);
}

std::uint64_t ShardReadHandle::scan_table_bytes(std::string_view prefix) const {
  ShardShared& s = *shared_;
  std::shared_lock lock(s.levels_mu);
  std::uint64_t bytes = 0;
  for (const auto& level : s.levels.levels()) {
    for (const auto& file : level) bytes += table_scan_bytes(*file.reader, prefix);
  }
  return bytes;
}

namespace {

// Whether the file's key range can hold a key under prefix (upper: the prefix's upper bound, none
// when every key above the prefix is under it). A range that did not decode, empty, may hold any.
bool may_hold_prefix(const storage::LevelFileInfo& file, std::string_view prefix,
                     const std::optional<std::string>& upper) {
  if (prefix.empty() || file.min_key.empty() || file.max_key.empty()) return true;
  if (std::string_view(file.max_key) < prefix) return false;
  return !upper || file.min_key < *upper;
}

}  // namespace

Result<ShardScanInput> ShardReadHandle::gather_scan(std::string_view prefix, std::uint64_t snapshot,
                                                    std::optional<std::uint64_t> valid_at,
                                                    std::optional<std::uint64_t> limit) const {
  ShardShared& s = *shared_;
  ShardScanInput input;
  input.snapshot = snapshot;
  input.cache = s.block_cache.get();
  {
    std::shared_lock lock(s.active_mu);
    const storage::Memtable* const active[] = {&s.active};
    TRY(merge_memtables(input.memtable_rows, active, prefix, snapshot, valid_at, limit));
  }
  {
    std::shared_lock lock(s.immutables_mu);
    if (!s.immutables.empty()) {
      std::vector<const storage::Memtable*> frozen;
      for (const auto& memtable : s.immutables) frozen.push_back(memtable.get());
      TRY(merge_memtables(input.memtable_rows, frozen, prefix, snapshot, valid_at, limit));
    }
  }
  {
    // A file whose keys all lie outside the prefix's range is left out: each walk would read a
    // block only to find that (a catalog listing would read one in nearly every file).
    const std::optional<std::string> upper = ledger::prefix_upper_bound(prefix);
    std::shared_lock lock(s.levels_mu);
    for (const auto& level : s.levels.levels()) {
      for (const auto& file : level) {
        if (may_hold_prefix(file, prefix, upper)) input.tables.push_back(file.reader);
      }
    }
  }
  return input;
}

}  // namespace quenlordb::engine
