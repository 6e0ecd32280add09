#include "util/utf8.h"

#include <gtest/gtest.h>

namespace quenlordb::util {
namespace {

TEST(Utf8Test, ValidatesAndLocatesTheFault) {
  struct Case {
    std::string_view text;
    const char* error;  // nullptr: valid
  };
  const Case cases[] = {
      {"", nullptr},
      {"plain l1-7.sst", nullptr},
      {"\xc3\xa9\xe2\x82\xac\xf0\x9f\x98\x80\xf4\x8f\xbf\xbf", nullptr},  // é € 😀 U+10FFFF
      {"a\x80", "invalid utf-8 sequence of 1 bytes from index 1"},
      {"\xc0\xaf", "invalid utf-8 sequence of 1 bytes from index 0"},        // overlong
      {"\xe0\x80\x80", "invalid utf-8 sequence of 1 bytes from index 0"},    // overlong
      {"\xed\xa0\x80", "invalid utf-8 sequence of 1 bytes from index 0"},    // surrogate
      {"\xf4\x90\x80\x80", "invalid utf-8 sequence of 1 bytes from index 0"},  // above U+10FFFF
      {"ab\xe2\x82x", "invalid utf-8 sequence of 2 bytes from index 2"},
      {"ab\xe2\x82", "incomplete utf-8 byte sequence from index 2"},
      {"\xf0\x9f\x98", "incomplete utf-8 byte sequence from index 0"},
  };
  for (const Case& c : cases) {
    auto r = validate_utf8(c.text);
    if (c.error == nullptr) {
      EXPECT_TRUE(r) << r.error().to_string();
    } else {
      ASSERT_FALSE(r);
      EXPECT_EQ(r.error().kind(), ErrorKind::Utf8);
      EXPECT_EQ(r.error().message(), c.error);
    }
  }
}

}  // namespace
}  // namespace quenlordb::util
