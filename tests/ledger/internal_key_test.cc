#include "ledger/internal_key.h"

#include <gtest/gtest.h>

namespace quenlordb::ledger {
namespace {

using namespace std::string_literals;

TEST(InternalKeyTest, LayoutAndRoundTrip) {
  std::string k = encode_internal_key("", 0x0102030405060708ULL);
  EXPECT_EQ(k, "\x00\x01\x02\x03\x04\x05\x06\x07\x08\x00"s);
  auto d = decode_internal_key(k).value();
  EXPECT_EQ(d, (InternalKey{"", 0x0102030405060708ULL, 0}));

  const std::string with_nul = "a\0b"s;
  auto d2 = decode_internal_key(encode_internal_key(with_nul, 7)).value();
  EXPECT_EQ(d2.user_key, with_nul);
  EXPECT_EQ(d2.commit_ts, 7u);
}

TEST(InternalKeyTest, VersionsOfOneKeySortOldestFirst) {
  EXPECT_LT(encode_internal_key("k", 1), encode_internal_key("k", 256));
  EXPECT_LT(encode_internal_key("k", 256), encode_internal_key("k", 1ULL << 40));
  // Keys without 0x00 order by user key first.
  EXPECT_LT(encode_internal_key("a", ~0ULL), encode_internal_key("b", 0));
  // With 0x00 in user keys the versions of "a" are not contiguous: "a\0"@1 sorts before "a"@3.
  EXPECT_LT(encode_internal_key("a\0"s, 1), encode_internal_key("a", 3));
  auto [lower, upper] = user_prefix_bounds("a");
  EXPECT_EQ(lower, "a\0"s);
  EXPECT_EQ(upper, "a\x01"s);
  for (const std::string& k : {encode_internal_key("a", 0), encode_internal_key("a", ~0ULL), encode_internal_key("a\0"s, 1)}) {
    EXPECT_TRUE(lower <= k && k < upper);
  }
}

TEST(InternalKeyTest, MalformedKeys) {
  EXPECT_EQ(decode_internal_key(std::string(9, '\0')).error().to_string(), "sstable format error: internal key too short");
  std::string k = encode_internal_key("abc", 5);
  k[3] = 'x';
  EXPECT_EQ(decode_internal_key(k).error().to_string(), "sstable format error: internal key suffix malformed");
}

TEST(InternalKeyTest, PrefixUpperBound) {
  const std::pair<std::string, std::optional<std::string>> cases[] = {
      {"ab", "ac"},
      {"a\xff", "b"},
      {"a\xff\xff", "b"},
      {"\xfe\xff", "\xff"},
      {"\xff\xff", std::nullopt},
      {"", std::nullopt},
  };
  for (const auto& [prefix, expected] : cases) EXPECT_EQ(prefix_upper_bound(prefix), expected) << prefix;
}

}  // namespace
}  // namespace quenlordb::ledger
