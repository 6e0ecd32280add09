// Reads a table file (layout in storage/sstable_writer.h) through a read-only mapping of the whole
// file. The frame, the block index and the bloom filter are checked and parsed once by open; after
// that a reader never changes, so any number of threads may run lookups and walks on it at once
// without locking. Index keys point into the mapping: they live as long as the reader does. The
// level set owns the readers; a caller holds the shard's level-set read lock while it uses one.
//
// Every offset and length read from the file is distrusted: a corrupt file gives an error, never a
// read outside the mapping.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "error.h"
#include "hasher.h"
#include "storage/block_cache.h"
#include "storage/bloom.h"
#include "ledger/visible.h"
#include "util/file.h"
#include "util/function_ref.h"

namespace quenlordb::storage {

// One data block as the index describes it. last_key is a view into the bytes the index was parsed
// from (for a reader, its mapping).
struct IndexEntry {
  std::string_view last_key;  // internal key of the block's final entry
  std::uint64_t offset;       // file offset of the block's 4-byte stored length
  std::uint32_t size;         // stored length S, not counting that field

  friend bool operator==(const IndexEntry&, const IndexEntry&) = default;
};

// Parses an index block: SstableFormat "index block too short" or "index entry out of range", or
// InvalidVarint when an entry's key length is missing or malformed. Bytes after the last entry are
// ignored.
Result<std::vector<IndexEntry>> parse_index_block(std::string_view block);

// The result of a point lookup in one file.
struct TableLookup {
  bool bloom_hit = false;                             // false: the bloom filter ruled the key out
  std::optional<std::uint64_t> sstable_block;          // index position of the first block examined
  std::optional<ledger::VisibleVersion> found;         // the newest visible version

  friend bool operator==(const TableLookup&, const TableLookup&) = default;
};

// A version a point lookup found, read in place: doc points into block, which the probe holds.
struct PinnedVersion {
  std::uint64_t commit_ts = 0;
  std::string_view doc;
  CachedBlock block;
};

// What a caller looking keys up in one file in ascending order carries from one lookup to the
// next (SsTableReader::probe_visible): the first block of the last key, from which the search for
// the next key's starts, and the last block a lookup read, held so that the next lookup reading
// the same block takes it without asking the cache. Starts empty; for one file only.
struct ProbeHint {
  std::size_t from_block = 0;
  std::size_t held_at = 0;  // the index position of held
  CachedBlock held;
};

// A point lookup's result with the version found held in place (see TableLookup).
struct TableProbe {
  bool bloom_hit = false;
  std::optional<std::uint64_t> sstable_block;
  std::optional<PinnedVersion> version;
};

// A callable (internal key, stored value) -> Result<bool>, true to go on, referenced for the call
// it is passed to. The views are valid only during the call.
using EntryVisitor = util::FunctionRef<Result<bool>(std::string_view, std::string_view)>;

// Calls visit for each entry of a raw (decompressed) block, in order, while it answers true; answers
// whether the walk reached the end of the block. Lengths that are malformed are InvalidVarint, ones
// that run past the block SstableFormat "entry out of bounds". For callers that walk files block by
// block themselves (the k-way merge of compaction).
Result<bool> walk_block_entries(std::string_view raw, EntryVisitor visit);

class SsTableReader {
 public:
  // Maps the file and checks, in order: size at least 32 ("sstable too short"), header magic
  // ("sstable bad magic"), version 1 or 2 ("unsupported SSTable version: {}"), footer magic
  // ("footer magic mismatch"), index_offset < bloom_offset <= length - 20 ("footer offsets out of
  // range"), the index block, the bloom block ("invalid bloom block encoding"). Failing to open or
  // map the file is an Io error.
  static Result<SsTableReader> open(std::string path);

  SsTableReader(SsTableReader&&) noexcept = default;
  SsTableReader& operator=(SsTableReader&&) noexcept = default;
  SsTableReader(const SsTableReader&) = delete;
  SsTableReader& operator=(const SsTableReader&) = delete;

  const std::string& path() const { return path_; }
  std::uint64_t file_size() const { return map_.size(); }
  std::uint32_t version() const { return version_; }
  std::uint32_t block_bytes() const { return block_bytes_; }  // as recorded; reads do not use it
  // Block index in file order; index().back().last_key is the file's largest internal key.
  const std::vector<IndexEntry>& index() const { return index_; }
  const BloomFilter& bloom() const { return bloom_; }
  // Names this reader's blocks in the block cache; unique among the readers of the process.
  std::uint64_t cache_id() const { return cache_id_; }

  // The raw (decompressed) bytes of the block whose stored length field is at offset: SstableFormat
  // "index offset out of range" when the block lies outside the file, "LZ4 decompress error: {}"
  // when a version-2 block does not decompress into at most its recorded raw length.
  Result<std::string> read_block_data(std::uint64_t offset, std::uint32_t size) const;

  // The newest version of user_key with commit_ts <= snapshot that is valid at valid_at. A key the
  // bloom filter rules out reads no block. Blocks come from the cache, or are read on a miss and
  // inserted when the cache admits them (storage/block_cache.h); they are read from the newest
  // version at or below the snapshot backwards, and no further once one holds a visible version, so
  // older versions cost nothing. A block lying outside the file ends the file for the lookup. sstable_block is the first block of the key's range. The index
  // cache is accepted and not consulted.
  Result<TableLookup> get_visible(std::string_view user_key, std::uint64_t snapshot,
                                  std::optional<std::uint64_t> valid_at, const Hasher& hasher, BlockCache& cache,
                                  const IndexCache& index_cache) const;
  // The same with the key's bloom hashes computed once by the caller (for probing many files).
  Result<TableLookup> get_visible(std::string_view user_key, const BloomProbe& probe, std::uint64_t snapshot,
                                  std::optional<std::uint64_t> valid_at, BlockCache& cache) const;
  // The same, the version found read in place rather than copied. A version-2 block is
  // decompressed only as far as the lookup walks it (storage/decoded_block.h), so damage further
  // on in the block goes unnoticed.
  // hint, when given, is what the lookups of keys not above user_key in this file left (see
  // ProbeHint); the lookup updates it.
  Result<TableProbe> probe_visible(std::string_view user_key, const BloomProbe& probe, std::uint64_t snapshot,
                                   std::optional<std::uint64_t> valid_at, BlockCache& cache,
                                   ProbeHint* hint = nullptr) const;

  // Every entry of the file in file order, copied; reads every block, bypassing the cache. Keys are
  // not decoded. A block outside the file is SstableFormat "index offset out of range".
  Result<std::vector<std::pair<std::string, std::string>>> iter_all_entries() const;

  // Walks the entries whose internal key is >= lower in file order, without copying, until visit
  // answers false or fails (its error is returned). Blocks before the first one that can hold lower
  // are not read, so their damage goes unnoticed; an empty lower walks the whole file with the
  // errors of iter_all_entries. With a cache, blocks are taken from it and inserted on a miss;
  // without one, nothing is cached.
  Result<void> for_each_entry(std::string_view lower, BlockCache* cache, EntryVisitor visit) const;

  // Walks the visible versions under a prefix (ledger::visible_in_prefix of each entry) in file
  // order, from the first block that can hold the prefix to the first entry past it; the order is
  // that of Memtable::PrefixWalk. The errors are those of for_each_entry. A block found in the
  // cache is read from there; others are read from the file and not added, so that a long scan
  // does not push out the blocks of point reads. Views point into the walk's current block (or
  // into the mapping for uncompressed files); the prefix must outlive the walk, and the reader too.
  // A walk decompresses into two buffers of its own, which it reuses block after block.
  class PrefixWalk {
   public:
    PrefixWalk(PrefixWalk&&) noexcept = default;
    PrefixWalk& operator=(PrefixWalk&&) noexcept = default;

    // Moves to the next visible version; false at the end. An error ends the walk. The views of
    // the version current before the call end with the call unless keep is true: then they stay
    // valid until the next call (the block that holds them is set aside while the walk goes on).
    Result<bool> next(bool keep = false);
    const ledger::VisibleView& view() const { return view_; }

   private:
    friend class SsTableReader;
    PrefixWalk(const SsTableReader& reader, std::size_t first_block, std::string_view prefix,
               std::uint64_t snapshot, std::optional<std::uint64_t> valid_at, BlockCache* cache);
    // Makes the next block current; false after the last. With keep, the current block is set
    // aside and the next one takes the other slot.
    Result<bool> load_next_block(bool keep);

    // A block the walk holds: one from the cache, or one it decompressed.
    struct Slot {
      CachedBlock cached;
      std::string own;
    };

    const SsTableReader* reader_;
    BlockCache* cache_;
    std::size_t next_block_;
    Slot slots_[2];
    int current_ = 0;       // the slot of raw_, unless raw_ is a view into the mapping
    std::string_view raw_;  // the current block
    std::size_t pos_ = 0;   // of the next entry in raw_
    std::string_view prefix_;
    std::optional<std::string> upper_;  // entries from here on lie past the prefix
    std::uint64_t snapshot_;
    std::optional<std::uint64_t> valid_at_;
    bool below_prefix_;  // entries of the first block may lie below the prefix
    bool done_ = false;
    ledger::VisibleView view_{};
  };
  PrefixWalk walk_prefix(std::string_view prefix, std::uint64_t snapshot, std::optional<std::uint64_t> valid_at,
                         BlockCache* cache) const;

 private:
  SsTableReader() = default;
  bool block_in_file(const IndexEntry& e) const;
  // The raw bytes of a block known to lie in the file: a view into the mapping for version 1,
  // otherwise decompressed into scratch.
  Result<std::string_view> raw_block(const IndexEntry& e, std::string& scratch) const;
  // The whole block from the cache, or read and inserted.
  Result<CachedBlock> cached_block(const IndexEntry& e, BlockCache& cache) const;
  // The block from the cache, or one read on a miss and inserted when the cache admits it: for a
  // version-1 file the whole block, copied; for a version-2 file one with nothing decoded yet, which
  // when not admitted is one of the thread's own.
  Result<CachedBlock> lookup_block(const IndexEntry& e, BlockCache& cache) const;
  // The stored bytes of a block known to lie in the file.
  std::string_view stored_block(const IndexEntry& e) const;
  // The position of the first block whose last key is >= user_key ‖ 0x00 (the index's size when
  // none), known to be at or after from.
  std::size_t first_block_for(std::string_view user_key, std::size_t from = 0) const;

  std::string path_;
  util::MappedFile map_;
  std::vector<IndexEntry> index_;
  // util::load_prefix_u64_be of each block's last key: the index search compares these first.
  std::vector<std::uint64_t> index_prefixes_;
  // The length of the prefix every key of each block shares: that of the last keys of the block
  // before and of the block (a sorted block's keys lie between them); 0 for the first block. A
  // block's marks hold the 8 bytes of their keys that follow it.
  std::vector<std::uint32_t> block_skips_;
  BloomFilter bloom_;
  std::uint32_t block_bytes_ = 0;
  std::uint32_t version_ = 0;
  std::uint64_t cache_id_ = 0;
};

}  // namespace quenlordb::storage
