#include "storage/bloom.h"

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "util/coding.h"
#include "support/bytes.h"

namespace quenlordb::storage {
namespace {

const FnvMixHasher kHasher;

using quenlordb::testing::hex;

BloomFilter filter_of(const std::vector<std::string>& keys, std::uint64_t bits_per_key) {
  std::vector<std::string_view> views(keys.begin(), keys.end());
  return BloomFilter::new_for_keys(views, bits_per_key, kHasher);
}

TEST(BloomTest, Sizing) {
  struct Case {
    std::uint64_t bits_per_key;
    std::uint64_t keys;
    std::uint32_t num_bits;
    std::uint8_t num_hashes;
  };
  const Case cases[] = {
      {1, 0, 64, 1},      {3, 10, 64, 2},     {4, 100, 400, 3},   {5, 1, 64, 3},
      {10, 1000, 10000, 7}, {16, 4, 64, 11},   {17, 4, 68, 12},    {20, 4, 80, 12},
      // bits_per_key * keys beyond 32 bits, and beyond 64 bits, saturate instead of wrapping to 0.
      {1, 1ULL << 32, 0xFFFFFFFFu, 1}, {1ULL << 40, 1ULL << 30, 0xFFFFFFFFu, 12},
  };
  for (const Case& c : cases) {
    const BloomFilter::Sizing s = BloomFilter::sizing(c.bits_per_key, c.keys);
    EXPECT_EQ(s.num_bits, c.num_bits) << c.bits_per_key << " x " << c.keys;
    EXPECT_EQ(s.num_hashes, c.num_hashes) << c.bits_per_key;
  }
}

TEST(BloomTest, EmptyFilterRejectsEverythingAndHasGoldenEncoding) {
  const BloomFilter f = filter_of({}, 10);
  EXPECT_EQ(f.num_bits(), 64u);
  EXPECT_EQ(f.bits(), std::string(8, '\0'));
  for (const char* key : {"", "a", "abc"}) EXPECT_FALSE(f.may_contain(key, kHasher)) << key;
  EXPECT_EQ(hex(f.encode()), "40000000" "07" "08000000" "0000000000000000");
}

TEST(BloomTest, GoldenBitmapPinsTheProbeFormula) {
  const BloomProbe probe = BloomProbe::of("abc", kHasher);
  EXPECT_EQ(probe.h1, 0x3be5b87edc91fa43ULL);
  EXPECT_EQ(probe.h2, 0xecc764f777d6529fULL);
  const BloomFilter f = filter_of({"abc"}, 10);
  EXPECT_EQ(f.num_bits(), 64u);
  EXPECT_EQ(f.num_hashes(), 7);
  EXPECT_EQ(hex(f.bits()), "0a000040050000a0");
}

// The probe without a division per bit answers as the formula does, bit for bit: one bit set at a
// time in filters of awkward sizes, probes whose sums wrap past 2^64 many times.
TEST(BloomTest, ProbesFollowTheFormulaWhereSumsWrap) {
  std::mt19937_64 rng(17);
  for (const std::uint32_t num_bits : {64u, 67u, 1000u, 4093u, 65536u, 1000003u}) {
    for (int round = 0; round < 300; ++round) {
      const BloomProbe probe{rng(), rng() | (std::uint64_t{1} << 63)};  // large steps wrap often
      const std::uint8_t hashes = static_cast<std::uint8_t>(1 + rng() % BloomFilter::kMaxHashes);
      // Sets every probed bit but the one of probe `missing`, unless that bit is probed twice.
      const std::uint8_t missing = static_cast<std::uint8_t>(rng() % hashes);
      std::vector<std::uint64_t> positions;
      std::uint64_t h = probe.h1;
      for (std::uint8_t j = 0; j < hashes; ++j, h += probe.h2) positions.push_back(h % num_bits);
      std::string bits((static_cast<std::uint64_t>(num_bits) + 7) / 8, '\0');
      bool missing_set_elsewhere = false;
      for (std::uint8_t j = 0; j < hashes; ++j) {
        if (j == missing) continue;
        bits[positions[j] / 8] = static_cast<char>(bits[positions[j] / 8] | (1 << (positions[j] % 8)));
        missing_set_elsewhere |= positions[j] == positions[missing];
      }
      std::string block;
      util::put_u32_le(block, num_bits);
      block.push_back(static_cast<char>(hashes));
      util::put_u32_le(block, static_cast<std::uint32_t>(bits.size()));
      const BloomFilter f = BloomFilter::decode(block + bits).value();
      ASSERT_EQ(f.may_contain(probe), missing_set_elsewhere) << num_bits << " round " << round;
      bits[positions[missing] / 8] = static_cast<char>(bits[positions[missing] / 8] | (1 << (positions[missing] % 8)));
      ASSERT_TRUE(BloomFilter::decode(block + bits).value().may_contain(probe)) << num_bits << " round " << round;
    }
  }
}

TEST(BloomTest, NoFalseNegativesAndFewFalsePositives) {
  std::mt19937_64 rng(7);
  std::vector<std::string> keys;
  for (int i = 0; i < 4000; ++i) {
    std::string k(1 + rng() % 24, '\0');
    for (char& c : k) c = static_cast<char>(rng());
    keys.push_back(std::move(k));
  }
  const BloomFilter f = filter_of(keys, 10);
  for (const std::string& k : keys) ASSERT_TRUE(f.may_contain(k, kHasher)) << hex(k);
  int passed = 0;
  for (int i = 0; i < 10000; ++i) passed += f.may_contain("absent-" + std::to_string(i), kHasher);
  EXPECT_LT(passed, 300);  // about 1% expected at 10 bits per key
}

TEST(BloomTest, EncodeDecodeRoundTrip) {
  std::vector<std::string> keys;
  for (int i = 0; i < 1000; ++i) keys.push_back("key" + std::to_string(i));
  const BloomFilter f = filter_of(keys, 10);
  ASSERT_EQ(f.num_bits(), 10000u);
  std::string block = f.encode();
  ASSERT_EQ(block.size(), 9u + 1250u);
  block += "trailing";
  const std::optional<BloomFilter> d = BloomFilter::decode(block);
  ASSERT_TRUE(d);
  EXPECT_EQ(d->num_bits(), f.num_bits());
  EXPECT_EQ(d->num_hashes(), f.num_hashes());
  EXPECT_EQ(d->bits(), f.bits());
}

TEST(BloomTest, DecodeRefusesShortBlocks) {
  EXPECT_FALSE(BloomFilter::decode(std::string(8, '\0')));
  std::string announces_one_byte;
  util::put_u32_le(announces_one_byte, 8);
  announces_one_byte.push_back(1);
  util::put_u32_le(announces_one_byte, 1);
  EXPECT_FALSE(BloomFilter::decode(announces_one_byte));
  announces_one_byte.push_back('\xff');
  EXPECT_TRUE(BloomFilter::decode(announces_one_byte));
}

// Stored blocks that cannot be probed safely pass every key rather than reading outside the bitmap
// or dividing by zero.
TEST(BloomTest, InconsistentDecodedBlocksPassEveryKey) {
  struct Case {
    const char* name;
    std::uint32_t num_bits;
    std::uint8_t num_hashes;
    std::uint32_t bitmap_bytes;
  };
  const Case cases[] = {
      {"zero bits with probes", 0, 3, 0},
      {"bitmap shorter than num_bits", 1u << 20, 7, 1},
      {"no probes", 64, 0, 8},
  };
  for (const Case& c : cases) {
    std::string block;
    util::put_u32_le(block, c.num_bits);
    block.push_back(static_cast<char>(c.num_hashes));
    util::put_u32_le(block, c.bitmap_bytes);
    block.append(c.bitmap_bytes, '\0');
    const std::optional<BloomFilter> f = BloomFilter::decode(block);
    ASSERT_TRUE(f) << c.name;
    for (int i = 0; i < 100; ++i) EXPECT_TRUE(f->may_contain("k" + std::to_string(i), kHasher)) << c.name;
  }
}

}  // namespace
}  // namespace quenlordb::storage
