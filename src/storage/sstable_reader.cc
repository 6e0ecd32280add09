#include "storage/sstable_reader.h"

#include <lz4.h>

#include <algorithm>
#include <atomic>
#include <climits>
#include <cstring>

#include "ledger/internal_key.h"
#include "ledger/record.h"
#include "storage/lz4_block.h"
#include "storage/sstable_writer.h"
#include "util/coding.h"
#include "util/varint.h"

namespace quenlordb::storage {

namespace {

constexpr std::size_t kMinTableBytes = 32;

std::atomic<std::uint64_t> g_next_cache_id{1};

QuenlorError format_error(std::string message) { return QuenlorError::sstable_format(std::move(message)); }


// Reads the entry of a raw block at pos into key and value and moves pos past it. Lengths below 128
// take one byte; they are read inline, the rest by the general reader.
inline Result<void> read_entry(std::string_view raw, std::size_t& pos, std::string_view& key, std::string_view& value) {
  auto length = [&raw](std::size_t& at) -> Result<std::uint64_t> {
    if (at < raw.size() && static_cast<unsigned char>(raw[at]) < 0x80) return static_cast<unsigned char>(raw[at++]);
    return util::get_varint(raw, at);
  };
  const std::uint64_t key_len = TRY(length(pos));
  const std::uint64_t value_len = TRY(length(pos));
  if (key_len > raw.size() - pos || value_len > raw.size() - pos - key_len)
    return fail(format_error("entry out of bounds"));
  key = raw.substr(pos, key_len);
  value = raw.substr(pos + key_len, value_len);
  pos += key_len + value_len;
  return {};
}

// An empty block for stored that the cache did not admit: one of the thread's own, which no one
// else holds any more, when it has room, so that lookup after lookup decodes into the same memory.
// A block still held (by the version a lookup found in it) is left to its holder and replaced. A
// thread keeps no block larger than kSpareBytesKept, so that one large block read once does not
// stay with it.
Result<CachedBlock> spare_block(std::string_view stored) {
  constexpr std::size_t kSpares = 2;
  constexpr std::size_t kSpareBytesKept = std::size_t{1} << 20;
  thread_local CachedBlock spares[kSpares];
  for (CachedBlock& spare : spares) {
    if (spare == nullptr || spare.use_count() != 1) continue;
    // The last other holder let go of it with release order: its reads come before these writes.
    std::atomic_thread_fence(std::memory_order_acquire);
    if (TRY(spare->renew(stored))) return spare;
  }
  CachedBlock fresh = TRY(DecodedBlock::compressed(stored));
  if (fresh->size() > kSpareBytesKept) return fresh;
  CachedBlock* replaced = &spares[0];
  for (CachedBlock& spare : spares) {
    if (spare == nullptr || spare.use_count() != 1) {
      replaced = &spare;
      break;
    }
  }
  *replaced = fresh;
  return fresh;
}

// How much a point lookup decodes of a block at a time, beyond what the entry it reads needs.
constexpr std::size_t kLookupDecodeStep = 1024;

// Where the entry at pos of a block's decoded part ends, when its two lengths can be read there, or
// past the part's end when they are cut off, so that the caller decodes more; the part's end when
// the lengths are malformed (read_entry then reports it). Lengths beyond any block count as reaching
// past it: decoding the whole block then shows the entry out of bounds.
inline std::size_t entry_end(std::string_view part, std::size_t pos) {
  const auto* p = reinterpret_cast<const unsigned char*>(part.data());
  const std::size_t n = part.size();
  if (pos + 2 <= n && p[pos] < 0x80 && p[pos + 1] < 0x80) return pos + 2 + p[pos] + p[pos + 1];
  constexpr std::uint64_t kBeyondAnyBlock = std::uint64_t{1} << 40;
  std::size_t at = pos;
  std::uint64_t total = 0;
  for (int field = 0; field < 2; ++field) {
    std::uint64_t value = 0;
    for (int shift = 0;; shift += 7) {
      if (at == n) return n + 1;  // cut off, or nothing more decoded yet
      if (shift > 63) return n;   // malformed
      const unsigned char b = p[at++];
      value |= static_cast<std::uint64_t>(b & 0x7F) << shift;
      if (b < 0x80) break;
    }
    total += std::min(value, kBeyondAnyBlock);
  }
  return at + static_cast<std::size_t>(total);
}

// The 8 bytes of a block's key that its marks hold: those after the block's common prefix of
// `skip` bytes (see SsTableReader::block_skips_), big-endian, zero-padded. A key shorter than skip
// lies in no well-formed block; it holds none.
std::uint64_t mark_prefix(std::string_view key, std::size_t skip) {
  return key.size() >= skip ? util::load_prefix_u64_be(key.substr(skip)) : 0;
}

// How many of the first `noted` marks of block lie below user_key ‖ 0x00, which a walk for user_key
// may skip. Every key of the block begins with common, whose length is the block's skip.
Result<std::size_t> marks_below(const DecodedBlock& block, std::size_t noted, std::string_view user_key,
                                std::string_view common) {
  // Where user_key ‖ 0x00 differs from the common prefix, every key of the block lies on the same
  // side of it; where it is a prefix of it (user_key is shorter), it lies below them all.
  const std::size_t skip = common.size();
  const std::size_t n = std::min(user_key.size(), skip);
  const int c = n == 0 ? 0 : std::memcmp(user_key.data(), common.data(), n);
  if (c != 0) return c < 0 ? 0 : noted;
  if (user_key.size() < skip) return 0;
  // The prefix of the rest of k ‖ 0x00 is that of the rest of k: the zero byte falls in the padding
  // or past 8 bytes.
  const std::uint64_t search_prefix = util::load_prefix_u64_be(user_key.substr(skip));
  std::size_t lo = 0;
  std::size_t hi = noted;
  while (lo < hi) {
    const std::size_t mid = lo + (hi - lo) / 2;
    const DecodedBlock::Mark m = block.mark(mid);
    bool below = m.key_prefix < search_prefix;
    if (m.key_prefix == search_prefix) {
      // Marked entries are decoded whole and never change.
      std::size_t at = m.offset;
      std::string_view key;
      std::string_view value;
      TRY(read_entry(block.bytes(), at, key, value));
      below = ledger::compare_with_suffix(key, user_key, '\0') < 0;
    }
    if (below) {
      lo = mid + 1;
    } else {
      hi = mid;
    }
  }
  return lo;
}

// Calls fn(key, value) for the entries of a raw block in order while it answers true. Answers
// whether the walk reached the end of the block.
template <typename Fn>
Result<bool> walk_block(std::string_view raw, Fn&& fn) {
  std::size_t pos = 0;
  std::string_view key;
  std::string_view value;
  while (pos < raw.size()) {
    TRY(read_entry(raw, pos, key, value));
    const bool go_on = TRY(fn(key, value));
    if (!go_on) return false;
  }
  return true;
}

// Decompresses the stored bytes of a version-2 block into out, whole, with the reference decoder.
Result<void> decompress_block(std::string_view stored, std::string& out) {
  const std::uint32_t raw_len = TRY(lz4_raw_length(stored));
  const std::string_view compressed = stored.substr(kBlockRawLengthBytes);
  int produced = 0;
  out.resize_and_overwrite(raw_len, [&](char* p, std::size_t) {
    produced = LZ4_decompress_safe(compressed.data(), p, static_cast<int>(compressed.size()), static_cast<int>(raw_len));
    return produced < 0 ? 0 : static_cast<std::size_t>(produced);
  });
  if (produced < 0) return fail(lz4_malformed(raw_len));
  return {};
}

}  // namespace

Result<std::vector<IndexEntry>> parse_index_block(std::string_view block) {
  if (block.size() < 4) return fail(format_error("index block too short"));
  const std::uint32_t count = util::load_u32_le(block.data());
  std::vector<IndexEntry> entries;
  // Each entry takes at least 13 bytes, which bounds what a damaged count can make us reserve.
  entries.reserve(std::min<std::size_t>(count, (block.size() - 4) / (1 + kIndexEntryFixedBytes)));
  std::size_t pos = 4;
  for (std::uint32_t i = 0; i < count; ++i) {
    const std::uint64_t key_len = TRY(util::get_varint(block, pos));
    if (key_len > block.size() - pos || kIndexEntryFixedBytes > block.size() - pos - key_len)
      return fail(format_error("index entry out of range"));
    const std::string_view key = block.substr(pos, key_len);
    pos += key_len;
    entries.push_back({key, util::load_u64_le(block.data() + pos), util::load_u32_le(block.data() + pos + 8)});
    pos += kIndexEntryFixedBytes;
  }
  return entries;
}

Result<SsTableReader> SsTableReader::open(std::string path) {
  SsTableReader r;
  r.map_ = TRY(util::MappedFile::open(path));
  const std::string_view data = r.map_.data();
  const std::size_t len = data.size();
  if (len < kMinTableBytes) return fail(format_error("sstable too short"));
  if (util::load_u32_le(data.data()) != kTableMagic) return fail(format_error("sstable bad magic"));
  const std::uint32_t version = util::load_u32_le(data.data() + 4);
  if (version != kTableFormatVersion && version != kTableFormatVersionRaw)
    return fail(format_error("unsupported SSTable version: " + std::to_string(version)));
  if (util::load_u32_le(data.data() + len - 4) != kTableFooterMagic) return fail(format_error("footer magic mismatch"));
  const std::uint64_t index_offset = util::load_u64_le(data.data() + len - kTableFooterBytes);
  const std::uint64_t bloom_offset = util::load_u64_le(data.data() + len - kTableFooterBytes + 8);
  const std::size_t footer_at = len - kTableFooterBytes;
  if (index_offset >= bloom_offset || bloom_offset > footer_at) return fail(format_error("footer offsets out of range"));
  r.index_ = TRY(parse_index_block(data.substr(index_offset, bloom_offset - index_offset)));
  r.index_prefixes_.reserve(r.index_.size());
  for (const IndexEntry& e : r.index_) r.index_prefixes_.push_back(util::load_prefix_u64_be(e.last_key));
  r.block_skips_.reserve(r.index_.size());
  for (std::size_t i = 0; i < r.index_.size(); ++i) {
    std::size_t skip = 0;
    if (i > 0) {
      const std::string_view before = r.index_[i - 1].last_key;
      const std::string_view last = r.index_[i].last_key;
      const std::size_t n = std::min(before.size(), last.size());
      while (skip < n && before[skip] == last[skip]) ++skip;
    }
    r.block_skips_.push_back(static_cast<std::uint32_t>(skip));
  }
  std::optional<BloomFilter> bloom = BloomFilter::decode(data.substr(bloom_offset, footer_at - bloom_offset));
  if (!bloom) return fail(format_error("invalid bloom block encoding"));
  r.bloom_ = std::move(*bloom);
  r.block_bytes_ = util::load_u32_le(data.data() + 8);
  r.version_ = version;
  r.path_ = std::move(path);
  r.cache_id_ = g_next_cache_id.fetch_add(1, std::memory_order_relaxed);
  return r;
}

bool SsTableReader::block_in_file(const IndexEntry& e) const {
  const std::uint64_t len = map_.size();
  return e.offset <= len && kBlockLengthBytes <= len - e.offset && e.size <= len - e.offset - kBlockLengthBytes;
}

Result<std::string_view> SsTableReader::raw_block(const IndexEntry& e, std::string& scratch) const {
  const std::string_view stored = map_.data().substr(e.offset + kBlockLengthBytes, e.size);
  if (version_ == kTableFormatVersionRaw) return stored;
  TRY(decompress_block(stored, scratch));
  return std::string_view(scratch);
}

Result<std::string> SsTableReader::read_block_data(std::uint64_t offset, std::uint32_t size) const {
  const IndexEntry e{{}, offset, size};
  if (!block_in_file(e)) return fail(format_error("index offset out of range"));
  std::string out;
  const std::string_view raw = TRY(raw_block(e, out));
  // Version-1 blocks are copied out of the mapping: cached blocks must outlive the reader.
  if (raw.data() != out.data()) out.assign(raw);
  return out;
}

Result<CachedBlock> SsTableReader::cached_block(const IndexEntry& e, BlockCache& cache) const {
  if (CachedBlock hit = cache.get(cache_id_, e.offset)) {
    if (version_ != kTableFormatVersionRaw) TRY(hit->decode_all(stored_block(e)));
    return hit;
  }
  auto block = std::make_shared<DecodedBlock>(TRY(read_block_data(e.offset, e.size)));
  return cache.insert(cache_id_, e.offset, std::move(block));
}

Result<CachedBlock> SsTableReader::lookup_block(const IndexEntry& e, BlockCache& cache) const {
  // On a miss the stored bytes are read next; their first line is fetched while the cache looks.
  __builtin_prefetch(map_.data().data() + e.offset + kBlockLengthBytes);
  if (CachedBlock hit = cache.get(cache_id_, e.offset)) return hit;
  if (version_ == kTableFormatVersionRaw) {
    // Raw blocks are copied out of the mapping whole: cached blocks must outlive the reader.
    auto block = std::make_shared<DecodedBlock>(TRY(read_block_data(e.offset, e.size)));
    if (!cache.admit(cache_id_, e.offset, block->size())) return block;
    return cache.insert(cache_id_, e.offset, std::move(block));
  }
  const std::string_view stored = stored_block(e);
  if (!cache.admit(cache_id_, e.offset, TRY(lz4_raw_length(stored)))) return spare_block(stored);
  return cache.insert(cache_id_, e.offset, TRY(DecodedBlock::compressed(stored)));
}

std::string_view SsTableReader::stored_block(const IndexEntry& e) const {
  return map_.data().substr(e.offset + kBlockLengthBytes, e.size);
}

std::size_t SsTableReader::first_block_for(std::string_view user_key, std::size_t from) const {
  // The prefix of k ‖ 0x00 is that of k: the zero byte falls in the padding or past 8 bytes.
  const std::uint64_t search_prefix = util::load_prefix_u64_be(user_key);
  auto below = [&](std::size_t i) {
    const std::uint64_t p = index_prefixes_[i];
    return p != search_prefix ? p < search_prefix : ledger::compare_with_suffix(index_[i].last_key, user_key, '\0') < 0;
  };
  std::size_t lo = std::min(from, index_.size());
  std::size_t hi = index_.size();
  if (lo > 0) {
    // Galloping from a recent answer, whose neighbourhood the caller's last lookups just read: the
    // answer is lo, or lies in (lo, hi] below the first probe that is not below the key.
    if (lo == hi || !below(lo)) return lo;
    for (std::size_t step = 1;; step *= 2) {
      const std::size_t probe = lo + step;
      if (probe >= hi || !below(probe)) {
        ++lo;
        hi = std::min(probe, hi);
        break;
      }
      lo = probe;
    }
  }
  while (lo < hi) {
    const std::size_t mid = lo + (hi - lo) / 2;
    if (below(mid)) {
      lo = mid + 1;
    } else {
      hi = mid;
    }
  }
  return lo;
}

Result<TableLookup> SsTableReader::get_visible(std::string_view user_key, std::uint64_t snapshot,
                                               std::optional<std::uint64_t> valid_at, const Hasher& hasher,
                                               BlockCache& cache, const IndexCache&) const {
  return get_visible(user_key, BloomProbe::of(user_key, hasher), snapshot, valid_at, cache);
}

Result<TableLookup> SsTableReader::get_visible(std::string_view user_key, const BloomProbe& probe,
                                               std::uint64_t snapshot, std::optional<std::uint64_t> valid_at,
                                               BlockCache& cache) const {
  TableProbe found = TRY(probe_visible(user_key, probe, snapshot, valid_at, cache));
  TableLookup out{found.bloom_hit, found.sstable_block, std::nullopt};
  if (found.version) out.found = ledger::VisibleVersion{found.version->commit_ts, std::string(found.version->doc)};
  return out;
}

Result<TableProbe> SsTableReader::probe_visible(std::string_view user_key, const BloomProbe& probe,
                                                std::uint64_t snapshot, std::optional<std::uint64_t> valid_at,
                                                BlockCache& cache, ProbeHint* hint) const {
  TableProbe out;
  if (!bloom_.may_contain(probe)) return out;
  out.bloom_hit = true;

  // Every version of user_key lies in [k ‖ 0x00, k ‖ 0x01), oldest first, but so do those of longer
  // user keys that begin with k ‖ 0x00; they are skipped by comparing the decoded user key.
  const std::size_t first = first_block_for(user_key, hint ? hint->from_block : 0);
  if (hint) hint->from_block = first;
  if (first == index_.size() || !block_in_file(index_[first])) return out;
  out.sstable_block = static_cast<std::uint64_t>(first);
  // Versions at or below the snapshot have internal keys <= k ‖ 0x00 ‖ snapshot ‖ 0xff; past the
  // first block whose last key is above that there are none. Blocks are read back from there, and
  // the first one holding a visible version holds the newest: a key's older versions lie in
  // earlier blocks, so a key with many versions costs the blocks of its newest ones only.
  // Built on the stack for keys of common lengths, so that a lookup allocates nothing of its own.
  constexpr std::size_t kBoundOnStack = 256;
  char bound_on_stack[kBoundOnStack];
  std::string long_bound;
  const std::size_t bound_size = user_key.size() + ledger::kInternalKeySuffixBytes;
  char* b = bound_on_stack;
  if (bound_size > kBoundOnStack) {
    long_bound.resize(bound_size);
    b = long_bound.data();
  }
  if (!user_key.empty()) std::memcpy(b, user_key.data(), user_key.size());
  b[user_key.size()] = '\0';
  for (int i = 0; i < 8; ++i) b[user_key.size() + 1 + i] = static_cast<char>((snapshot >> (56 - 8 * i)) & 0xff);
  b[user_key.size() + 9] = '\xff';
  const std::string_view bound(b, bound_size);
  // Galloping from first: most keys end in their first block or the next.
  const std::size_t n = index_.size();
  std::size_t lo = first;
  std::size_t hi = first;
  for (std::size_t step = 1; hi < n && index_[hi].last_key <= bound; step *= 2) {
    lo = hi + 1;
    hi = lo + step;
  }
  hi = std::min(hi, n);
  const std::size_t last =
      std::min(static_cast<std::size_t>(std::partition_point(index_.begin() + static_cast<std::ptrdiff_t>(lo),
                                                             index_.begin() + static_cast<std::ptrdiff_t>(hi),
                                                             [&](const IndexEntry& e) { return e.last_key <= bound; }) -
                                        index_.begin()),
               n - 1);
  // A block lying outside the file ends the file for the lookup: the walk starts before it.
  std::size_t end = first + 1;
  while (end <= last && block_in_file(index_[end])) ++end;
  std::uint64_t best_ts = 0;
  std::string_view best_doc;
  CachedBlock best_block;  // keeps best_doc alive
  CachedBlock block;
  const std::size_t k = user_key.size();
  // The prefix of k ‖ 0x00 is that of k: the zero byte falls in the padding or past 8 bytes.
  const std::uint64_t search_prefix = util::load_prefix_u64_be(user_key);
  auto visit = [&](std::string_view key, std::string_view value) -> Result<bool> {
    // Every key walked must decode; the check is inlined and the decoder called only for its error.
    if (key.size() < ledger::kInternalKeySuffixBytes || key[key.size() - ledger::kInternalKeySuffixBytes] != '\0')
      return fail(ledger::decode_internal_key_view(key).error());
    // Most keys walked lie below k ‖ 0x00, which their first 8 bytes already show.
    if (util::load_u64_be(key.data()) < search_prefix) return true;
    // One comparison answers both questions: is key >= k ‖ 0x01 (the walk is past user_key), and
    // is key's user key exactly user_key (it starts with it and is k + 10 bytes long).
    const int c = k == 0 ? 0 : std::memcmp(key.data(), user_key.data(), std::min(key.size(), k));
    if (c > 0 || (c == 0 && key.size() > k && key[k] != '\0')) return false;
    if (c != 0 || key.size() != k + ledger::kInternalKeySuffixBytes) return true;
    const std::uint64_t ts = util::load_u64_be(key.data() + k + 1);
    if (ts > snapshot) return false;  // so are the versions after it
    const ledger::FactValueView fv = TRY(ledger::read_fact_value(value));
    if (fv.visible_at(valid_at) && (best_block == nullptr || ts > best_ts)) {
      best_ts = ts;
      best_doc = fv.doc;
      if (best_block != block) best_block = block;
    }
    return true;
  };
  for (std::size_t i = end; i-- > first && best_block == nullptr;) {
    if (hint && hint->held != nullptr && hint->held_at == i) {
      block = std::move(hint->held);
    } else {
      block = TRY(lookup_block(index_[i], cache));
    }
    // The walk starts at the block's last mark below the key and notes marks beyond the last one
    // as it passes them. The block is walked as far as it is decoded, and decoded further while the
    // walk needs more.
    const std::string_view stored = stored_block(index_[i]);
    const std::size_t skip = block_skips_[i];
    const std::size_t noted = block->mark_count();
    const std::size_t below =
        TRY(marks_below(*block, noted, user_key, std::string_view(index_[i].last_key).substr(0, skip)));
    std::size_t pos = below == 0 ? 0 : block->mark(below - 1).offset;
    std::size_t next_mark = below == noted ? noted : SIZE_MAX;  // SIZE_MAX: note none
    std::size_t mark_base = pos;
    DecodedBlock::Extension extension;  // taken when the walk first needs more of the block
    DecodedBlock::Part part = block->part();
    for (;;) {
      // The walk reads a block that has mostly left the processor's caches: ask for what lies ahead.
      __builtin_prefetch(part.bytes.data() + pos + 512);
      const std::size_t entry_stop = entry_end(part.bytes, pos);
      if (entry_stop > part.bytes.size() && !part.whole) {
        if (!extension) extension = block->extend(stored);
        TRY(extension.decode_until(std::max(entry_stop, part.bytes.size() + kLookupDecodeStep)));
        part = block->part();
        continue;
      }
      if (pos == part.bytes.size()) break;  // the whole block, walked
      const std::size_t at = pos;
      std::string_view key;
      std::string_view value;
      TRY(read_entry(part.bytes, pos, key, value));
      if (next_mark != SIZE_MAX && at >= mark_base + DecodedBlock::kMarkSpacing) {
        block->note_mark(next_mark++, {static_cast<std::uint32_t>(at), mark_prefix(key, skip)});
        mark_base = at;
      }
      if (!TRY(visit(key, value))) break;
    }
    if (hint) {
      hint->held = std::move(block);
      hint->held_at = i;
    }
  }
  if (best_block != nullptr) out.version = PinnedVersion{best_ts, best_doc, std::move(best_block)};
  return out;
}

Result<bool> walk_block_entries(std::string_view raw, EntryVisitor visit) { return walk_block(raw, visit); }

Result<void> SsTableReader::for_each_entry(std::string_view lower, BlockCache* cache, EntryVisitor visit) const {
  auto it = index_.begin();
  if (!lower.empty())
    it = std::partition_point(index_.begin(), index_.end(), [&](const IndexEntry& e) { return e.last_key < lower; });
  std::string scratch;
  bool below_lower = !lower.empty();
  bool stopped = false;
  auto step = [&](std::string_view key, std::string_view value) -> Result<bool> {
    if (below_lower) {
      if (key < lower) return true;
      below_lower = false;
    }
    const bool go_on = TRY(visit(key, value));
    stopped = !go_on;
    return go_on;
  };
  for (; it != index_.end() && !stopped; ++it) {
    if (!block_in_file(*it)) return fail(format_error("index offset out of range"));
    if (cache != nullptr) {
      const CachedBlock block = TRY(cached_block(*it, *cache));
      TRY(walk_block(block->bytes(), step));
    } else {
      const std::string_view raw = TRY(raw_block(*it, scratch));
      TRY(walk_block(raw, step));
    }
  }
  return {};
}

SsTableReader::PrefixWalk SsTableReader::walk_prefix(std::string_view prefix, std::uint64_t snapshot,
                                                     std::optional<std::uint64_t> valid_at, BlockCache* cache) const {
  std::size_t first = 0;
  if (!prefix.empty())
    first = static_cast<std::size_t>(
        std::partition_point(index_.begin(), index_.end(), [&](const IndexEntry& e) { return e.last_key < prefix; }) -
        index_.begin());
  return PrefixWalk(*this, first, prefix, snapshot, valid_at, cache);
}

SsTableReader::PrefixWalk::PrefixWalk(const SsTableReader& reader, std::size_t first_block, std::string_view prefix,
                                      std::uint64_t snapshot, std::optional<std::uint64_t> valid_at, BlockCache* cache)
    : reader_(&reader),
      cache_(cache),
      next_block_(first_block),
      prefix_(prefix),
      upper_(ledger::prefix_upper_bound(prefix)),
      snapshot_(snapshot),
      valid_at_(valid_at),
      below_prefix_(!prefix.empty()) {}

Result<bool> SsTableReader::PrefixWalk::load_next_block(bool keep) {
  const std::vector<IndexEntry>& index = reader_->index_;
  if (next_block_ == index.size()) return false;
  const IndexEntry& e = index[next_block_++];
  if (!reader_->block_in_file(e)) return fail(format_error("index offset out of range"));
  if (keep) current_ ^= 1;
  Slot& slot = slots_[current_];
  slot.cached.reset();
  pos_ = 0;
  if (cache_ != nullptr) {
    // Only a whole block serves; point lookups may have left a part of one.
    if (CachedBlock hit = cache_->get(reader_->cache_id_, e.offset)) {
      if (const DecodedBlock::Part part = hit->part(); part.whole) {
        slot.cached = std::move(hit);
        raw_ = part.bytes;
        return true;
      }
    }
  }
  const std::string_view stored = reader_->stored_block(e);
  if (reader_->version_ == kTableFormatVersionRaw) {
    raw_ = stored;
    return true;
  }
  TRY(decompress_block(stored, slot.own));
  raw_ = slot.own;
  return true;
}

Result<bool> SsTableReader::PrefixWalk::next(bool keep) {
  if (done_) return false;
  std::string_view key;
  std::string_view value;
  for (;;) {
    if (pos_ == raw_.size()) {
      if (!TRY(load_next_block(keep))) break;
      keep = false;  // only the block of the version current at the call needs keeping
      continue;
    }
    TRY(read_entry(raw_, pos_, key, value));
    if (below_prefix_) {
      if (key < prefix_) continue;
      below_prefix_ = false;
    }
    if (upper_ && key >= *upper_) break;  // past every key under the prefix
    if (TRY(ledger::visible_in_prefix(key, value, prefix_, snapshot_, valid_at_, view_))) return true;
  }
  // The slots stay as they are: a kept block must outlive this call.
  done_ = true;
  raw_ = {};
  pos_ = 0;
  return false;
}

Result<std::vector<std::pair<std::string, std::string>>> SsTableReader::iter_all_entries() const {
  std::vector<std::pair<std::string, std::string>> out;
  TRY(for_each_entry({}, nullptr, [&](std::string_view key, std::string_view value) -> Result<bool> {
    out.emplace_back(key, value);
    return true;
  }));
  return out;
}

}  // namespace quenlordb::storage
