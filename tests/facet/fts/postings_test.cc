#include "facet/fts/postings.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "engine/engine_test_util.h"
#include "support/temp_dir.h"

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
