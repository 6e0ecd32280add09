// The bloom filter of a table file's user keys: built when the file is written, stored in it as the
// bloom block, and probed before a point lookup reads any block. A filter never changes after it is
// built or decoded, so it is shared between threads without locking.
//
// Bloom block (integers little-endian):
//   offset  width  content
//   0       4      num_bits
//   4       1      num_hashes
//   5       4      bitmap length B in bytes
//   9       B      bitmap; filter bit i is bit (i mod 8) of byte i / 8, bit 0 the least significant
//
// Probe j of a key (j < num_hashes) tests bit (h1 + j * h2) mod num_bits (sum modulo 2^64), with
// h1 = hash64(key) and h2 = hash64(h1 as 8 little-endian bytes): two hashes per key serve all probes.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>

#include "hasher.h"

namespace quenlordb::storage {

// The two hashes of one key that every probe position derives from. Computing them once per key
// lets a read probe the filters of many files, and reuse h1 (the routing hash) for them.
struct BloomProbe {
  std::uint64_t h1;
  std::uint64_t h2;

  static BloomProbe from_hash(std::uint64_t h1, const Hasher& hasher);
  static BloomProbe of(std::string_view key, const Hasher& hasher) { return from_hash(hasher.hash64(key), hasher); }
};

class BloomFilter {
 public:
  // Bytes of the bloom block in front of the bitmap.
  static constexpr std::size_t kHeaderBytes = 9;
  static constexpr std::uint32_t kMinBits = 64;
  static constexpr std::uint8_t kMaxHashes = 12;

  struct Sizing {
    std::uint32_t num_bits;
    std::uint8_t num_hashes;
  };
  // The shape of a filter for key_count keys (duplicates count): max(64, bits_per_key * count)
  // bits, saturating at 2^32 - 1 instead of wrapping, and round(bits_per_key * 0.69) probes
  // limited to 1..12.
  static Sizing sizing(std::uint64_t bits_per_key, std::uint64_t key_count);

  // A filter of sizing(bits_per_key, keys.size()) holding the keys.
  static BloomFilter new_for_keys(std::span<const std::string_view> keys, std::uint64_t bits_per_key,
                                  const Hasher& hasher);
  // The same filter built from hash64 of each key (h1), for writers that hash keys as they stream.
  static BloomFilter new_for_key_hashes(std::span<const std::uint64_t> key_hashes, std::uint64_t bits_per_key,
                                        const Hasher& hasher);

  // A filter without probes: it passes every key.
  BloomFilter() = default;

  // None when fewer than 9 bytes or fewer than 9 + B. Bytes after the bitmap are ignored.
  static std::optional<BloomFilter> decode(std::string_view block);
  std::string encode() const;

  // False means the key was certainly not added. A decoded filter whose bitmap is shorter than
  // num_bits bits, or with num_bits 0 and probes set, cannot be probed and passes every key.
  bool may_contain(const BloomProbe& probe) const;
  bool may_contain(std::string_view key, const Hasher& hasher) const { return may_contain(BloomProbe::of(key, hasher)); }
  // Asks the processor for the bytes the first two probes of may_contain(probe) test, so that a
  // reader about to probe many filters waits for them all at once rather than one after another.
  void prefetch(const BloomProbe& probe) const;

  std::uint32_t num_bits() const { return num_bits_; }
  std::uint8_t num_hashes() const { return num_hashes_; }
  const std::string& bits() const { return bits_; }

 private:
  BloomFilter(std::string bits, std::uint32_t num_bits, std::uint8_t num_hashes)
      : bits_(std::move(bits)),
        num_bits_(num_bits),
        num_hashes_(num_hashes),
        wrap_(num_bits == 0 ? 0 : (0 - std::uint64_t{num_bits}) % num_bits) {}

  std::string bits_;
  std::uint32_t num_bits_ = 0;
  std::uint8_t num_hashes_ = 0;
  std::uint64_t wrap_ = 0;  // 2^64 mod num_bits_: what a probe sum loses when it wraps past 2^64
};

}  // namespace quenlordb::storage
