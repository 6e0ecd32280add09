// The database's shared cache of decompressed table-file blocks, and the index cache holder.
//
// BlockCache keeps blocks by (file id, block offset) under a byte budget that counts block bytes
// only (each block its whole raw length, storage/decoded_block.h), evicting the least recently used
// first. One cache serves every shard; any thread may call it. Its mutex is the innermost lock of
// the engine: it is held only for the table and list updates, never while a block is read or
// decompressed, and nothing else is locked under it (a block evicted is released after it). Blocks
// are handed out shared; a block stays valid for its holder after eviction, and a point lookup may
// decode more of a cached block that holds only its first part.
//
// Every point lookup of a table file goes through the cache, so its own bookkeeping is kept in two
// small dense arrays, which stay in the processor's caches and address translations, rather than in
// map and list nodes spread over the heap: the hash table (a slot number and the key's hash per
// bucket, open addressing) and the recency links (two slot numbers per slot). The slots (key, size,
// block) are a third array, reused as blocks come and go.
//
// A lookup that misses asks admit() whether to cache the block it is about to decode. While the
// block fits beside what is cached the answer is yes; once caching it would evict another, only a
// block that was missed before, since the record of missed blocks was last cleared, is cached. The
// record is cleared after max(16, half the blocks cached) misses, so a block that is read again
// soon gets in on its second miss, and one read once (most of a database several times larger than
// the cache, read at random) does not push out a block that may be read again. A block not
// admitted is decoded into memory of the reader's own (storage/sstable_reader.cc), which stays in
// the processor's caches, where a new cache block is memory that left them long ago and costs the
// block it evicts. On the engine benchmark (a database four times the cache, read at random) the
// hit rate stays the same, about one lookup in four, and gets run about 1.4 times as fast.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "storage/decoded_block.h"

namespace quenlordb::storage {

using CachedBlock = std::shared_ptr<DecodedBlock>;

class BlockCache {
 public:
  explicit BlockCache(std::uint64_t capacity) : capacity_(capacity) {}
  BlockCache(const BlockCache&) = delete;
  BlockCache& operator=(const BlockCache&) = delete;

  // The cached block, now the most recently used; null on a miss (which changes nothing).
  CachedBlock get(std::uint64_t file_id, std::uint64_t offset);

  // Caches a non-null block unless the capacity is 0 or the key is already cached (the cached block
  // and its recency then stay as they are). Evicts from the least recently used end until the block
  // fits; a block larger than the capacity is stored alone after everything else is evicted.
  // Returns the block cached under the key: this one, or the one that was there (or this one when
  // nothing is cached).
  CachedBlock insert(std::uint64_t file_id, std::uint64_t offset, CachedBlock block);

  // Whether a lookup that missed (file_id, offset) should cache the block of size bytes it reads
  // (see above); records the miss. Never for a capacity of 0.
  bool admit(std::uint64_t file_id, std::uint64_t offset, std::uint64_t size);

  std::uint64_t capacity() const { return capacity_; }
  // Sum of the sizes of the cached blocks.
  std::uint64_t used_bytes() const;
  std::size_t block_count() const;

 private:
  struct Key {
    std::uint64_t file_id;
    std::uint64_t offset;
    friend bool operator==(const Key&, const Key&) = default;
  };
  static constexpr std::uint32_t kNone = UINT32_MAX;
  // A bucket of the table: the slot cached under a key whose hash is `hash`, or none. A key's home
  // bucket is given by the top bits of its hash.
  struct Bucket {
    std::uint32_t slot = kNone;
    std::uint32_t hash = 0;
  };
  // A cached block. Slots keep their number while the block is cached; a freed one is reused.
  struct Slot {
    Key key{};
    std::uint64_t size = 0;
    CachedBlock block;
  };
  // The neighbours of a cached slot in the recency order.
  struct Link {
    std::uint32_t older = kNone;
    std::uint32_t newer = kNone;
  };
  struct Found {
    std::size_t bucket;  // the key's bucket, or the empty one where it would go
    bool present;
  };

  static std::uint32_t hash_of(const Key& key);
  std::size_t home(std::uint32_t hash) const { return hash >> home_shift_; }
  Found find(const Key& key, std::uint32_t hash) const;
  // Empties bucket at, moving later buckets of its probe run back so that each stays reachable
  // from its home.
  void erase_bucket(std::size_t at);
  // Doubles the table when one more block would fill more than half of it.
  void make_room();
  void unlink(std::uint32_t slot);
  void link_newest(std::uint32_t slot);
  // Evicts the least recently used block, handing it to `evicted`.
  void evict_oldest(CachedBlock& evicted);

  const std::uint64_t capacity_;
  mutable std::mutex mu_;
  std::vector<Bucket> buckets_;  // empty, or a power of two in size and at most half full
  int home_shift_ = 32;          // 32 - log2(buckets_.size())
  std::vector<Slot> slots_;
  std::vector<Link> links_;             // links_[i] belongs to slots_[i]
  std::vector<std::uint32_t> free_slots_;  // freed slots, the last freed last
  std::size_t count_ = 0;
  std::uint32_t oldest_ = kNone;  // the least recently used, evicted first
  std::uint32_t newest_ = kNone;
  std::uint64_t used_bytes_ = 0;
  // The misses admit() recorded since it last cleared them: one bit per key hash (a key may share
  // its bit with another, which then counts as missed too).
  std::vector<std::uint64_t> missed_;
  std::size_t misses_recorded_ = 0;
};

// Sized by index_cache_entries and held by every shard beside the block cache. No read or write
// path stores anything in it, so it carries its capacity only.
class IndexCache {
 public:
  explicit IndexCache(std::uint64_t capacity_entries) : capacity_(capacity_entries) {}
  IndexCache(const IndexCache&) = delete;
  IndexCache& operator=(const IndexCache&) = delete;

  std::uint64_t capacity() const { return capacity_; }

 private:
  const std::uint64_t capacity_;
};

}  // namespace quenlordb::storage
