#include "storage/block_cache.h"

#include <algorithm>

namespace quenlordb::storage {

CachedBlock BlockCache::get(std::uint64_t file_id, std::uint64_t offset) {
  std::lock_guard lock(mu_);
  auto it = blocks_.find(Key{file_id, offset});
  if (it == blocks_.end()) return nullptr;
  lru_.splice(lru_.end(), lru_, it->second.recency);
  return it->second.block;
}

void BlockCache::insert(std::uint64_t file_id, std::uint64_t offset, CachedBlock block) {
  if (capacity_ == 0 || block == nullptr) return;
  const Key key{file_id, offset};
  const std::uint64_t len = block->size();
  std::lock_guard lock(mu_);
  if (blocks_.contains(key)) return;
  while (used_bytes_ + len > capacity_ && !lru_.empty()) {
    auto victim = blocks_.find(lru_.front());
    used_bytes_ -= std::min<std::uint64_t>(used_bytes_, victim->second.block->size());
    blocks_.erase(victim);
    lru_.pop_front();
  }
  lru_.push_back(key);
  blocks_.emplace(key, Slot{std::move(block), std::prev(lru_.end())});
  used_bytes_ += len;
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
