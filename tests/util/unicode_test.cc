#include "util/unicode.h"

#include <gtest/gtest.h>

#include <string>

#include "util/utf8.h"

namespace quenlordb::util {
namespace {

TEST(UnicodeTest, Properties) {
  struct Case {
    char32_t c;
    bool white, alphabetic, numeric;
  };
  const Case cases[] = {
      {U' ', true, false, false},      {U'\t', true, false, false},    {0x85, true, false, false},
      {0xA0, true, false, false},      {0x3000, true, false, false},   {0x200B, false, false, false},  // ZWSP is not
      {U'a', false, true, false},      {U'Z', false, true, false},     {U'7', false, false, true},
      {U'_', false, false, false},     {U'é', false, true, false},     {U'ß', false, true, false},
      {0x093F, false, true, false},    // Devanagari vowel sign I: a combining mark, yet Alphabetic
      {0x0301, false, false, false},   // combining acute: not Alphabetic
      {0x0967, false, false, true},    // Devanagari digit one
      {U'½', false, false, true},      {0x2162, false, true, true},    // Ⅲ is both
      {0xFFFD, false, false, false},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(is_white_space(c.c), c.white) << std::hex << static_cast<unsigned>(c.c);
    EXPECT_EQ(is_alphabetic(c.c), c.alphabetic) << std::hex << static_cast<unsigned>(c.c);
    EXPECT_EQ(is_numeric(c.c), c.numeric) << std::hex << static_cast<unsigned>(c.c);
  }
}

TEST(UnicodeTest, FullCaseMapping) {
  struct Case {
    std::string_view text, lower, upper;
  };
  const Case cases[] = {
      {"Hello, World", "hello, world", "HELLO, WORLD"},
      {"Straße", "straße", "STRASSE"},           // one character becomes two
      {"ǆ É", "ǆ é", "Ǆ É"},
      {"İ", "i\xcc\x87", "İ"},                   // dotted capital I lower-cases to i + combining dot
      {"ΐ", "ΐ", "\xce\x99\xcc\x88\xcc\x81"},  // one code point upper-cases to three
      {"ΟΔΟΣ ΣΑ", "οδος σα", "ΟΔΟΣ ΣΑ"},         // Final_Sigma: word-final Σ gives ς, others σ
      {"a\xff" "É", "a\xff" "é", "A\xff" "É"},   // bytes that are not UTF-8 pass through
      {"", "", ""},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(to_lower_full(c.text), c.lower) << c.text;
    EXPECT_EQ(to_upper_full(c.text), c.upper) << c.text;
  }
  std::string out = "x";
  append_upper_full(out, "ß");
  EXPECT_EQ(out, "xSS");
}

TEST(UnicodeTest, MapsTextLongerThanOneIcuCall) {
  // Beyond the piece size the text is mapped in pieces; the cut must not split a character.
  std::string text(std::size_t{1} << 20, 'a');
  text.replace(text.size() - 1, 1, "é");  // é straddles the first cut
  text += "ΣΑΣ";
  const std::string lower = to_lower_full(text);
  ASSERT_EQ(lower.size(), text.size());
  EXPECT_EQ(lower.substr(lower.size() - 8), "é" "σας");
  EXPECT_TRUE(validate_utf8(to_upper_full(text)));
}

// Σ lower-cases to ς or σ by its neighbours, looking past case-ignorable characters (here the
// apostrophe and a combining acute); texts longer than one ICU call must keep that context at the
// cuts. kPiece is where the first cut falls.
TEST(UnicodeTest, FinalSigmaHoldsAcrossTheCutsOfALongText) {
  constexpr std::size_t kPiece = std::size_t{1} << 20;
  const std::string as(kPiece, 'a');
  struct Case {
    std::string text, lower_tail;  // lower_tail: what the text's last bytes lower-case to
  };
  const Case cases[] = {
      {as + "Σ", "aς"},                                      // Σ just after the cut, nothing cased after it
      {as + "ΣΑ", "aσα"},                                    // ... a cased letter after it
      {as + "Σ ", "aς "},
      {as.substr(2) + "ΣΑ", "aσα"},                          // Σ just before the cut, Α just after
      {as.substr(2) + "Σ 1", "aς 1"},
      {as.substr(2) + "Σ''Α", "aσ''α"},                      // the cut between ignorable characters
      {as.substr(2) + "Σ''.", "aς''."},
      {as.substr(1) + "\xcc\x81" "Σ", "a\xcc\x81" "ς"},      // the mark straddles the cut; a cased a before it
      {std::string(kPiece - 1, ' ') + "\xcc\x81" "Σ", " \xcc\x81" "σ"},  // nothing cased before it
  };
  for (const Case& c : cases) {
    const std::string lower = to_lower_full(c.text);
    ASSERT_GE(lower.size(), c.lower_tail.size());
    EXPECT_EQ(lower.substr(lower.size() - c.lower_tail.size()), c.lower_tail)
        << c.text.substr(c.text.size() - c.lower_tail.size());
    EXPECT_EQ(lower.size(), c.text.size());
  }

  // Only capital sigmas, cut at every piece: each one but the last is followed by a cased letter.
  std::string sigmas;
  for (std::size_t i = 0; i < kPiece + 3; ++i) sigmas += "Σ";
  std::string want;
  for (std::size_t i = 0; i + 1 < kPiece + 3; ++i) want += "σ";
  want += "ς";
  EXPECT_TRUE(to_lower_full(sigmas) == want);
}

// A range lower-cases as it does inside the whole text.
TEST(UnicodeTest, LowerCasesARangeInItsContext) {
  struct Case {
    std::string_view text;
    std::size_t begin, end;
    std::string_view lower;
  };
  const Case cases[] = {
      {"ΟΣ", 2, 4, "ς"},       // a cased letter before, none after
      {"Σ", 0, 2, "σ"},        // nothing cased before
      {"ΣΑ", 0, 2, "σ"},       // a cased letter after
      {"ΟΣ Α", 2, 4, "ς"},     // white space ends the context
      {"Ο'Σ'", 3, 6, "ς'"},
      {"ΟΔΟΣ", 0, 8, "οδος"},
      {"ABC", 1, 2, "b"},
      {"ABC", 1, 1, ""},
  };
  for (const Case& c : cases) {
    std::string out = "x";
    append_lower_full(out, c.text, c.begin, c.end);
    EXPECT_EQ(out, "x" + std::string(c.lower)) << c.text << " [" << c.begin << ", " << c.end << ")";
  }
}

TEST(UnicodeTest, TrimsWhiteSpace) {
  const std::string_view text = "\xe3\x80\x80\t a b\xc2\xa0\n";  // U+3000, tab, space ... NBSP, newline
  EXPECT_EQ(trim_white_space(text), "a b");
  EXPECT_EQ(trim_white_space_start(text), "a b\xc2\xa0\n");
  EXPECT_EQ(trim_white_space_end(text), "\xe3\x80\x80\t a b");
  EXPECT_EQ(trim_white_space(" \n "), "");
  EXPECT_EQ(trim_white_space("\x85"), "\x85");  // a lone continuation byte is not NEL
  EXPECT_EQ(trim_white_space_end("a\xe2\x80"), "a\xe2\x80");
}

TEST(Utf8Test, DecodesLossily) {
  struct Case {
    std::string_view bytes, text;
  };
  const Case cases[] = {
      {"plain", "plain"},
      {"é€😀", "é€😀"},
      {"a\xff" "b", "a\xef\xbf\xbd" "b"},
      {"\xe2\x82x", "\xef\xbf\xbdx"},                             // a cut-short sequence is one U+FFFD
      {"\xed\xa0\x80", "\xef\xbf\xbd\xef\xbf\xbd\xef\xbf\xbd"},  // a surrogate: three
      {"\xf0\x9f\x98", "\xef\xbf\xbd"},                           // incomplete at the end: one
  };
  for (const Case& c : cases) EXPECT_EQ(decode_utf8_lossy(c.bytes), c.text);
  EXPECT_EQ(count_code_points("a\xc3\xa9\xff"), 3u);
  std::string out;
  for (char32_t c : {U'a', U'é', U'€', U'😀'}) append_utf8(out, c);
  EXPECT_EQ(out, "aé€😀");
}

}  // namespace
}  // namespace quenlordb::util
