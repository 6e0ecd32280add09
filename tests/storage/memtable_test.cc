#include "storage/memtable.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <random>
#include <vector>

#include "ledger/internal_key.h"
#include "ledger/record.h"
#include "support/alloc_fault.h"

namespace quenlordb::storage {
namespace {

using namespace std::string_literals;
using ledger::encode_internal_key;
using ledger::VisibleMap;
using ledger::VisibleVersion;

void put(Memtable& m, const std::string& key, std::uint64_t ts, std::uint64_t from, std::uint64_t to, std::string doc) {
  m.insert(encode_internal_key(key, ts), ledger::FactValue{from, to, std::move(doc)}.encode());
}

std::optional<std::uint64_t> ts_of(const Memtable& m, const std::string& key, std::uint64_t snapshot,
                                   std::optional<std::uint64_t> valid_at = std::nullopt) {
  auto r = m.visible_get(key, snapshot, valid_at);
  EXPECT_TRUE(r.has_value());
  if (!r || !*r) return std::nullopt;
  return (*r)->commit_ts;
}

TEST(MemtableTest, SnapshotPicksNewestVersionAtOrBelowIt) {
  Memtable m;
  for (std::uint64_t ts : {5, 7, 9}) put(m, "k", ts, 0, ~0ULL, "v" + std::to_string(ts));
  EXPECT_EQ(ts_of(m, "k", 8), 7u);
  EXPECT_EQ(ts_of(m, "k", 4), std::nullopt);
  EXPECT_EQ(ts_of(m, "k", 9), 9u);
  EXPECT_EQ(m.visible_get("k", 100, std::nullopt).value()->doc, "v9");
}

TEST(MemtableTest, NewerVersionNotValidLetsAnOlderOneThrough) {
  Memtable m;
  put(m, "k", 9, 0, 10, "new");
  put(m, "k", 7, 0, 100, "old");
  EXPECT_EQ(ts_of(m, "k", 9, 50), 7u);
  EXPECT_EQ(ts_of(m, "k", 9), 9u);
  EXPECT_EQ(ts_of(m, "k", 9, 100), std::nullopt);
}

TEST(MemtableTest, KeysContainingZeroBytesStayApart) {
  Memtable m;
  put(m, "a\0b"s, 3, 0, ~0ULL, "other");
  EXPECT_EQ(ts_of(m, "a", 100), std::nullopt);
  put(m, "a", 2, 0, ~0ULL, "mine");
  put(m, "a\0"s, 5, 0, ~0ULL, "nul");
  auto r = m.visible_get("a", 100, std::nullopt).value();
  ASSERT_TRUE(r);
  EXPECT_EQ(*r, (VisibleVersion{2, "mine"}));
  EXPECT_EQ(ts_of(m, "a\0b"s, 100), 3u);
  EXPECT_EQ(ts_of(m, "a\0"s, 100), 5u);
}

TEST(MemtableTest, PrefixScan) {
  Memtable m;
  for (const std::string& k : {"ab"s, "abc"s, "aa"s, "b"s, "a"s, "\xff\xff\x01"s, "ab\0"s}) put(m, k, 1, 0, ~0ULL, k);
  put(m, "ab", 4, 0, ~0ULL, "ab@4");
  put(m, "ab", 6, 0, ~0ULL, "ab@6");  // beyond the snapshot below

  auto keys = [&](const std::string& prefix) {
    std::vector<std::string> out;
    const VisibleMap found = m.scan_prefix_visible(prefix, 5, std::nullopt).value();
    for (const auto& [k, v] : found) out.push_back(k);
    return out;
  };
  EXPECT_EQ(keys("ab"), (std::vector<std::string>{"ab", "ab\0"s, "abc"}));
  EXPECT_EQ(m.scan_prefix_visible("ab", 5, std::nullopt).value().at("ab"), (VisibleVersion{4, "ab@4"}));
  EXPECT_EQ(keys("").size(), 7u);
  EXPECT_EQ(keys("\xff\xff"s), (std::vector<std::string>{"\xff\xff\x01"s}));
  EXPECT_EQ(keys("a\0"s), std::vector<std::string>{});
}

TEST(MemtableTest, PrefixScanAppliesValidTime) {
  Memtable m;
  put(m, "p1", 1, 0, 10, "early");
  put(m, "p1", 2, 10, 20, "late");
  put(m, "p2", 3, 50, 60, "far");
  auto at = [&](std::uint64_t t) { return m.scan_prefix_visible("p", 10, t).value(); };
  EXPECT_EQ(at(5).at("p1").doc, "early");
  EXPECT_EQ(at(15).at("p1").doc, "late");
  EXPECT_EQ(at(15).count("p2"), 0u);
  EXPECT_EQ(at(55).size(), 1u);
}

TEST(MemtableTest, ApproxBytesCountsReplacementOnce) {
  Memtable m;
  std::string key = encode_internal_key("k", 1);
  m.insert(key, std::string(10, 'x'));
  m.insert(key, std::string(4, 'y'));
  EXPECT_EQ(m.size(), 1u);
  EXPECT_EQ(m.approx_bytes(), key.size() + 4);
}

TEST(MemtableTest, MalformedValueFailsOnlyWhenReached) {
  Memtable m;
  m.insert(encode_internal_key("k", 5), "abc");
  EXPECT_EQ(m.visible_get("k", 10, std::nullopt).error().to_string(), "sstable format error: fact value too short");
  EXPECT_EQ(m.visible_get("k", 4, std::nullopt).value(), std::nullopt);
  EXPECT_FALSE(m.scan_prefix_visible("k", 10, std::nullopt).has_value());
  EXPECT_TRUE(m.scan_prefix_visible("k", 4, std::nullopt).has_value());
  Memtable bad_key;
  bad_key.insert("short", "x");
  EXPECT_EQ(bad_key.scan_prefix_visible("", 100, std::nullopt).error().to_string(),
            "sstable format error: internal key too short");
}

// The memtable against an ordered map fed the same inserts: enough keys for a tree several levels
// deep, keys that tie on their first 8 bytes, keys shorter than 8 bytes holding 0x00, keys that are
// prefixes of others, replacements; arrival orders random, ascending and descending.
TEST(MemtableTest, AgreesWithAnOrderedMapOnOrderBoundsAndReplacements) {
  std::mt19937_64 rng(7);
  auto random_key = [&] {
    static const std::vector<std::string> stems = {"", "a", "a\0"s, "tbl/users/", "tbl/users/row-0000", "\xff\xff"s};
    std::string key = stems[rng() % stems.size()];
    const std::size_t extra = rng() % 12;
    for (std::size_t i = 0; i < extra; ++i) key.push_back("\0ab\xff"[rng() % 4]);
    return key;
  };
  std::vector<std::string> keys;
  for (int i = 0; i < 40000; ++i) keys.push_back(random_key());
  std::vector<std::string> sorted = keys;
  std::sort(sorted.begin(), sorted.end());
  std::vector<std::string> descending(sorted.rbegin(), sorted.rend());

  for (const auto* order : {&keys, &sorted, &descending}) {
    Memtable m;
    std::map<std::string, std::string> model;
    std::uint64_t bytes = 0;
    for (const std::string& key : *order) {
      std::string value(rng() % 40, static_cast<char>('a' + rng() % 26));
      auto [it, inserted] = model.try_emplace(key);
      if (!inserted) bytes -= key.size() + it->second.size();
      it->second = value;
      bytes += key.size() + value.size();
      m.insert(key, value);
    }
    ASSERT_EQ(m.size(), model.size());
    EXPECT_EQ(m.approx_bytes(), bytes);

    const std::vector<std::pair<std::string, std::string>> expected(model.begin(), model.end());
    std::vector<std::pair<std::string, std::string>> forward;
    for (const auto& [key, value] : m) forward.emplace_back(key, value);
    EXPECT_EQ(forward, expected);

    std::vector<std::pair<std::string, std::string>> backward;
    for (auto it = m.end(); it != m.begin();) {
      --it;
      backward.emplace_back(it.key(), it.value());
    }
    std::reverse(backward.begin(), backward.end());
    EXPECT_EQ(backward, expected);

    for (int i = 0; i < 2000; ++i) {
      const std::string probe = random_key();
      auto expected = model.lower_bound(probe);
      auto got = m.lower_bound(probe);
      if (expected == model.end()) {
        EXPECT_TRUE(got == m.end()) << probe;
      } else {
        ASSERT_FALSE(got == m.end()) << probe;
        EXPECT_EQ(got.key(), expected->first);
      }
      const char suffix = "\0\x01\xff"[i % 3];
      auto expected_suffixed = model.lower_bound(probe + suffix);
      auto got_suffixed = m.lower_bound(probe, suffix);
      EXPECT_EQ(got_suffixed == m.end(), expected_suffixed == model.end());
      if (got_suffixed != m.end() && expected_suffixed != model.end()) {
        EXPECT_EQ(got_suffixed.key(), expected_suffixed->first);
      }
    }
  }
}

// Every insert either completes or, when an allocation fails, throws and changes nothing; after
// reserve_inserts the insert allocates nothing. Keys in random order make leaves and inner nodes
// split at many points, and values of every size make the arena start blocks of both kinds.
TEST(MemtableTest, FailedAllocationLeavesTheTableAsItWas) {
  Memtable m;
  std::map<std::string, std::string> model;
  std::mt19937_64 rng(7);
  int failed = 0;
  auto check = [&] {
    ASSERT_EQ(m.size(), model.size());
    std::uint64_t bytes = 0;
    auto it = model.begin();
    for (const auto& [key, value] : m) {
      ASSERT_EQ(key, it->first);
      ASSERT_EQ(value, it->second);
      bytes += key.size() + value.size();
      ++it;
    }
    EXPECT_EQ(m.approx_bytes(), bytes);
  };
  for (int i = 0; i < 10000; ++i) {
    const std::string key = encode_internal_key("k" + std::to_string(rng() % 8000), 1);
    const std::string value(rng() % 8 == 0 ? rng() % 40000 : rng() % 100, static_cast<char>('a' + i % 26));
    bool threw = false;
    {
      testing::AllocationFailure failure(1, 1);
      try {
        m.insert(key, value);
      } catch (const std::bad_alloc&) {
        threw = true;
      }
    }
    if (threw) {
      ++failed;
      check();
      m.reserve_inserts(1, key.size(), value.size());
      testing::AllocationFailure failure(1, 1);
      m.insert(key, value);
      EXPECT_FALSE(failure.disarm()) << "insert allocated after reserve_inserts";
    }
    model[key] = value;
    if (i % 500 == 0) {  // a reserved batch allocates nothing either
      std::vector<std::pair<std::string, std::string>> batch;
      std::size_t key_bytes = 0;
      std::size_t value_bytes = 0;
      for (int j = 0; j < 60; ++j) {
        batch.emplace_back(encode_internal_key("b" + std::to_string(rng() % 8000), 2), std::string(rng() % 300, 'b'));
        key_bytes += batch.back().first.size();
        value_bytes += batch.back().second.size();
      }
      m.reserve_inserts(batch.size(), key_bytes, value_bytes);
      testing::AllocationFailure failure(1, 1);
      for (const auto& [k, v] : batch) m.insert(k, v);
      EXPECT_FALSE(failure.disarm()) << "a reserved batch allocated";
      for (auto& [k, v] : batch) model[k] = v;
    }
  }
  check();
  EXPECT_GT(failed, 50);
}

TEST(MemtableTest, MovedFromMemtableIsEmptyAndUsable) {
  Memtable a;
  put(a, "k", 1, 0, ~0ULL, "doc");
  Memtable b = std::move(a);
  EXPECT_EQ(ts_of(b, "k", 10), 1u);
  EXPECT_TRUE(a.empty());  // NOLINT(bugprone-use-after-move): the moved-from state is specified
  EXPECT_EQ(a.approx_bytes(), 0u);
  EXPECT_TRUE(a.begin() == a.end());
  put(a, "k", 2, 0, ~0ULL, "again");
  EXPECT_EQ(ts_of(a, "k", 10), 2u);
}

}  // namespace
}  // namespace quenlordb::storage
