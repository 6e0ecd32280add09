#include "facet/fts/analysis.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace quenlordb::facet::fts {
namespace {

using Tokens = std::vector<std::string>;

TEST(TokenizeTest, KeepsLowerCaseAlphanumericTokens) {
  struct Case {
    std::string_view text;
    Tokens tokens;
  };
  const Case cases[] = {
      {"Hello, World! 42 a-b", {"hello", "world", "42", "ab"}},
      {"a 4 é", {"é"}},                                   // 1-byte tokens go, a 2-byte é stays
      {"  Ünïcode\tStraße\xe3\x80\x80x", {"ünïcode", "straße"}},
      {"STRASSE", {"strasse"}},
      {"किताब", {"किताब"}},                               // the vowel signs are Alphabetic and stay
      {"हिन्दी", {"हिनदी"}},                              // the virama is not Alphabetic
      {"ΟΔΟΣ.", {"οδος"}},                                // lower-cased after the '.' went: final ς
      {"x٣٤ ½", {"x٣٤", "½"}},                            // Arabic-Indic digits and ½ are Numeric
      {"run run", {"run", "run"}},
      {"\xff\xfe ab", {"ab"}},                            // bytes that are not UTF-8 are dropped
      {"", {}},
      {"!!! ?", {}},
  };
  for (const Case& c : cases) EXPECT_EQ(tokenize(c.text), c.tokens) << c.text;
}

TEST(StemTest, StripsOneSuffix) {
  struct Case {
    std::string_view token, stem;
  };
  const Case cases[] = {
      {"running", "runn"}, {"nation", "na"},     {"happiness", "happi"}, {"movement", "move"},
      {"jumped", "jump"},  {"quickly", "quick"}, {"boxes", "box"},       {"cats", "cat"},
      {"class", "class"},  {"sing", "sing"},     {"bus", "bus"},         {"RUNNING", "runn"},
      {"rings", "ring"},   // 5 bytes: "ing" needs 6, so the final s goes
      {"string", "str"},   {"kings", "king"},    {"ness", "ness"},       {"tion", "tion"},
      {"ed", "ed"},        {"used", "used"},     {"fled", "fled"},       {"faded", "fad"},
      {"Straßen", "straßen"},                    // 8 bytes, no rule fits
      {"Maßes", "maß"},                          // 6 bytes: "es" after falling through step 2
      {"éts", "ét"},       // 4 bytes although 3 characters
      {"", ""},
  };
  for (const Case& c : cases) EXPECT_EQ(stem(c.token), c.stem) << c.token;
}

TEST(HighlightTest, MarksWordsWhoseStemsAreQueryTerms) {
  struct Case {
    std::string_view text, query, marked;
  };
  const Case cases[] = {
      {"The runners were running fast", "run", "The runners were running fast"},
      {"Running  late", "running", "<<Running>> late"},
      {"cats, dogs", "cat", "<<cats,>> dogs"},
      {"cats, dogs", "DOGS cats", "<<cats,>> <<dogs>>"},
      {"  a  b c ", "x ! ?", "a b c"},                  // no query tokens: words rejoined
      {"Die Straße, die STRASSE", "straße", "Die <<Straße,>> die STRASSE"},
      {"पुरानी किताबें", "किताबें", "पुरानी <<किताबें>>"},
      {"I ran", "i", "I ran"},                           // a one-letter query word is no term
      {"", "anything", ""},
  };
  for (const Case& c : cases) EXPECT_EQ(highlight_text(c.text, c.query), c.marked) << c.text << " / " << c.query;
}

}  // namespace
}  // namespace quenlordb::facet::fts
