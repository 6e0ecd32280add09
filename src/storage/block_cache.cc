#include "storage/block_cache.h"

#include <algorithm>
#include <bit>
#include <vector>

namespace quenlordb::storage {

void BlockCache::unlink(Slot& slot) {
  (slot.older != nullptr ? slot.older->newer : oldest_) = slot.newer;
  (slot.newer != nullptr ? slot.newer->older : newest_) = slot.older;
  slot.older = slot.newer = nullptr;
}

void BlockCache::link_newest(Slot& slot) {
  slot.older = newest_;
  slot.newer = nullptr;
  (newest_ != nullptr ? newest_->newer : oldest_) = &slot;
  newest_ = &slot;
}

CachedBlock BlockCache::get(std::uint64_t file_id, std::uint64_t offset) {
  std::lock_guard lock(mu_);
  auto it = blocks_.find(Key{file_id, offset});
  if (it == blocks_.end()) return nullptr;
  Slot& slot = it->second;
  if (&slot != newest_) {
    unlink(slot);
    link_newest(slot);
  }
  return slot.block;
}

CachedBlock BlockCache::insert(std::uint64_t file_id, std::uint64_t offset, CachedBlock block) {
  if (capacity_ == 0 || block == nullptr) return block;
  const Key key{file_id, offset};
  const std::uint64_t len = block->size();
  std::vector<CachedBlock> evicted;  // released once the mutex is
  std::lock_guard lock(mu_);
  auto [it, added] = blocks_.try_emplace(key);
  if (!added) return it->second.block;  // the cached block and its recency stay
  // The new slot is not in the recency order yet, so only older blocks make room for it.
  while (used_bytes_ + len > capacity_ && oldest_ != nullptr) {
    Slot& victim = *oldest_;
    unlink(victim);
    used_bytes_ -= std::min<std::uint64_t>(used_bytes_, victim.block->size());
    evicted.push_back(std::move(victim.block));
    blocks_.erase(victim.key);
  }
  Slot& slot = it->second;
  slot.block = std::move(block);
  slot.key = key;
  link_newest(slot);
  used_bytes_ += len;
  return slot.block;
}

bool BlockCache::admit(std::uint64_t file_id, std::uint64_t offset, std::uint64_t size) {
  if (capacity_ == 0) return false;
  // The record holds about 16 bits for every miss it keeps, so that few keys share a bit.
  constexpr std::size_t kBitsPerMiss = 16;
  constexpr std::size_t kMinMissesKept = 16;
  std::uint64_t h = file_id * 0x9E3779B97F4A7C15ULL ^ offset;
  h ^= h >> 31;
  h *= 0xBF58476D1CE4E5B9ULL;
  h ^= h >> 29;
  std::lock_guard lock(mu_);
  if (used_bytes_ + size <= capacity_) return true;
  const std::size_t kept = std::max(blocks_.size() / 2, kMinMissesKept);
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
  return blocks_.size();
}

}  // namespace quenlordb::storage
