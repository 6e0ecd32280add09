#include "storage/block_cache.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <list>
#include <random>
#include <string>
#include <thread>
#include <vector>

namespace quenlordb::storage {
namespace {

CachedBlock block(char fill, std::size_t len) { return std::make_shared<DecodedBlock>(std::string(len, fill)); }

// The cached ones of offsets 0..n-1 of file 1, as letters. Looking refreshes their recency, so a
// case looks only at its end.
std::string cached(BlockCache& cache, int n) {
  std::string out;
  for (int i = 0; i < n; ++i)
    if (cache.get(1, i) != nullptr) out.push_back(static_cast<char>('A' + i));
  return out;
}

TEST(BlockCacheTest, CapacityZeroStoresNothing) {
  BlockCache cache(0);
  cache.insert(1, 0, block('a', 10));
  EXPECT_EQ(cache.get(1, 0), nullptr);
  EXPECT_EQ(cache.used_bytes(), 0u);
}

TEST(BlockCacheTest, EvictsLeastRecentlyUsedFirst) {
  struct Case {
    const char* name;
    bool read_a_first;
    bool reinsert_a;
    const char* cached_after_c;
  };
  const Case cases[] = {
      {"oldest goes first", false, false, "BC"},
      {"a read makes A recent", true, false, "AC"},
      {"a duplicate insert does not", false, true, "BC"},
  };
  for (const Case& c : cases) {
    BlockCache cache(100);
    cache.insert(1, 0, block('a', 40));
    cache.insert(1, 1, block('b', 40));
    if (c.read_a_first) {
      ASSERT_NE(cache.get(1, 0), nullptr);
    }
    if (c.reinsert_a) cache.insert(1, 0, block('x', 40));
    cache.insert(1, 2, block('c', 40));
    EXPECT_EQ(cache.used_bytes(), 80u) << c.name;
    EXPECT_EQ(cached(cache, 3), c.cached_after_c) << c.name;
  }
}

TEST(BlockCacheTest, DuplicateInsertKeepsTheCachedBlock) {
  BlockCache cache(100);
  cache.insert(1, 0, block('a', 40));
  cache.insert(1, 0, block('x', 10));
  EXPECT_EQ(cache.get(1, 0)->bytes(), std::string(40, 'a'));
  EXPECT_EQ(cache.used_bytes(), 40u);
}

TEST(BlockCacheTest, KeysOfDifferentFilesStayApart) {
  BlockCache cache(100);
  cache.insert(1, 0, block('a', 10));
  cache.insert(2, 0, block('b', 10));
  EXPECT_EQ(cache.get(1, 0)->bytes(), std::string(10, 'a'));
  EXPECT_EQ(cache.get(2, 0)->bytes(), std::string(10, 'b'));
  EXPECT_EQ(cache.get(1, 1), nullptr);
}

TEST(BlockCacheTest, OversizeBlockEvictsEverythingAndGoesFirstNextTime) {
  BlockCache cache(100);
  cache.insert(1, 0, block('a', 40));
  cache.insert(1, 1, block('b', 40));
  cache.insert(1, 2, block('c', 150));
  EXPECT_EQ(cache.used_bytes(), 150u);
  EXPECT_EQ(cache.block_count(), 1u);
  cache.insert(1, 3, block('d', 10));
  EXPECT_EQ(cache.used_bytes(), 10u);
  EXPECT_EQ(cached(cache, 4), "D");
}

TEST(BlockCacheTest, HandedOutBlockOutlivesEviction) {
  BlockCache cache(50);
  cache.insert(1, 0, block('a', 40));
  const CachedBlock held = cache.get(1, 0);
  cache.insert(1, 1, block('b', 40));
  EXPECT_EQ(cache.get(1, 0), nullptr);
  EXPECT_EQ(held->bytes(), std::string(40, 'a'));
}

// Random gets and inserts agree with a plain list kept in recency order, through table growth and
// through evictions that empty buckets in the middle of probe runs.
TEST(BlockCacheTest, AgreesWithAListInRecencyOrder) {
  struct Cached {
    std::uint64_t file_id, offset;
    CachedBlock block;
  };
  std::mt19937_64 rng(5);
  BlockCache cache(1000);
  std::list<Cached> model;  // least recently used first
  auto find = [&](std::uint64_t file_id, std::uint64_t offset) {
    return std::find_if(model.begin(), model.end(),
                        [&](const Cached& c) { return c.file_id == file_id && c.offset == offset; });
  };
  std::uint64_t used = 0;
  for (int op = 0; op < 20000; ++op) {
    const std::uint64_t file_id = 1 + rng() % 3;
    const std::uint64_t offset = (rng() % 40) * 4096;
    auto it = find(file_id, offset);
    if (rng() % 2 == 0) {
      const CachedBlock got = cache.get(file_id, offset);
      ASSERT_EQ(got, it == model.end() ? nullptr : it->block) << op;
      if (it != model.end()) model.splice(model.end(), model, it);
    } else {
      const CachedBlock b = block('x', 1 + rng() % (op % 1000 == 0 ? 1500 : 120));
      const CachedBlock kept = cache.insert(file_id, offset, b);
      if (it != model.end()) {
        ASSERT_EQ(kept, it->block) << op;
      } else {
        ASSERT_EQ(kept, b) << op;
        while (used + b->size() > 1000 && !model.empty()) {
          used -= model.front().block->size();
          model.pop_front();
        }
        model.push_back({file_id, offset, b});
        used += b->size();
      }
    }
    ASSERT_EQ(cache.used_bytes(), used) << op;
    ASSERT_EQ(cache.block_count(), model.size()) << op;
  }
}

// A missed block is admitted while it fits beside what is cached; once it would evict another, only
// on its second miss, and misses are forgotten after max(16, half the blocks cached) of them.
TEST(BlockCacheTest, AdmitsWhatFitsAndWhatWasMissedBefore) {
  BlockCache cache(100);
  EXPECT_TRUE(cache.admit(1, 0, 40));
  cache.insert(1, 0, block('a', 40));
  cache.insert(1, 1, block('b', 40));
  EXPECT_TRUE(cache.admit(1, 2, 20));  // 80 + 20 still fits
  EXPECT_FALSE(cache.admit(1, 3, 40));
  EXPECT_TRUE(cache.admit(1, 3, 40));
  EXPECT_FALSE(cache.admit(1, 4, 40));
  for (std::uint64_t i = 0; i < 16; ++i) EXPECT_FALSE(cache.admit(2, i, 40)) << i;
  EXPECT_FALSE(cache.admit(1, 4, 40)) << "the miss of 1/4 was forgotten";
  EXPECT_TRUE(cache.admit(1, 4, 40));
  EXPECT_EQ(cached(cache, 5), "AB");  // admitting evicts nothing
  BlockCache none(0);
  EXPECT_FALSE(none.admit(1, 0, 1));
  EXPECT_FALSE(none.admit(1, 0, 1));
}

TEST(BlockCacheTest, ConcurrentUseKeepsTheAccountsStraight) {
  BlockCache cache(1000);
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&cache, t] {
      for (int i = 0; i < 5000; ++i) {
        const std::uint64_t key = static_cast<std::uint64_t>((i * 7 + t) % 64);
        if (CachedBlock b = cache.get(1, key)) {
          ASSERT_EQ(b->size(), 10 + key);
        } else {
          cache.insert(1, key, block('z', 10 + key));
        }
      }
    });
  }
  for (std::thread& t : threads) t.join();
  std::uint64_t sum = 0;
  for (std::uint64_t key = 0; key < 64; ++key)
    if (CachedBlock b = cache.get(1, key)) sum += b->size();
  EXPECT_EQ(cache.used_bytes(), sum);
  EXPECT_LE(sum, 1000u);
}

}  // namespace
}  // namespace quenlordb::storage
