#include "hasher.h"

#include <gtest/gtest.h>

namespace quenlordb {
namespace {

using namespace std::string_view_literals;

TEST(HasherTest, FnvMixVectors) {
  struct Case {
    std::string_view input;
    std::uint64_t hash;
  };
  const Case cases[] = {
      {""sv, 0xcbf29ce484222325ULL},
      {"abc"sv, 0x3be5b87edc91fa43ULL},
      {"a"sv, 0xaf63dc4c296230c0ULL},
      {"b"sv, 0xaf63df4c29622ee9ULL},
      {"\xff"sv, 0xaf64724c29669922ULL},  // a high byte is taken unsigned
      {"a\0b"sv, 0x6d87ab7f56f47827ULL},  // a zero byte does not end the input
  };
  std::shared_ptr<const Hasher> hasher = build_hasher();
  EXPECT_EQ(hasher->name(), "fnv64-mix");
  for (const Case& c : cases) EXPECT_EQ(hasher->hash64(c.input), c.hash) << c.input.size() << " bytes";
}

}  // namespace
}  // namespace quenlordb
