// Writes table files: immutable sorted runs of (internal key, encoded FactValue) entries, cut into
// LZ4-compressed blocks and followed by a block index, a bloom filter of the user keys and a footer.
// The caller picks the file name, hands the entries in strictly ascending key order (not checked:
// unsorted input gives a file whose lookups answer wrongly) and syncs the directory afterwards. The
// file's data is synced before the build reports success. A failed build leaves its partly written
// file on disk; the caller does not register it.
//
// File layout (all integers little-endian; no checksums):
//   section        position                      content
//   header         0, 12 bytes                   magic "QSTB" (u32 0x51535442), version u32 (2), block_bytes u32
//   data blocks    12.., back to back            u32 stored length S, then S stored bytes
//   index block    index_offset                  u32 block count N, then N index entries
//   bloom block    bloom_offset                  see storage/bloom.h; runs to the footer
//   footer         last 20 bytes                 index_offset u64, bloom_offset u64, magic "QSFT" (u32 0x51534654)
//
// Stored bytes of a data block:
//   version 2: u32 raw length U, then the U raw bytes compressed in the LZ4 block format (no frame)
//   version 1: the raw block itself (read, never written)
//
// Raw block: entries back to back, each varint key length K, varint value length V, K key bytes,
// V value bytes. A block takes entries while its raw length stays at or below block_bytes; the
// entry that would push it past starts the next block, and an entry larger than block_bytes sits
// alone in its block.
//
// Index entry: varint length of the block's last key, that key, u64 offset of the block's S field,
// u32 S.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "error.h"
#include "hasher.h"
#include "util/file.h"

namespace quenlordb::storage {

inline constexpr std::uint32_t kTableMagic = 0x51535442;        // "QSTB" on disk
inline constexpr std::uint32_t kTableFooterMagic = 0x51534654;  // "QSFT" on disk
inline constexpr std::uint32_t kTableFormatVersion = 2;         // compressed blocks
inline constexpr std::uint32_t kTableFormatVersionRaw = 1;      // uncompressed blocks, read only
inline constexpr std::size_t kTableHeaderBytes = 12;
inline constexpr std::size_t kTableFooterBytes = 20;
inline constexpr std::size_t kBlockLengthBytes = 4;       // the S field before each block
inline constexpr std::size_t kBlockRawLengthBytes = 4;    // the U field of a version-2 block
inline constexpr std::size_t kIndexEntryFixedBytes = 12;  // offset u64 + size u32
// The largest raw block the format carries: LZ4's input limit, which also keeps the stored length
// of a compressed block below 2^32. An entry that does not fit in a block of this size is refused.
inline constexpr std::uint64_t kMaxRawBlockBytes = 0x7E000000;

struct SsTableBuildResult {
  std::string path;
  std::uint64_t entry_count = 0;  // entries given, including those whose key did not decode
};

// Streams entries into one table file. Use: create, add every entry in order, finish. After any
// error the builder must be dropped. Owned by one thread; move-only.
class SsTableBuilder {
 public:
  // Creates the file with mode 0666 before the umask. An existing file is never replaced: when path
  // exists the create fails with Io EEXIST and the file is left as it was. block_bytes is the
  // sstable_block_bytes setting, bits_per_key the bloom_bits_per_key setting. The hasher must
  // outlive the builder.
  static Result<SsTableBuilder> create(std::string path, std::uint64_t block_bytes, std::uint64_t bits_per_key,
                                       const Hasher& hasher);

  SsTableBuilder(SsTableBuilder&&) noexcept;
  SsTableBuilder& operator=(SsTableBuilder&&) noexcept;
  SsTableBuilder(const SsTableBuilder&) = delete;
  SsTableBuilder& operator=(const SsTableBuilder&) = delete;
  ~SsTableBuilder();

  // Appends one entry; key is an internal key (one that does not decode is written but left out of
  // the bloom filter). An entry too large for a block of the format fails with Io EFBIG before
  // anything of it is written.
  Result<void> add(std::string_view key, std::string_view value);

  // Writes the last block, the index, the bloom block and the footer, then data-syncs the file.
  Result<SsTableBuildResult> finish();

  std::uint64_t entry_count() const { return entry_count_; }

 private:
  SsTableBuilder() = default;
  Result<void> finish_block();
  Result<void> flush_output();

  util::File file_;
  std::uint64_t block_bytes_ = 0;
  std::uint64_t bits_per_key_ = 0;
  const Hasher* hasher_ = nullptr;
  std::unique_ptr<char[]> lz4_state_;
  std::string block_;         // raw entries of the block being filled
  std::size_t last_key_pos_ = 0;
  std::size_t last_key_len_ = 0;
  std::string out_;           // header and finished blocks not yet written
  std::string index_;         // index block, count patched at finish
  std::uint64_t offset_ = 0;  // file position of the next block
  std::uint64_t block_count_ = 0;
  std::uint64_t entry_count_ = 0;
  std::vector<std::uint64_t> key_hashes_;  // hash64 of each decodable entry's user key
};

// Builds a whole file from a range of (internal key, value) pairs: anything whose elements
// destructure into two pieces convertible to string_view, such as a memtable's entries or a vector
// of pairs of strings or views.
template <typename Entries>
Result<SsTableBuildResult> build_sstable(std::string path, const Entries& entries, std::uint64_t block_bytes,
                                         std::uint64_t bits_per_key, const Hasher& hasher) {
  SsTableBuilder builder = TRY(SsTableBuilder::create(std::move(path), block_bytes, bits_per_key, hasher));
  for (const auto& [key, value] : entries) TRY(builder.add(key, value));
  return builder.finish();
}

}  // namespace quenlordb::storage
