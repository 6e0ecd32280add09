#include "facet/fts/analysis.h"

#include <algorithm>

#include "util/unicode.h"
#include "util/utf8.h"

namespace quenlordb::facet::fts {

namespace {

// Calls visit(word) for each run of non-white-space characters of text, in order.
template <typename Visit>
void for_each_word(std::string_view text, Visit&& visit) {
  std::size_t i = 0;
  std::size_t word_start = std::string_view::npos;
  while (i < text.size()) {
    const util::Utf8Step step = util::decode_utf8_at(text, i);
    const bool white = step.valid && util::is_white_space(step.value);
    if (white && word_start != std::string_view::npos) {
      visit(text.substr(word_start, i - word_start));
      word_start = std::string_view::npos;
    } else if (!white && word_start == std::string_view::npos) {
      word_start = i;
    }
    i += step.length;
  }
  if (word_start != std::string_view::npos) visit(text.substr(word_start));
}

// The word's Alphabetic and Numeric characters, lower-cased. scratch is reused between calls.
std::string normalise_word(std::string_view word, std::string& scratch) {
  scratch.clear();
  std::size_t i = 0;
  while (i < word.size()) {
    const util::Utf8Step step = util::decode_utf8_at(word, i);
    if (step.valid && (util::is_alphabetic(step.value) || util::is_numeric(step.value))) {
      scratch.append(word, i, step.length);
    }
    i += step.length;
  }
  return util::to_lower_full(scratch);
}

bool strip_suffix(std::string& s, std::string_view suffix) {
  if (!s.ends_with(suffix)) return false;
  s.resize(s.size() - suffix.size());
  return true;
}

// The suffix rules of stem, on a lower-cased token.
void strip_one_suffix(std::string& s) {
  const std::size_t n = s.size();
  if (n >= 6 && (strip_suffix(s, "ing") || strip_suffix(s, "tion") || strip_suffix(s, "ness") ||
                 strip_suffix(s, "ment"))) {
    return;
  }
  if (n >= 5 && (strip_suffix(s, "ed") || strip_suffix(s, "ly") || strip_suffix(s, "es"))) return;
  if (n >= 4 && s[n - 1] == 's' && s[n - 2] != 's') s.pop_back();
}

}  // namespace

std::vector<std::string> tokenize(std::string_view text) {
  std::vector<std::string> tokens;
  std::string scratch;
  for_each_word(text, [&](std::string_view word) {
    std::string token = normalise_word(word, scratch);
    if (token.size() >= 2) tokens.push_back(std::move(token));
  });
  return tokens;
}

std::string stem(std::string_view token) {
  std::string s = util::to_lower_full(token);
  strip_one_suffix(s);
  return s;
}

std::string highlight_text(std::string_view text, std::string_view query) {
  std::vector<std::string> terms;
  for (const std::string& token : tokenize(query)) terms.push_back(stem(token));
  std::sort(terms.begin(), terms.end());
  terms.erase(std::unique(terms.begin(), terms.end()), terms.end());

  std::string out;
  out.reserve(text.size() + 8);
  std::string scratch;
  for_each_word(text, [&](std::string_view word) {
    if (!out.empty()) out += ' ';
    if (!terms.empty() && std::binary_search(terms.begin(), terms.end(), stem(normalise_word(word, scratch)))) {
      out.append("<<").append(word).append(">>");
    } else {
      out.append(word);
    }
  });
  return out;
}

}  // namespace quenlordb::facet::fts
