#include <gtest/gtest.h>

#include <string>

#include "storage/zone_map.h"

namespace quenlordb::storage {
namespace {

std::uint64_t count_of_numbers(int n) {
  HyperLogLog sketch;
  for (int i = 0; i < n; ++i) sketch.add(std::to_string(i));
  return sketch.count();
}

TEST(HyperLogLogTest, Counts) {
  EXPECT_EQ(HyperLogLog().count(), 0u);
  EXPECT_EQ(count_of_numbers(1), 1u);
  // The ten texts 0 to 9 go through linear counting, ten thousand through the raw estimate.
  EXPECT_EQ(count_of_numbers(10), 10u);
  EXPECT_EQ(count_of_numbers(10000), 10696u);
}

TEST(HyperLogLogTest, RepeatsCountOnce) {
  HyperLogLog once, many;
  once.add("x");
  for (int i = 0; i < 1000; ++i) many.add("x");
  EXPECT_EQ(many.registers(), once.registers());
  EXPECT_EQ(many.count(), 1u);
}

TEST(HyperLogLogTest, RegisterOfAnInput) {
  // The empty text hashes to the FNV offset basis 0xcbf29ce484222325: register 0x25, and
  // 0xcbf29ce4842223 has no trailing zero bit, so rank 1.
  HyperLogLog sketch;
  sketch.add("");
  for (std::size_t i = 0; i < HyperLogLog::kRegisters; ++i) EXPECT_EQ(sketch.registers()[i], i == 37 ? 1 : 0) << i;
  EXPECT_EQ(sketch.count(), 1u);
}

TEST(HyperLogLogTest, FullRegistersStayFinite) {
  // Every register at the top rank: the raw estimate alpha * 256 * 2^56, far inside u64.
  HyperLogLog sketch;
  for (int i = 0; i < 200000; ++i) sketch.add(std::to_string(i) + "k");
  EXPECT_GT(sketch.count(), 150000u);
  EXPECT_LT(sketch.count(), 260000u);
}

}  // namespace
}  // namespace quenlordb::storage
