#include "ledger/record.h"

#include <gtest/gtest.h>

#include "ledger/internal_key.h"
#include "support/bytes.h"

namespace quenlordb::ledger {
namespace {

using namespace std::string_literals;

using quenlordb::testing::hex;

TEST(FactValueTest, EncodingAndReadingRule) {
  FactValue empty{1, 2, ""};
  EXPECT_EQ(hex(empty.encode()), "0000000000000001000000000000000200");

  FactValue big{0, 10, std::string(128, 'x')};
  std::string enc = big.encode();
  EXPECT_EQ(enc.size(), 16u + 2 + 128);
  EXPECT_EQ(hex(enc.substr(16, 2)), "8001");

  const std::string stored = enc + "trailing";
  auto v = read_fact_value(stored).value();
  EXPECT_EQ(v.valid_from, 0u);
  EXPECT_EQ(v.valid_to, 10u);
  EXPECT_EQ(v.doc, big.doc);

  EXPECT_EQ(read_fact_value(std::string(15, '\0')).error().to_string(), "sstable format error: fact value too short");
  EXPECT_EQ(read_fact_value(std::string(16, '\0')).error().to_string(), "invalid varint");
}

TEST(FactValueTest, Visibility) {
  const std::pair<std::optional<std::uint64_t>, bool> cases[] = {
      {9, false}, {10, true}, {19, true}, {20, false}, {std::nullopt, true}};
  for (auto [t, visible] : cases) EXPECT_EQ(valid_at_time(10, 20, t), visible);
  // An empty interval is visible only to reads without a valid time.
  EXPECT_FALSE(valid_at_time(20, 20, 20));
  EXPECT_FALSE(valid_at_time(30, 20, 25));
  EXPECT_TRUE(valid_at_time(30, 20, std::nullopt));
}

TEST(FactWriteTest, GoldenPayload) {
  FactWrite w;
  w.key = encode_internal_key("k", 1);
  w.value = FactValue{0, ~0ULL, "v"}.encode();
  EXPECT_EQ(hex(w.encode_payload()), "0b6b00000000000000000100120000000000000000ffffffffffffffff017600");
  EXPECT_EQ(w.payload_size(), 32u);
  w.write_tag = 1;
  std::string p = w.encode_payload();
  EXPECT_EQ(hex(p.substr(p.size() - 2)), "0201");
}

TEST(FactWriteTest, RoundTripsEveryTagCombination) {
  for (auto reserved : {std::optional<std::uint64_t>{}, std::optional<std::uint64_t>{300}}) {
    for (auto tag : {std::optional<std::uint64_t>{}, std::optional<std::uint64_t>{~0ULL}}) {
      FactWrite w{reserved, tag, encode_internal_key("a\0b"s, 42), FactValue{3, 4, "doc"}.encode()};
      EXPECT_EQ(FactWrite::decode_payload(w.encode_payload()).value(), w);
    }
  }
}

TEST(FactWriteTest, TailsAfterTheValue) {
  std::string base;
  base += "\x01k\x01v"s;
  struct Case {
    const char* name;
    std::string tail;
    std::optional<std::uint64_t> reserved, tag;
    bool ok;
  };
  const Case cases[] = {
      {"no flags byte", "", {}, {}, true},
      {"write tag 1", "\x02\x01", {}, 1, true},
      {"unknown flag bit", "\x04", {}, {}, true},
      {"both tags", "\x03\x05\x06", 5, 6, true},
      {"trailing bytes ignored", "\x00zz"s, {}, {}, true},
      {"tag cut short", "\x02", {}, {}, false},
      {"tag over-long", "\x02"s + std::string(10, '\xff'), {}, {}, false},
  };
  for (const Case& tc : cases) {
    auto r = FactWrite::decode_payload(base + tc.tail);
    ASSERT_EQ(r.has_value(), tc.ok) << tc.name;
    if (!tc.ok) {
      EXPECT_EQ(r.error().kind(), ErrorKind::InvalidVarint) << tc.name;
      continue;
    }
    EXPECT_EQ(r->key, "k");
    EXPECT_EQ(r->value, "v");
    EXPECT_EQ(r->reserved_tag, tc.reserved) << tc.name;
    EXPECT_EQ(r->write_tag, tc.tag) << tc.name;
  }
  EXPECT_EQ(FactWrite::decode_payload("\x05k"s).error().kind(), ErrorKind::InvalidVarint);
}

}  // namespace
}  // namespace quenlordb::ledger
