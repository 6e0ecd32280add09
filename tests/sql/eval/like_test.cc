#include <gtest/gtest.h>

#include <random>
#include <span>
#include <string>

#include "sql/eval/like.h"

namespace quenlordb::sql::eval {
namespace {

// The matcher as the dialect defines it: at a run of %, try the rest of the pattern at every text
// position in turn. Exponential in the number of % runs; the reference for small inputs only.
bool reference_match(std::u32string_view t, std::u32string_view p, std::size_t ti, std::size_t pi) {
  while (pi < p.size()) {
    if (p[pi] == U'%') {
      while (pi < p.size() && p[pi] == U'%') ++pi;
      if (pi == p.size()) return true;
      for (std::size_t k = ti; k <= t.size(); ++k) {
        if (reference_match(t, p, k, pi)) return true;
      }
      return false;
    }
    if (ti == t.size()) return false;
    if (p[pi] != U'_' && p[pi] != t[ti]) return false;
    ++pi;
    ++ti;
  }
  return ti == t.size();
}

TEST(LikeTest, Patterns) {
  struct Case {
    const char* text;
    const char* pattern;
    bool want;
  };
  const Case cases[] = {
      {"abc", "abc", true},   {"abc", "ab", false},     {"ab", "abc", false},   {"abc", "a%", true},
      {"abc", "%c", true},    {"abc", "%b%", true},     {"abc", "%d%", false},  {"abc", "_b_", true},
      {"abc", "___", true},   {"abc", "____", false},   {"", "", true},         {"", "%", true},
      {"", "%%", true},       {"", "_", false},         {"a", "", false},       {"abc", "a%%c", true},
      {"abcbc", "%bc", true}, {"abcbd", "a%bc", false}, {"aXbXc", "a%b%c", true}, {"mississippi", "m%iss%ppi", true},
      {"mississippi", "%s_s%", true}, {"%", "%", true}, {"_", "_", true},     {"a%", "a%", true},
      {"é", "_", true},       {"é", "__", false},       {"éa", "%a", true},     {"日本語", "日%", true},
      {"😀", "_", true},       {"A", "a", false},
  };
  for (const Case& c : cases) EXPECT_EQ(like_match(c.text, c.pattern), c.want) << c.text << " LIKE " << c.pattern;
}

// The linear matcher must agree with the definition everywhere; small alphabets make the
// backtracking cases frequent.
TEST(LikeTest, AgreesWithTheDefinitionOnRandomInputs) {
  std::mt19937 rng(20261210);
  const std::u32string text_chars = U"abé";
  const std::u32string pattern_chars = U"abé%_";
  auto random_string = [&](const std::u32string& alphabet, std::size_t max_len) {
    std::u32string s(rng() % (max_len + 1), U' ');
    for (char32_t& c : s) c = alphabet[rng() % alphabet.size()];
    return s;
  };
  for (int i = 0; i < 20000; ++i) {
    const std::u32string t = random_string(text_chars, 8);
    const std::u32string p = random_string(pattern_chars, 7);
    ASSERT_EQ(like_match_inner(t, p, 0, 0), reference_match(t, p, 0, 0)) << "case " << i;
    // And through the UTF-8 entry, which may take the byte path.
    std::string t8, p8;
    for (char32_t c : t) t8 += c == U'é' ? "é" : std::string(1, static_cast<char>(c));
    for (char32_t c : p) p8 += c == U'é' ? "é" : std::string(1, static_cast<char>(c));
    ASSERT_EQ(like_match(t8, p8), reference_match(t, p, 0, 0)) << t8 << " LIKE " << p8;
  }
}

// Patterns without `_` are matched run by run on the bytes; they must answer as the character
// walker does. Over two letters, runs overlap and repeat often in longer texts; é and a byte that
// is not UTF-8 (one character, U+FFFD, in either operand) cross the byte and character views; a
// rare `_` sends the pattern to the walker.
TEST(LikeTest, RunSearchAgreesWithTheWalker) {
  struct Piece {
    const char* utf8;
    char32_t c;
  };
  const Piece text_pieces[] = {{"a", U'a'}, {"b", U'b'}, {"a", U'a'}, {"b", U'b'}, {"é", U'é'}, {"\xff", 0xFFFD}};
  const Piece pattern_pieces[] = {{"a", U'a'}, {"b", U'b'}, {"a", U'a'},  {"b", U'b'},          {"%", U'%'},
                                  {"%", U'%'}, {"é", U'é'}, {"_", U'_'}, {"\xff", 0xFFFD}};
  std::mt19937 rng(32);
  auto random_string = [&](std::span<const Piece> pieces, std::size_t max_len, std::string& utf8) {
    std::u32string chars;
    utf8.clear();
    for (std::size_t n = rng() % (max_len + 1); n > 0; --n) {
      // The last two pieces are rare.
      const std::size_t k = rng() % 8 == 0 ? rng() % pieces.size() : rng() % (pieces.size() - 2);
      utf8 += pieces[k].utf8;
      chars += pieces[k].c;
    }
    return chars;
  };
  std::string t8, p8;
  for (int i = 0; i < 50000; ++i) {
    const std::u32string t = random_string(text_pieces, 1 + i % 40, t8);
    const std::u32string p = random_string(pattern_pieces, 1 + i % 12, p8);
    ASSERT_EQ(like_match(t8, p8), like_match_inner(t, p, 0, 0))
        << ::testing::PrintToString(t8) << " LIKE " << ::testing::PrintToString(p8);
  }
}

TEST(LikeTest, InnerStartsAtTheGivenPositions) {
  EXPECT_TRUE(like_match_inner(U"xxabc", U"yya%", 2, 2));
  EXPECT_FALSE(like_match_inner(U"xxabc", U"a%", 1, 0));
  EXPECT_TRUE(like_match_inner(U"abc", U"abc", 3, 3));
}

// Many % runs against a text that almost matches: the plain backtracking matcher takes ~30^8
// steps here; this one returns at once (no time limit is asserted, a hang would show as a timeout).
TEST(LikeTest, ManyWildcardRunsStayFast) {
  const std::string text(30, 'a');
  EXPECT_FALSE(like_match(text, "%a%a%a%a%a%a%a%b"));
  EXPECT_FALSE(ilike_match(text, "%A%A%A%A%A%A%A%B"));
  const std::string long_text(20000, 'a');
  std::string pattern;
  for (int i = 0; i < 200; ++i) pattern += "%a";
  EXPECT_TRUE(like_match(long_text, pattern + "%"));
  EXPECT_FALSE(like_match(long_text, pattern + "%b"));
  const std::u32string t32(5000, U'é');
  EXPECT_FALSE(like_match_inner(t32, U"%é%é%é%é%é%é%_%x", 0, 0));
}

TEST(IlikeTest, FullLowerCaseMapping) {
  EXPECT_TRUE(ilike_match("ÀB", "àb"));
  EXPECT_TRUE(ilike_match("àb", "ÀB"));
  EXPECT_TRUE(ilike_match("İ", "i_"));      // İ becomes i and U+0307: two characters
  EXPECT_FALSE(ilike_match("İ", "_"));
  EXPECT_TRUE(ilike_match("ΣΑΣ", "σας"));   // only the word-final sigma becomes ς
  EXPECT_FALSE(ilike_match("ΣΑΣ", "σασ"));
  EXPECT_TRUE(ilike_match("ǅ", "ǆ"));
  // The same past the first cut of a long text.
  const std::string as(std::size_t{1} << 20, 'a');
  EXPECT_TRUE(ilike_match(as + "Σ", "%aς"));
  EXPECT_FALSE(ilike_match(as + "Σ", "%σ"));
  EXPECT_TRUE(ilike_match(as + "ΣΑ", "%aσα"));
}

}  // namespace
}  // namespace quenlordb::sql::eval
