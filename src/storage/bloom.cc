#include "storage/bloom.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <vector>

#include "util/coding.h"

namespace quenlordb::storage {

BloomFilter::Sizing BloomFilter::sizing(std::uint64_t bits_per_key, std::uint64_t key_count) {
  const std::uint64_t n = std::max<std::uint64_t>(1, key_count);
  std::uint64_t bits;
  if (__builtin_mul_overflow(bits_per_key, n, &bits)) bits = std::numeric_limits<std::uint64_t>::max();
  bits = std::clamp<std::uint64_t>(bits, kMinBits, std::numeric_limits<std::uint32_t>::max());
  // 18 * 0.69 already exceeds the limit; stopping there keeps the double in range for any input.
  std::uint8_t hashes = kMaxHashes;
  if (bits_per_key < 18) {
    const long long k = std::llround(static_cast<double>(bits_per_key) * 0.69);
    hashes = static_cast<std::uint8_t>(std::clamp<long long>(k, 1, kMaxHashes));
  }
  return {static_cast<std::uint32_t>(bits), hashes};
}

BloomProbe BloomProbe::from_hash(std::uint64_t h1, const Hasher& hasher) {
  char le[8];
  for (int i = 0; i < 8; ++i) le[i] = static_cast<char>(h1 >> (8 * i));
  return {h1, hasher.hash64(std::string_view(le, 8))};
}

BloomFilter BloomFilter::new_for_key_hashes(std::span<const std::uint64_t> key_hashes, std::uint64_t bits_per_key,
                                            const Hasher& hasher) {
  const auto [num_bits, num_hashes] = sizing(bits_per_key, key_hashes.size());
  std::string bits((static_cast<std::uint64_t>(num_bits) + 7) / 8, '\0');
  for (std::uint64_t h1 : key_hashes) {
    const BloomProbe probe = BloomProbe::from_hash(h1, hasher);
    std::uint64_t h = probe.h1;
    for (std::uint8_t j = 0; j < num_hashes; ++j, h += probe.h2) {
      const std::uint64_t bit = h % num_bits;
      bits[bit / 8] = static_cast<char>(static_cast<unsigned char>(bits[bit / 8]) | (1u << (bit % 8)));
    }
  }
  return BloomFilter(std::move(bits), num_bits, num_hashes);
}

BloomFilter BloomFilter::new_for_keys(std::span<const std::string_view> keys, std::uint64_t bits_per_key,
                                      const Hasher& hasher) {
  std::vector<std::uint64_t> hashes;
  hashes.reserve(keys.size());
  for (std::string_view key : keys) hashes.push_back(hasher.hash64(key));
  return new_for_key_hashes(hashes, bits_per_key, hasher);
}

std::optional<BloomFilter> BloomFilter::decode(std::string_view block) {
  if (block.size() < kHeaderBytes) return std::nullopt;
  const std::uint32_t num_bits = util::load_u32_le(block.data());
  const auto num_hashes = static_cast<std::uint8_t>(block[4]);
  const std::uint32_t len = util::load_u32_le(block.data() + 5);
  if (len > block.size() - kHeaderBytes) return std::nullopt;
  return BloomFilter(std::string(block.substr(kHeaderBytes, len)), num_bits, num_hashes);
}

std::string BloomFilter::encode() const {
  std::string out;
  out.reserve(kHeaderBytes + bits_.size());
  util::put_u32_le(out, num_bits_);
  out.push_back(static_cast<char>(num_hashes_));
  util::put_u32_le(out, static_cast<std::uint32_t>(bits_.size()));
  out.append(bits_);
  return out;
}

bool BloomFilter::may_contain(const BloomProbe& probe) const {
  if (num_hashes_ == 0) return true;
  if (num_bits_ == 0 || num_bits_ > static_cast<std::uint64_t>(bits_.size()) * 8) return true;
  const auto* bits = reinterpret_cast<const unsigned char*>(bits_.data());
  // Probe j tests (h1 + j * h2 mod 2^64) mod n. Rather than a division per probe, the position
  // steps by h2 mod n, and by a further -(2^64 mod n) where the sum wraps past 2^64.
  const std::uint64_t n = num_bits_;
  std::uint64_t h = probe.h1;
  std::uint64_t bit = h % n;
  const std::uint64_t step = probe.h2 % n;
  for (std::uint8_t j = 0;;) {
    if ((bits[bit / 8] & (1u << (bit % 8))) == 0) return false;
    if (++j == num_hashes_) return true;
    const std::uint64_t next = h + probe.h2;
    bit += step;
    if (bit >= n) bit -= n;
    if (next < h) bit = bit >= wrap_ ? bit - wrap_ : bit + n - wrap_;
    h = next;
  }
}

void BloomFilter::prefetch(const BloomProbe& probe) const {
  if (num_hashes_ == 0 || num_bits_ == 0 || num_bits_ > static_cast<std::uint64_t>(bits_.size()) * 8) return;
  const std::uint64_t n = num_bits_;
  __builtin_prefetch(bits_.data() + probe.h1 % n / 8);
  if (num_hashes_ > 1) __builtin_prefetch(bits_.data() + (probe.h1 + probe.h2) % n / 8);
}

}  // namespace quenlordb::storage
