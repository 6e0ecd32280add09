#include "storage/block_cache.h"

#include <algorithm>
#include <bit>
#include <utility>

namespace quenlordb::storage {

namespace {

constexpr int kMinBucketBits = 4;

}  // namespace

std::uint32_t BlockCache::hash_of(const Key& key) {
  // Block offsets of one file differ in their middle bits and files by their ids: both are mixed
  // into the top bits, which choose the home bucket.
  std::uint64_t h = key.file_id * 0x9E3779B97F4A7C15ULL ^ key.offset;
  h ^= h >> 29;
  h *= 0xBF58476D1CE4E5B9ULL;
  h ^= h >> 32;
  return static_cast<std::uint32_t>(h);
}

BlockCache::Found BlockCache::find(const Key& key, std::uint32_t hash) const {
  const std::size_t mask = buckets_.size() - 1;
  for (std::size_t i = home(hash);; i = (i + 1) & mask) {
    const Bucket& b = buckets_[i];
    if (b.slot == kNone) return {i, false};
    if (b.hash == hash && slots_[b.slot].key == key) return {i, true};
  }
}

void BlockCache::erase_bucket(std::size_t at) {
  const std::size_t mask = buckets_.size() - 1;
  std::size_t hole = at;
  for (std::size_t j = (at + 1) & mask; buckets_[j].slot != kNone; j = (j + 1) & mask) {
    // The bucket at j stays unless the hole lies between its home and j (cyclically): then a search
    // from its home would stop at the hole.
    const std::size_t h = home(buckets_[j].hash);
    const bool stays = hole < j ? (hole < h && h <= j) : (hole < h || h <= j);
    if (!stays) {
      buckets_[hole] = buckets_[j];
      hole = j;
    }
  }
  buckets_[hole] = Bucket{};
}

void BlockCache::make_room() {
  if ((count_ + 1) * 2 <= buckets_.size()) return;
  const int bits = buckets_.empty() ? kMinBucketBits : 32 - home_shift_ + 1;
  std::vector<Bucket> old = std::exchange(buckets_, std::vector<Bucket>(std::size_t{1} << bits));
  home_shift_ = 32 - bits;
  const std::size_t mask = buckets_.size() - 1;
  for (const Bucket& b : old) {
    if (b.slot == kNone) continue;
    std::size_t i = home(b.hash);
    while (buckets_[i].slot != kNone) i = (i + 1) & mask;
    buckets_[i] = b;
  }
}

void BlockCache::unlink(std::uint32_t slot) {
  Link& l = links_[slot];
  (l.older != kNone ? links_[l.older].newer : oldest_) = l.newer;
  (l.newer != kNone ? links_[l.newer].older : newest_) = l.older;
  l = Link{};
}

void BlockCache::link_newest(std::uint32_t slot) {
  links_[slot] = Link{newest_, kNone};
  (newest_ != kNone ? links_[newest_].newer : oldest_) = slot;
  newest_ = slot;
}

void BlockCache::evict_oldest(CachedBlock& evicted) {
  const std::uint32_t victim = oldest_;
  Slot& slot = slots_[victim];
  erase_bucket(find(slot.key, hash_of(slot.key)).bucket);
  unlink(victim);
  used_bytes_ -= std::min(used_bytes_, slot.size);
  evicted = std::move(slot.block);
  free_slots_.push_back(victim);
  --count_;
}

CachedBlock BlockCache::get(std::uint64_t file_id, std::uint64_t offset) {
  const Key key{file_id, offset};
  const std::uint32_t hash = hash_of(key);
  std::lock_guard lock(mu_);
  if (count_ == 0) return nullptr;
  const Found found = find(key, hash);
  if (!found.present) return nullptr;
  const std::uint32_t slot = buckets_[found.bucket].slot;
  if (slot != newest_) {
    unlink(slot);
    link_newest(slot);
  }
  return slots_[slot].block;
}

CachedBlock BlockCache::insert(std::uint64_t file_id, std::uint64_t offset, CachedBlock block) {
  if (capacity_ == 0 || block == nullptr) return block;
  const Key key{file_id, offset};
  const std::uint32_t hash = hash_of(key);
  const std::uint64_t len = block->size();
  // Released once the mutex is: one block at a time is the rule, more only for a large newcomer.
  CachedBlock evicted;
  std::vector<CachedBlock> more_evicted;
  std::lock_guard lock(mu_);
  // Slot numbers are 32 bits; a cache that held that many blocks would take in no more.
  if (count_ >= kNone - 1) return block;
  if (count_ > 0) {
    if (const Found found = find(key, hash); found.present) return slots_[buckets_[found.bucket].slot].block;
  }
  // The new block is not in the recency order yet, so only older blocks make room for it.
  while (used_bytes_ + len > capacity_ && oldest_ != kNone) {
    if (evicted != nullptr) more_evicted.push_back(std::move(evicted));
    evict_oldest(evicted);
  }
  make_room();
  std::uint32_t slot;
  if (!free_slots_.empty()) {
    slot = free_slots_.back();
    free_slots_.pop_back();
  } else {
    slot = static_cast<std::uint32_t>(slots_.size());
    slots_.emplace_back();
    links_.emplace_back();
  }
  slots_[slot] = Slot{key, len, std::move(block)};
  buckets_[find(key, hash).bucket] = Bucket{slot, hash};
  link_newest(slot);
  ++count_;
  used_bytes_ += len;
  return slots_[slot].block;
}

bool BlockCache::admit(std::uint64_t file_id, std::uint64_t offset, std::uint64_t size) {
  if (capacity_ == 0) return false;
  // The record holds about 16 bits for every miss it keeps, so that few keys share a bit.
  constexpr std::size_t kBitsPerMiss = 16;
  constexpr std::size_t kMinMissesKept = 16;
  const std::uint32_t h = hash_of(Key{file_id, offset});
  std::lock_guard lock(mu_);
  if (used_bytes_ + size <= capacity_) return true;
  const std::size_t kept = std::max(count_ / 2, kMinMissesKept);
  if (misses_recorded_ >= kept || missed_.empty()) {
    missed_.assign(std::bit_ceil(kept * kBitsPerMiss) / 64, 0);
    misses_recorded_ = 0;
  }
  const std::size_t bit = static_cast<std::size_t>(h) & (missed_.size() * 64 - 1);
  std::uint64_t& word = missed_[bit / 64];
  const std::uint64_t mask = std::uint64_t{1} << (bit % 64);
  if ((word & mask) != 0) return true;
  word |= mask;
  ++misses_recorded_;
  return false;
}

std::uint64_t BlockCache::used_bytes() const {
  std::lock_guard lock(mu_);
  return used_bytes_;
}

std::size_t BlockCache::block_count() const {
  std::lock_guard lock(mu_);
  return count_;
}

}  // namespace quenlordb::storage
