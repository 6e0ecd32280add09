#include "util/bulk_memory.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

namespace quenlordb::util {
namespace {

// Pieces keep their bytes and their place while the store grows from heap chunks into mapped ones,
// including a piece larger than any chunk, and after the store is moved.
TEST(BulkMemoryTest, ByteChunksKeepEveryPieceInPlace) {
  ByteChunks chunks;
  std::vector<std::pair<char*, std::string>> pieces;
  std::uint64_t seed = 1;
  std::size_t total = 0;
  for (int i = 0; total < 3 * kMapThreshold; ++i) {
    seed = seed * 6364136223846793005ULL + 1442695040888963407ULL;
    const std::size_t n = i == 100 ? 2 * kMapThreshold + 5 : (seed >> 33) % 300;
    std::string bytes(n, static_cast<char>('a' + i % 26));
    char* p = chunks.allocate(n);
    if (n > 0) std::memcpy(p, bytes.data(), n);
    pieces.emplace_back(p, std::move(bytes));
    total += n;
  }
  EXPECT_GE(chunks.capacity(), total);
  ByteChunks moved = std::move(chunks);
  for (const auto& [p, bytes] : pieces) ASSERT_EQ(std::string_view(p, bytes.size()), bytes);
}

// A store takes over another's pieces, which keep their bytes and place; both go on handing out
// pieces. A store whose mapped chunks are not populated keeps its pieces all the same.
TEST(BulkMemoryTest, ByteChunksAdoptAnotherStoresPieces) {
  for (const bool populate : {true, false}) {
    ByteChunks kept;
    ByteChunks other(populate);
    std::vector<std::pair<char*, std::string>> pieces;
    auto add = [&](ByteChunks& store, std::size_t n, char c) {
      char* p = store.allocate(n);
      std::memset(p, c, n);
      pieces.emplace_back(p, std::string(n, c));
    };
    add(kept, 100, 'k');
    for (int i = 0; i < 40; ++i) add(other, 100000, static_cast<char>('a' + i % 26));  // into mapped chunks
    add(other, kMapThreshold + 1, 'z');
    const std::size_t held = kept.capacity() + other.capacity();
    kept.adopt(std::move(other));
    EXPECT_EQ(kept.capacity(), held);
    EXPECT_EQ(other.capacity(), 0u);
    add(kept, 200, 'x');
    add(other, 300, 'y');
    ByteChunks moved = std::move(kept);
    for (const auto& [p, bytes] : pieces) ASSERT_EQ(std::string_view(p, bytes.size()), bytes);
  }
}

// The array keeps its values across growth on the heap, the step into a mapping and growth of the
// mapping; reserve sets room without changing the size.
TEST(BulkMemoryTest, BulkArrayGrowsPastTheMapThreshold) {
  struct Value {
    std::uint64_t a;
    std::uint32_t b;
  };
  BulkArray<Value> values;
  const std::size_t n = 3 * kMapThreshold / sizeof(Value) + 7;
  for (std::size_t i = 0; i < n; ++i) values.push_back({i * 3, static_cast<std::uint32_t>(i)});
  ASSERT_EQ(values.size(), n);
  for (std::size_t i = 0; i < n; ++i) {
    ASSERT_EQ(values[i].a, i * 3);
    ASSERT_EQ(values[i].b, static_cast<std::uint32_t>(i));
  }
  values.reserve(2 * n);
  EXPECT_GE(values.capacity(), 2 * n);
  EXPECT_EQ(values.size(), n);
  BulkArray<Value> moved = std::move(values);
  EXPECT_EQ(moved[n - 1].a, (n - 1) * 3);
  EXPECT_TRUE(values.empty());
}

}  // namespace
}  // namespace quenlordb::util
