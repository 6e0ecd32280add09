#include "util/varint.h"

#include <gtest/gtest.h>

#include <limits>
#include "support/bytes.h"

namespace quenlordb::util {
namespace {

using quenlordb::testing::hex;

TEST(VarintTest, EncodesShortestForm) {
  const std::pair<std::uint64_t, const char*> cases[] = {
      {0, "00"},   {127, "7f"}, {128, "8001"}, {300, "ac02"},
      {std::numeric_limits<std::uint64_t>::max(), "ffffffffffffffffff01"},
  };
  for (auto [value, expected] : cases) {
    std::string out;
    put_varint(out, value);
    EXPECT_EQ(hex(out), expected);
    EXPECT_EQ(varint_length(value), out.size());
    std::size_t pos = 0;
    EXPECT_EQ(get_varint(out, pos).value(), value);
    EXPECT_EQ(pos, out.size());
  }
}

TEST(VarintTest, DecodeRules) {
  struct Case {
    const char* name;
    std::string bytes;
    std::optional<std::uint64_t> expected;  // none: InvalidVarint
  };
  const Case cases[] = {
      {"over-long zero", std::string("\x80\x00", 2), 0},
      {"tenth byte drops high bits", std::string(9, '\xff') + "\x02", std::numeric_limits<std::uint64_t>::max() >> 1},
      {"tenth byte 0x7f", std::string(9, '\xff') + "\x7f", std::numeric_limits<std::uint64_t>::max()},
      {"ten continuation bytes", std::string(10, '\xff'), std::nullopt},
      {"eleven bytes", std::string(10, '\x80') + "\x01", std::nullopt},
      {"cut short", "\x80", std::nullopt},
      {"empty", "", std::nullopt},
  };
  for (const Case& tc : cases) {
    std::size_t pos = 0;
    auto r = get_varint(tc.bytes, pos);
    if (tc.expected) {
      ASSERT_TRUE(r) << tc.name;
      EXPECT_EQ(*r, *tc.expected) << tc.name;
    } else {
      ASSERT_FALSE(r) << tc.name;
      EXPECT_EQ(r.error().to_string(), "invalid varint") << tc.name;
    }
  }
}

TEST(VarintTest, DecodeBytesChecksTheLengthWithoutOverflow) {
  std::string data = "xx";
  put_varint(data, std::numeric_limits<std::uint64_t>::max());
  data += "abc";
  std::size_t pos = 2;
  EXPECT_EQ(decode_bytes(data, pos).error().kind(), ErrorKind::InvalidVarint);

  std::string ok;
  put_bytes(ok, "hello");
  put_bytes(ok, "");
  pos = 0;
  EXPECT_EQ(decode_bytes(ok, pos).value(), "hello");
  EXPECT_EQ(decode_bytes(ok, pos).value(), "");
  EXPECT_EQ(pos, ok.size());

  std::string cut;
  put_varint(cut, 4);
  cut += "abc";
  pos = 0;
  EXPECT_FALSE(decode_bytes(cut, pos));
}

}  // namespace
}  // namespace quenlordb::util
