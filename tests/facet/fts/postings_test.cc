#include "facet/fts/postings.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "engine/engine_test_util.h"
#include "support/temp_dir.h"
#include "util/json_record.h"

namespace quenlordb::facet::fts {
namespace {

using Keys = std::vector<std::string>;
constexpr std::uint64_t kForever = ~0ULL;

TEST(PostingListTest, EncodesCompactAndReadsBack) {
  const Keys pks = {"a", "b\"c", "ü/1", ""};
  const std::string bytes = encode_posting_list(pks);
  EXPECT_EQ(bytes, R"(["a","b\"c","ü/1",""])");
  EXPECT_EQ(decode_posting_list(bytes).value(), pks);
  EXPECT_EQ(encode_posting_list({}), "[]");
}

TEST(PostingListTest, DecodeRefusesWhatIsNotAnArrayOfTexts) {
  for (std::string_view bytes : {"", "{", R"({"a":1})", "[1]", R"(["a",null])", "[] x"}) {
    Result<Keys> r = decode_posting_list(bytes);
    ASSERT_FALSE(r) << bytes;
    EXPECT_EQ(r.error().kind(), ErrorKind::SqlExecution) << bytes;
    EXPECT_FALSE(r.error().message().empty()) << bytes;
  }
  EXPECT_EQ(decode_posting_list("[1]").error().message(), "invalid type: integer `1`, expected a string");
}

TEST(PostingListTest, MergeAppendsOnceAndRepairsBadValues) {
  struct Case {
    std::optional<std::string_view> current;
    std::string_view pk;
    std::string_view expected;
  };
  const Case cases[] = {
      {std::nullopt, "r1", R"(["r1"])"},
      {"", "r1", R"(["r1"])"},
      {"not json", "r1", R"(["r1"])"},
      {"[7]", "r1", R"(["r1"])"},
      {R"(["r1"])", "r2", R"(["r1","r2"])"},
      {R"(["r1","r2"])", "r1", R"(["r1","r2"])"},
      {R"([ "r1" ])", "r1", R"(["r1"])"},  // rewritten compactly even when unchanged
      {R"(["R1"])", "r1", R"(["R1","r1"])"},  // byte-for-byte comparison
  };
  for (const Case& c : cases) EXPECT_EQ(merge_posting(c.current, c.pk), c.expected) << c.expected;
}

// Lists in the compact form with plain keys are read and merged on their bytes; everything else
// goes through the JSON reader. Over lists generated with keys that need escapes, hold multi-byte
// or invalid UTF-8, and over mutations of them (a byte dropped, changed or white space added),
// both must answer as the JSON reader and encode_posting_list would.
TEST(PostingListTest, PlainListsReadAndMergeAsTheJsonReaderDoes) {
  auto reference_decode = [](std::string_view bytes) -> Result<Keys> {
    Result<util::OrderedJson> value = util::parse_json_record(bytes);
    if (!value) return fail(QuenlorError::sql_execution(value.error().message()));
    Result<Keys> pks = util::read_json_strings(*value);
    if (!pks) return fail(QuenlorError::sql_execution(pks.error().message()));
    return pks;
  };
  std::mt19937_64 rng(131);
  const std::vector<std::string> pieces = {"a", "r1", "\xc3\xbc", "\xe2\x82\xac", "\xf0\x9f\x98\x80", "\"",
                                           "\\", "\n", "\x01", "\x7f", "\xc3", "\xed\xa0\x80", "\xc0\xaf", "/", ","};
  const std::vector<std::string> noise = {" ", "]", "[", "\"", ",", "\\", "\xff", "1", "\n"};
  auto key = [&] {
    std::string k;
    for (std::size_t n = rng() % 4; n > 0; --n) k += pieces[rng() % (rng() % 3 == 0 ? pieces.size() : 5)];
    return k;
  };
  const std::vector<std::string> plain_pieces = {"a", "r1", "\xc3\xbc", "\xe2\x82\xac", ",", "[", "]", "/", "\x7f"};
  auto plain_key = [&] {
    std::string k;
    for (std::size_t n = rng() % 4; n > 0; --n) k += plain_pieces[rng() % plain_pieces.size()];
    return k;
  };
  int plain = 0;
  int held_in_place = 0;
  for (int round = 0; round < 6000; ++round) {
    // Long lists too, so that the keys and the faults fall anywhere in a list read by blocks.
    Keys keys;
    for (std::size_t n = round % 3 == 2 ? rng() % 120 : rng() % 5; n > 0; --n) {
      keys.push_back(round % 3 == 2 ? plain_key() : key());
    }
    std::string bytes = encode_posting_list(keys);
    switch (rng() % 4) {
      case 0: break;
      case 1: bytes.erase(rng() % bytes.size(), 1); break;
      case 2: bytes[rng() % bytes.size()] = noise[rng() % noise.size()][0]; break;
      case 3: bytes.insert(rng() % (bytes.size() + 1), noise[rng() % noise.size()]); break;
    }
    const Result<Keys> want = reference_decode(bytes);
    const Result<Keys> got = decode_posting_list(bytes);
    ASSERT_EQ(got.has_value(), want.has_value()) << ::testing::PrintToString(bytes);
    if (want) {
      ++plain;
      EXPECT_EQ(*got, *want) << ::testing::PrintToString(bytes);
    } else {
      EXPECT_EQ(got.error(), want.error()) << ::testing::PrintToString(bytes);
    }
    const std::string pk = rng() % 2 && want && !want->empty() ? (*want)[rng() % want->size()] : key();
    Keys merged = want ? *want : Keys{};
    if (std::find(merged.begin(), merged.end(), pk) == merged.end()) merged.push_back(pk);
    EXPECT_EQ(merge_posting(std::string_view(bytes), pk), encode_posting_list(merged))
        << ::testing::PrintToString(bytes) << " + " << ::testing::PrintToString(pk);
    // The test in place answers as a held list does whether adding the key changes nothing.
    PostingList held(bytes);
    held.add(pk);
    const bool in_place = plain_list_holds(bytes, pk);
    EXPECT_EQ(in_place, !held.changed()) << ::testing::PrintToString(bytes) << " + " << ::testing::PrintToString(pk);
    held_in_place += in_place;
  }
  EXPECT_GT(plain, 1000);  // a good part of the generated lists decode
  EXPECT_GT(held_in_place, 500);
}

// The test in place reads lists of several blocks: each single-byte fault at every place of a long
// list (a quote, a comma, a bracket or a backslash put in or for a byte, a byte dropped) and lists
// whose last quote opens a key answer as a held list does, for a listed key and another.
TEST(PostingListTest, ListTestedInPlaceAgreesWithTheHeldListAtEveryPlace) {
  Keys keys;
  for (int i = 0; i < 40; ++i) keys.push_back(i % 7 == 3 ? "k," + std::to_string(i) : "k" + std::to_string(i * 37));
  const std::string list = encode_posting_list(keys);
  std::vector<std::string> variants = {R"(["a","])", R"(["a",""])", R"(["a","a])", list.substr(0, list.size() - 1) + ",\"]"};
  for (std::size_t at = 0; at <= list.size(); ++at) {
    for (const char c : {'"', ',', ']', '\\'}) {
      variants.push_back(std::string(list).insert(at, 1, c));
      if (at < list.size()) variants.push_back(std::string(list).replace(at, 1, 1, c));
    }
    if (at < list.size()) variants.push_back(std::string(list).erase(at, 1));
  }
  int held_in_place = 0;
  for (const std::string& bytes : variants) {
    for (const std::string& pk : {std::string("a"), keys[3], keys[39], std::string("k")}) {
      PostingList held(bytes);
      held.add(pk);
      const bool in_place = plain_list_holds(bytes, pk);
      EXPECT_EQ(in_place, !held.changed()) << bytes << " + " << pk;
      held_in_place += in_place;
    }
  }
  EXPECT_GT(held_in_place, 10);
}

// A list held decoded gives, after any additions, the bytes merge_posting of each addition in turn
// leaves, and reports a change exactly when those differ from the stored bytes: over stored lists
// absent, empty, ascending, unordered, repeating a key, in another form than the compact one, with
// keys that need escapes, and broken; and additions of listed keys, new keys and repeats.
TEST(PostingListTest, HeldDecodedListAddsAsMergePostingDoes) {
  std::mt19937_64 rng(37);
  const std::vector<std::optional<std::string>> stored = {
      std::nullopt, "[]", R"(["a","c","e"])", R"(["e","a","c"])", R"(["a","a","b"])", R"([ "a" , "c" ])",
      R"(["a\"q","b\u0041","\\"])", "[broken", R"(["a",1])", R"(["\u00fc","c"])"};
  const std::vector<std::string> pool = {"a", "b", "c", "d", "e", "f", "A", "a\"q", "", "\xc3\xbc", "zz"};
  for (const std::optional<std::string>& value : stored) {
    for (int round = 0; round < 200; ++round) {
      PostingList list(value);
      std::optional<std::string> merged = value;
      const int additions = static_cast<int>(rng() % 6);
      std::vector<std::string> added;  // the list views what it is given
      added.reserve(additions);
      for (int i = 0; i < additions; ++i) {
        added.push_back(rng() % 3 ? pool[rng() % 6] : pool[rng() % pool.size()]);
        list.add(added.back());
        merged = merge_posting(merged ? std::optional<std::string_view>(*merged) : std::nullopt, added.back());
        ASSERT_TRUE(list.contains(added.back()));
      }
      const std::string bytes = list.encode();
      if (additions > 0) {
        EXPECT_EQ(bytes, *merged) << value.value_or("(absent)") << " + " << ::testing::PrintToString(added);
      }
      EXPECT_EQ(list.changed(), !value || bytes != *value) << value.value_or("(absent)");
      const Keys listed = engine::testing::must(decode_posting_list(bytes));
      for (const std::string& key : pool) {
        EXPECT_EQ(list.contains(key), std::find(listed.begin(), listed.end(), key) != listed.end()) << key;
      }
    }
  }
}

// A run of ascending keys added at once gives what adding each in turn gives: over the same stored
// lists, after single additions, with runs above every listed key, overlapping them and below them.
TEST(PostingListTest, AscendingRunAddsAsEachKeyInTurn) {
  std::mt19937_64 rng(41);
  const std::vector<std::optional<std::string>> stored = {std::nullopt, "[]", R"(["a","c","e"])", R"(["e","a","c"])",
                                                          R"([ "a" , "c" ])", "[broken"};
  const std::vector<std::string> pool = {"", "A", "a", "b", "c", "d", "e", "f", "zz", "\xc3\xbc"};  // ascending
  for (const std::optional<std::string>& value : stored) {
    for (int round = 0; round < 200; ++round) {
      PostingList bulk(value);
      PostingList single(value);
      const int additions = static_cast<int>(rng() % 3);
      for (int i = 0; i < additions; ++i) {
        const std::string& key = pool[rng() % pool.size()];
        bulk.add(key);
        single.add(key);
      }
      std::vector<std::string_view> run;
      for (const std::string& key : pool) {
        if (rng() % 3 == 0) run.push_back(key);
      }
      bulk.add_ascending(run);
      for (std::string_view key : run) single.add(key);
      ASSERT_EQ(bulk.encode(), single.encode()) << value.value_or("(absent)") << " + " << ::testing::PrintToString(run);
      EXPECT_EQ(bulk.changed(), single.changed());
      for (const std::string& key : pool) EXPECT_EQ(bulk.contains(key), single.contains(key)) << key;
    }
  }
}

class MatchQueryTest : public ::testing::Test {
 protected:
  void SetUp() override { db = engine::testing::open_db(dir.file("db"), engine::testing::test_config(2)); }
  void list(std::string_view term, std::string value) {
    engine::testing::must(db->put(posting_key("docs", term), std::move(value), 0, kForever));
  }
  Keys match(std::string_view query) { return engine::testing::must(match_query_pks(query, "docs", *db)); }

  quenlordb::testing::TempDir dir;
  std::unique_ptr<engine::Database> db;
};

TEST_F(MatchQueryTest, IntersectsInTheFirstTermsOrder) {
  list("alpha", R"(["c","a","b"])");
  list("beta", R"(["b","c","z"])");
  list("run", R"(["a"])");
  EXPECT_EQ(match("alpha"), (Keys{"c", "a", "b"}));
  EXPECT_EQ(match("Alpha, BETA!"), (Keys{"c", "b"}));
  EXPECT_EQ(match("beta alpha"), (Keys{"b", "c"}));
  EXPECT_EQ(match("alpha gamma"), Keys{});  // an absent list is empty
  EXPECT_EQ(match("a b ? !"), Keys{});      // no tokens
  EXPECT_EQ(match("runs"), Keys{"a"});      // the query is stemmed like the index
}

TEST_F(MatchQueryTest, CorruptListFails) {
  list("alpha", R"(["a"])");
  list("beta", "{broken");
  Result<Keys> r = match_query_pks("alpha beta", "docs", *db);
  ASSERT_FALSE(r);
  EXPECT_EQ(r.error().kind(), ErrorKind::SqlExecution);
  EXPECT_EQ(match("alpha"), Keys{"a"});
  EXPECT_EQ(posting_key("docs", "alpha"), "__fts/docs/alpha");
}

}  // namespace
}  // namespace quenlordb::facet::fts
