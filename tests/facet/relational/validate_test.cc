#include "facet/relational/validate.h"

#include <gtest/gtest.h>

#include <string>

namespace quenlordb::facet::relational {
namespace {

TEST(ValidateTest, PrimaryKeys) {
  EXPECT_TRUE(validate_pk(" "));
  EXPECT_TRUE(validate_pk("a/b"));
  EXPECT_TRUE(validate_pk("\xc3\xa9"));
  EXPECT_EQ(validate_pk("").error(), QuenlorError::sql_execution("pk cannot be empty"));
  EXPECT_EQ(validate_pk(std::string("a\0b", 3)).error(), QuenlorError::sql_execution("pk must not contain null bytes"));
}

TEST(ValidateTest, Identifiers) {
  for (std::string_view ok : {"a", "a_b-1", "ABC", "0", "-", "_"}) EXPECT_TRUE(validate_identifier_kind("table", ok)) << ok;
  for (std::string_view bad : {"a.b", "a b", "\xc3\xa9", "a/b", "a\tb", "x'"}) {
    auto r = validate_identifier_kind("table", bad);
    ASSERT_FALSE(r) << bad;
    EXPECT_EQ(r.error(), QuenlorError::sql_execution("table name must be ascii alnum/_/-")) << bad;
  }
  EXPECT_EQ(validate_identifier_kind("view", "").error(), QuenlorError::sql_execution("view name cannot be empty"));
  EXPECT_EQ(validate_identifier_kind("identifier", "a b").error(),
            QuenlorError::sql_execution("identifier name must be ascii alnum/_/-"));
}

std::string nested(std::size_t depth) { return std::string(depth, '[') + std::string(depth, ']'); }

TEST(ValidateTest, JsonDocuments) {
  for (std::string_view ok : {"{}", "1", "\"x\"", "[1,{\"a\":null}]", " {\"a\":1,\"a\":2} "}) {
    EXPECT_TRUE(validate_json_bytes(ok)) << ok;
  }
  EXPECT_TRUE(validate_json_bytes(nested(127)));
  for (const std::string& bad : {std::string(""), std::string("{"), std::string("{} x"), std::string("\"\xff\""),
                                 std::string("nope"), nested(128), nested(1'000'000)}) {
    auto r = validate_json_bytes(bad);
    ASSERT_FALSE(r) << bad.substr(0, 20);
    EXPECT_EQ(r.error().kind(), ErrorKind::SerdeJson);
    EXPECT_TRUE(r.error().to_string().starts_with("serde json error: ")) << r.error().to_string();
  }
}

}  // namespace
}  // namespace quenlordb::facet::relational
