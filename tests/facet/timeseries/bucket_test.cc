#include "facet/timeseries/bucket.h"

#include <gtest/gtest.h>

#include <string>

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

}  // namespace
}  // namespace quenlordb::facet::timeseries
