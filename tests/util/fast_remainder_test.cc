#include "util/fast_remainder.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <vector>

namespace quenlordb::util {
namespace {

TEST(FastRemainderTest, EqualsTheDivisionRemainder) {
  const std::vector<std::uint64_t> divisors = {1,          2,          3,           7,          64,
                                               10000,      10007,      1ULL << 31,  0xFFFFFFFFULL,
                                               1ULL << 32, 0x100000001ULL, ~0ULL - 1, ~0ULL};
  std::mt19937_64 rng(3);
  std::vector<std::uint64_t> numerators = {0, 1, ~0ULL, ~0ULL - 1, 1ULL << 63, 0xFFFFFFFFULL};
  for (int i = 0; i < 2000; ++i) numerators.push_back(rng() >> (rng() % 64));
  for (std::uint64_t d : divisors) {
    const FastRemainder mod(d);
    for (std::uint64_t x : {d - 1, d, d + 1, 2 * d - 1, 2 * d}) numerators.push_back(x);
    for (std::uint64_t x : numerators) ASSERT_EQ(mod(x), x % d) << x << " % " << d;
  }
}

}  // namespace
}  // namespace quenlordb::util
