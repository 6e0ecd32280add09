#include "facet/timeseries/bucket.h"

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

namespace quenlordb::facet::timeseries {
namespace {

TEST(BucketTest, EncodesCompactWithFloatValues) {
  const Bucket bucket{{{7200, 21}, {7200, -0.5}, {UINT64_MAX, 1e300}}};
  const std::string bytes = Bucket::encode(bucket);
  EXPECT_EQ(bytes,
            R"({"points":[{"timestamp":7200,"value":21.0},{"timestamp":7200,"value":-0.5},)"
            R"({"timestamp":18446744073709551615,"value":1e+300}]})");
  EXPECT_EQ(Bucket::decode(bytes).value(), bucket);
  EXPECT_EQ(Bucket::encode(Bucket{}), R"({"points":[]})");
}

TEST(BucketTest, DecodeFollowsTheRecordRules) {
  // Accepted forms: other members skipped, integer values read as floats, the array form.
  EXPECT_EQ(Bucket::decode(R"({"x":[1],"points":[{"value":3,"timestamp":5,"y":null}]})").value(),
            (Bucket{{{5, 3.0}}}));
  EXPECT_EQ(Bucket::decode(R"({"points":[[5,2.5]]})").value(), (Bucket{{{5, 2.5}}}));
  struct Case {
    std::string_view bytes;
    std::string_view message;
  };
  const Case cases[] = {
      {"{}", "missing field `points`"},
      {R"({"points":[{"timestamp":1}]})", "missing field `value`"},
      {R"({"points":[],"points":[]})", "duplicate field `points`"},
      {R"({"points":[{"timestamp":1,"timestamp":2,"value":1}]})", "duplicate field `timestamp`"},
      {R"({"points":[[1]]})", "invalid length 1, expected struct DataPoint with 2 elements"},
      {"[]", "invalid length 0, expected struct Bucket with 1 element"},
      {"7", "invalid type: integer `7`, expected struct Bucket"},
      {R"({"points":[{"timestamp":-1,"value":1}]})", ""},
      {"", ""},
  };
  for (const Case& c : cases) {
    Result<Bucket> r = Bucket::decode(c.bytes);
    ASSERT_FALSE(r) << c.bytes;
    EXPECT_EQ(r.error().kind(), ErrorKind::SqlExecution) << c.bytes;
    if (!c.message.empty()) {
      EXPECT_EQ(r.error().message(), c.message) << c.bytes;
    }
  }
}

// Buckets in the form encode writes are read without the record reader; any other text (white space
// after it, say) takes the reader's way. Both must accept the same texts, with the same points, for
// generated buckets and their mutations.
TEST(BucketTest, PlainBucketsReadAsTheRecordReaderReadsThem) {
  std::mt19937_64 rng(35);
  const std::vector<std::string> values = {"21.0", "-0.5", "1e+300", "7", "-0", "0", "1E5", "2.50", "-12e-3",
                                           "1e400", "01", "1.", "-", ".5", "null", "\"1\""};
  const std::vector<std::string> stamps = {"0", "7200", "18446744073709551615", "18446744073709551616", "-1",
                                           "1.0", "007", "1e3"};
  const std::vector<std::string> noise = {" ", ",", "}", "]", "{", "\"", ":", "x"};
  int plain = 0;
  for (int round = 0; round < 3000; ++round) {
    std::string text = "{\"points\":[";
    for (int n = static_cast<int>(rng() % 4), i = 0; i < n; ++i) {
      if (i) text += ",";
      text += "{\"timestamp\":" + stamps[rng() % (rng() % 2 ? 3 : stamps.size())] + ",\"value\":" +
              values[rng() % (rng() % 2 ? 7 : values.size())] + "}";
    }
    text += "]}";
    if (rng() % 4 == 0) text.insert(rng() % (text.size() + 1), noise[rng() % noise.size()]);
    const Result<Bucket> got = Bucket::decode(text);
    const Result<Bucket> want = Bucket::decode(text + " ");
    ASSERT_EQ(got.has_value(), want.has_value()) << text;
    if (want) {
      ++plain;
      EXPECT_EQ(*got, *want) << text;
    }
  }
  EXPECT_GT(plain, 500);
}

}  // namespace
}  // namespace quenlordb::facet::timeseries
