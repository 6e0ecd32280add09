#include "engine/prefix_scan.h"

#include <cstdint>
#include <cstring>
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

}  // namespace

Result<void> merge_scan_inputs(std::span<ShardScanInput> inputs, std::string_view prefix,
                               std::optional<std::uint64_t> valid_at, std::optional<std::uint64_t> limit,
                               PrefixScanVisitor visit) {
  const ScanSources sources(inputs, prefix, valid_at);
  return merge_sources(sources.all(), prefix.size(), limit, visit);
}

Result<void> merge_scan_inputs(std::span<ShardScanInput> inputs, std::string_view prefix,
                               std::optional<std::uint64_t> valid_at, std::optional<std::uint64_t> limit,
                               PrefixScanRows& out) {
  const ScanSources sources(inputs, prefix, valid_at);
  return merge_sources(sources.all(), prefix.size(), limit, [&out](const PrefixScanRow& row) -> Result<void> {
    out.push_back(row);
    return {};
  });
}

}  // namespace quenlordb::engine
