#include <gtest/gtest.h>

#include <string>

#include "util/json_document.h"

namespace quenlordb::util {
namespace {

std::string nested_arrays(std::size_t depth) { return std::string(depth, '[') + std::string(depth, ']'); }

TEST(JsonDocumentTest, GenericValueRules) {
  // Keys in byte order, the last of repeated keys kept, at any depth.
  auto v = parse_json_document(R"( {"b": 1, "a": {"y": 1, "x": 2, "y": 3}, "b": [true]} )");
  ASSERT_TRUE(v);
  EXPECT_EQ(v->dump(), R"({"a":{"x":2,"y":3},"b":[true]})");
  EXPECT_EQ(parse_json_document("\"\\u00e9\"")->get<std::string>(), "é");
}

TEST(JsonDocumentTest, NestingLimit) {
  EXPECT_TRUE(parse_json_document(nested_arrays(127)));
  auto deep = parse_json_document(nested_arrays(128));
  ASSERT_FALSE(deep);
  EXPECT_EQ(deep.error().kind(), ErrorKind::SerdeJson);
  EXPECT_EQ(deep.error().message(), "recursion limit exceeded");
  EXPECT_FALSE(parse_json_document(std::string(1'000'000, '{')));
}

TEST(JsonDocumentTest, RefusesWhatIsNotOneValue) {
  for (const char* text : {"", " ", "{} {}", "{\"a\":1} x", "[1,]", "{'a':1}", "nan", "\"\xff\"", "1e400"}) {
    auto r = parse_json_document(text);
    EXPECT_FALSE(r) << text;
    if (!r) {
      EXPECT_EQ(r.error().kind(), ErrorKind::SerdeJson) << text;
    }
  }
}

}  // namespace
}  // namespace quenlordb::util
