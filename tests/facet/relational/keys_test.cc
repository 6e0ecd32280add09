#include "facet/relational/keys.h"

#include <gtest/gtest.h>

namespace quenlordb::facet::relational {
namespace {

TEST(KeysTest, Templates) {
  EXPECT_EQ(row_key("t", "a/b"), "table/t/a/b");
  EXPECT_EQ(row_prefix("t"), "table/t/");
  EXPECT_EQ(pk_of_row_key(row_key("t", " "), row_prefix("t").size()), " ");
  EXPECT_EQ(pk_of_row_key(row_key("t", "a/b"), row_prefix("t").size()), "a/b");
  EXPECT_EQ(schema_key("t"), "__meta/table/t");
  EXPECT_EQ(kSchemaPrefix.size(), 13u);
  EXPECT_EQ(view_key("v"), "__meta/view/v");
  EXPECT_EQ(index_meta_key("t", "i"), "__meta/index/t/i");
  EXPECT_EQ(index_meta_prefix("t"), "__meta/index/t/");
  EXPECT_EQ(fts_index_meta_key("t", "i"), "__meta/fts_index/t/i");
  EXPECT_EQ(fts_index_meta_prefix("t"), "__meta/fts_index/t/");
  EXPECT_EQ(timeseries_meta_key("t"), "__meta/ts_table/t");
  EXPECT_EQ(stats_key("t"), "__meta/stats/t");
  EXPECT_EQ(posting_key("t", "run"), "__fts/t/run");
}

TEST(KeysTest, BucketNumbersArePaddedToSixteenDigits) {
  EXPECT_EQ(bucket_key("m", "v", 0), "__ts/m/v/0000000000000000");
  EXPECT_EQ(bucket_key("m", "v", 2), "__ts/m/v/0000000000000002");
  EXPECT_EQ(bucket_key("m", "v", 9999999999999999), "__ts/m/v/9999999999999999");
  EXPECT_EQ(bucket_key("m", "v", 12345678901234567), "__ts/m/v/12345678901234567");
  EXPECT_EQ(bucket_key("m", "v", UINT64_MAX), "__ts/m/v/18446744073709551615");
  // Padded keys of one column sort like their numbers, up to 16 digits.
  EXPECT_LT(bucket_key("m", "v", 9), bucket_key("m", "v", 10));
}

}  // namespace
}  // namespace quenlordb::facet::relational
