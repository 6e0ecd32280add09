#include "error.h"

#include <fcntl.h>
#include <gtest/gtest.h>

#include "util/file.h"

namespace quenlordb {
namespace {

TEST(ErrorTest, DisplayOfEveryKind) {
  struct Case {
    QuenlorError error;
    ErrorKind kind;
    const char* text;
  };
  const Case cases[] = {
      {QuenlorError::io(2), ErrorKind::Io, "io error: No such file or directory (os error 2)"},
      {QuenlorError::utf8_invalid(1, 3), ErrorKind::Utf8, "utf8 error: invalid utf-8 sequence of 1 bytes from index 3"},
      {QuenlorError::utf8_incomplete(7), ErrorKind::Utf8, "utf8 error: incomplete utf-8 byte sequence from index 7"},
      {QuenlorError::serde_json("duplicate field `version`"), ErrorKind::SerdeJson,
       "serde json error: duplicate field `version`"},
      {QuenlorError::int_conversion(), ErrorKind::IntConversion,
       "int conversion error: out of range integral type conversion attempted"},
      {QuenlorError::invalid_varint(), ErrorKind::InvalidVarint, "invalid varint"},
      {QuenlorError::wal_crc_mismatch(), ErrorKind::WalCrcMismatch, "wal crc mismatch"},
      {QuenlorError::wal_magic_mismatch(), ErrorKind::WalMagicMismatch, "wal magic mismatch"},
      {QuenlorError::sstable_format("internal key too short"), ErrorKind::SstableFormat,
       "sstable format error: internal key too short"},
      {QuenlorError::manifest_format("manifest shard count 4 != config shard count 2"), ErrorKind::ManifestFormat,
       "manifest format error: manifest shard count 4 != config shard count 2"},
      {QuenlorError::config_invalid("shard_count must be > 0"), ErrorKind::ConfigInvalid,
       "config error: shard_count must be > 0"},
      {QuenlorError::sql_parse("no SQL statements found"), ErrorKind::SqlParse, "sql parse error: no SQL statements found"},
      {QuenlorError::sql_execution("x"), ErrorKind::SqlExecution, "sql execution error: x"},
      {QuenlorError::not_found(), ErrorKind::NotFound, "not found"},
      {QuenlorError::channel_closed(), ErrorKind::ChannelClosed, "channel closed"},
      {QuenlorError::feature_not_enabled("ai"), ErrorKind::FeatureNotEnabled, "feature not enabled: ai"},
  };
  for (const Case& tc : cases) {
    EXPECT_EQ(tc.error.kind(), tc.kind) << tc.text;
    EXPECT_EQ(tc.error.to_string(), tc.text);
  }
  EXPECT_EQ(static_cast<int>(ErrorKind::FeatureNotEnabled), 14);
}

TEST(ErrorTest, IoTextFromARealFailingCall) {
  auto r = util::File::open("/nonexistent-quenlordb-dir/x", O_RDONLY);
  ASSERT_FALSE(r);
  EXPECT_EQ(r.error().os_error(), 2);
  EXPECT_EQ(r.error().to_string(), "io error: No such file or directory (os error 2)");
  EXPECT_EQ(QuenlorError::io(27).to_string(), "io error: File too large (os error 27)");
}

Result<int> parse_positive(int v) {
  if (v <= 0) return fail(QuenlorError::invalid_varint());
  return v;
}

Result<int> doubled(int v) { return TRY(parse_positive(v)) * 2; }

Result<void> check(int v) {
  TRY(parse_positive(v));
  return {};
}

TEST(ErrorTest, TryPassesErrorsUpAndYieldsValues) {
  EXPECT_EQ(doubled(4).value(), 8);
  EXPECT_EQ(doubled(-1).error().kind(), ErrorKind::InvalidVarint);
  EXPECT_TRUE(check(1).has_value());
  EXPECT_FALSE(check(0).has_value());
}

TEST(ErrorTest, PanicCarriesItsMessage) {
  try {
    panic("index out of range");
    FAIL();
  } catch (const Panic& p) {
    EXPECT_STREQ(p.what(), "index out of range");
  }
}

}  // namespace
}  // namespace quenlordb
