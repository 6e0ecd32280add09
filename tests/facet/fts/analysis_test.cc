#include "facet/fts/analysis.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <span>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "util/unicode.h"
#include "util/utf8.h"

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

// A word longer than one case-mapping call: a Σ at the cut still sees the letters before it.
TEST(TokenizeTest, FinalSigmaOfAVeryLongWord) {
  const std::string letters(std::size_t{1} << 20, 'a');
  const Tokens tokens = tokenize(letters + "Σ x" + letters + "ΣΑ");
  ASSERT_EQ(tokens.size(), 2u);
  EXPECT_EQ(tokens[0].substr(tokens[0].size() - 3), "aς");
  EXPECT_EQ(tokens[1].substr(tokens[1].size() - 5), "aσα");
}

// tokenize and stem read ASCII without decoding it; over texts mixing ASCII with letters whose
// lower-casing depends on their neighbours (final sigma), that expand (İ) or that are white space
// beyond ASCII, they must answer as the rules read character by character do. for_each_term gives
// the stems of the tokens.
TEST(TokenizeTest, AgreesWithTheRulesReadCharacterByCharacter) {
  auto reference_tokens = [](std::string_view text) {
    Tokens tokens;
    std::string piece;
    auto flush = [&] {
      std::string token = util::to_lower_full(piece);
      if (token.size() >= 2) tokens.push_back(token);
      piece.clear();
    };
    bool in_word = false;
    for (std::size_t i = 0; i < text.size();) {
      const util::Utf8Step step = util::decode_utf8_at(text, i);
      const bool white = step.valid && util::is_white_space(step.value);
      if (white && in_word) flush();
      in_word = !white;
      if (step.valid && (util::is_alphabetic(step.value) || util::is_numeric(step.value))) {
        piece.append(text, i, step.length);
      }
      i += step.length;
    }
    if (in_word) flush();
    return tokens;
  };
  const std::vector<std::string> pieces = {"A", "z", "Q", "7", "-", " ", "\t", "\xce\xa3" /* Σ */, "\xc4\xb0" /* İ */,
                                           "\xc3\x9f" /* ß */, "\xe2\x84\xaa" /* Kelvin sign */, "\xc2\xa0",
                                           "\xc2\x85", "\xe3\x80\x80", "\xff", "\xc3", ".", "S", "ING"};
  // All-ASCII texts take a path of their own: words of lower-case letters and digits, others with
  // capitals, punctuation or apostrophes, every ASCII white space and control byte, and the suffixes.
  const std::vector<std::string> ascii_pieces = {
      "ab", "x", "9", "Zo", "'", "don't", "-", ",", "\x01", "\x7f", "\x1f", " ", "\t", "\n", "\v", "\f", "\r",
      "ing", "ING", "tion", "ness", "ment", "ed", "ly", "es", "s", "S", "ss", "runn", "Ki"};
  std::mt19937_64 rng(105);
  for (int round = 0; round < 10000; ++round) {
    const std::vector<std::string>& from = round % 2 ? pieces : ascii_pieces;
    std::string text;
    for (std::size_t n = rng() % 12; n > 0; --n) text += from[rng() % from.size()];
    const Tokens want = reference_tokens(text);
    ASSERT_EQ(tokenize(text), want) << ::testing::PrintToString(text);
    Tokens terms;
    for_each_term(text, [&](std::string_view term) {
      terms.emplace_back(term);
      return true;
    });
    Tokens stems;
    for (const std::string& token : want) {
      stems.push_back(stem(token));
      EXPECT_EQ(stem(token), stem(util::to_lower_full(token)));
    }
    EXPECT_EQ(terms, stems) << ::testing::PrintToString(text);
  }
  Tokens first_two;
  for_each_term("alpha beta gamma", [&](std::string_view term) {
    first_two.emplace_back(term);
    return first_two.size() < 2;
  });
  EXPECT_EQ(first_two, (Tokens{"alpha", "beta"}));
}

// mark_terms finds exactly the terms for_each_term gives, over texts whose words hold a wanted
// term's letters in either case, inside longer words, around punctuation, beside letters and white
// space beyond ASCII (a Kelvin sign lowers to k) and beside control bytes that fold onto digits.
TEST(MarkTermsTest, FindsWhatForEachTermGives) {
  const std::vector<std::string> pieces = {
      "fix",  "Fix",     "FIXES", "fixing",     "prefix",   "f-ix",        "fix.",      "(fix)",  "fixed",
      "fixe", "Fixture", "kings", "\xe2\x84\xaa" "ings" /* Kelvin sign */, "ing",       "s",      "run",
      "RUNNING", "runner", "42",  "x42s",       "\x12" "2", "caf\xc3\xa9", "\xc3\xa9t\xc3\xa9", "\xc4\xb0" /* İ */,
      "to",   "TO",      "t.o",   "\xce\xa3",   " ",        " ",           " ",         "\t",     "\n",
      "\xc2\xa0", "\xe3\x80\x80", "-", "'", "\xff"};
  const std::vector<std::string> extra_terms = {"fix", "king", "runn", "42", "to", "absent", "caf\xc3\xa9",
                                                "\xc3\xa9t\xc3\xa9"};
  std::mt19937_64 rng(131);
  for (int round = 0; round < 20000; ++round) {
    std::string text;
    for (std::size_t n = rng() % 16; n > 0; --n) text += pieces[rng() % pieces.size()];
    std::vector<std::string> yielded;
    for_each_term(text, [&](std::string_view term) {
      yielded.emplace_back(term);
      return true;
    });
    std::vector<std::string> terms;
    for (std::size_t n = 1 + rng() % 3; n > 0; --n) {
      const bool from_text = !yielded.empty() && rng() % 2 == 0;
      std::string term = from_text ? yielded[rng() % yielded.size()] : extra_terms[rng() % extra_terms.size()];
      if (std::find(terms.begin(), terms.end(), term) == terms.end()) terms.push_back(std::move(term));
    }
    bool found[3] = {};
    const bool preset = rng() % 4 == 0;
    if (preset) found[0] = true;
    const bool all = mark_terms(text, terms, std::span<bool>(found, terms.size()));
    bool want_all = true;
    for (std::size_t k = 0; k < terms.size(); ++k) {
      const bool want = (k == 0 && preset) || std::find(yielded.begin(), yielded.end(), terms[k]) != yielded.end();
      EXPECT_EQ(found[k], want) << ::testing::PrintToString(text) << " " << terms[k];
      want_all = want_all && want;
    }
    EXPECT_EQ(all, want_all) << ::testing::PrintToString(text);
  }
}

// mark_json_string_terms finds the terms of the text a JSON string holds, reading its words in the
// token where it can: escapes beside and inside words (of white space, quotes, backslashes, \u of
// letters, spaces and surrogate pairs) must not make it take a word of the token's bytes for a word
// of the text. The terms looked for include those the token's bytes would give read as text.
TEST(MarkTermsTest, JsonStringsAreReadAsTheTextTheyHold) {
  const std::vector<std::string> pieces = {
      "fix", "Fixes", "\\nfix", "\\\\nfix", "\\\\\\nfix", "\\\"fix", "fix\\\"", "\\u0066ix", "fi\\u0078es",
      "\\/fix", "\\bfix", "fix\\b", "\\tFIX", "\\r\\n", "\\\\", "\\f", "\\u0020", "\\u00e9", "caf\\u00e9",
      "\\ud83d\\ude00", "n", "t", "u0066ix", "\\u212aing", "king", " ", " ", "\\n", "-", "ed", "s"};
  std::mt19937_64 rng(4105);
  auto terms_of = [](std::string_view text) {
    std::vector<std::string> out;
    for_each_term(text, [&](std::string_view term) {
      out.emplace_back(term);
      return true;
    });
    return out;
  };
  std::string scratch;
  for (int round = 0; round < 20000; ++round) {
    std::string token = "\"";
    for (std::size_t n = rng() % 10; n > 0; --n) token += pieces[rng() % pieces.size()];
    token += "\"";
    const std::string text = nlohmann::json::parse(token).get<std::string>();
    const std::vector<std::string> yielded = terms_of(text);
    std::vector<std::string> candidates = yielded;
    for (const std::string& raw : terms_of(std::string_view(token).substr(1, token.size() - 2))) {
      candidates.push_back(raw);
    }
    candidates.push_back("fix");
    std::vector<std::string> terms;
    for (std::size_t n = 1 + rng() % 3; n > 0; --n) {
      std::string term = candidates[rng() % candidates.size()];
      if (std::find(terms.begin(), terms.end(), term) == terms.end()) terms.push_back(std::move(term));
    }
    bool found[3] = {};
    const bool all = mark_json_string_terms(token, terms, std::span<bool>(found, terms.size()), scratch);
    bool want_all = true;
    for (std::size_t k = 0; k < terms.size(); ++k) {
      const bool want = std::find(yielded.begin(), yielded.end(), terms[k]) != yielded.end();
      EXPECT_EQ(found[k], want) << token << " " << terms[k];
      want_all = want_all && want;
    }
    EXPECT_EQ(all, want_all) << token;
  }
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
