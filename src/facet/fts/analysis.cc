#include "facet/fts/analysis.h"

#include <algorithm>
#include <cstdint>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "util/json_scan.h"
#include "util/unicode.h"
#include "util/utf8.h"

namespace quenlordb::facet::fts {

namespace {

bool is_ascii_white_space(unsigned char c) { return c == ' ' || (c >= 0x09 && c <= 0x0D); }
bool is_ascii_upper(unsigned char c) { return c >= 'A' && c <= 'Z'; }
bool is_ascii_alphanumeric(unsigned char c) {
  return is_ascii_upper(c) || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9');
}
char ascii_lower(unsigned char c) { return static_cast<char>(is_ascii_upper(c) ? c | 0x20 : c); }

// Calls visit(word) for each run of non-white-space characters of text, in order, while visit
// answers true. ASCII bytes are classified without decoding.
template <typename Visit>
void for_each_word(std::string_view text, Visit&& visit) {
  std::size_t i = 0;
  std::size_t word_start = std::string_view::npos;
  while (i < text.size()) {
    const auto c = static_cast<unsigned char>(text[i]);
    bool white;
    std::size_t length = 1;
    if (c < 0x80) {
      white = is_ascii_white_space(c);
    } else {
      const util::Utf8Step step = util::decode_utf8_at(text, i);
      white = step.valid && util::is_white_space(step.value);
      length = step.length;
    }
    if (white && word_start != std::string_view::npos) {
      if (!visit(text.substr(word_start, i - word_start))) return;
      word_start = std::string_view::npos;
    } else if (!white && word_start == std::string_view::npos) {
      word_start = i;
    }
    i += length;
  }
  if (word_start != std::string_view::npos) visit(text.substr(word_start));
}

// The word's Alphabetic and Numeric characters, lower-cased, into out. ASCII letters are lowered
// on the way (the full mapping gives the same for them, and lowering them first changes nothing
// the mapping of the others depends on); other text goes through the full mapping. Answers
// whether the word was all ASCII (out is then its own lower case).
bool normalise_word(std::string_view word, std::string& out, std::string& scratch) {
  out.clear();
  bool ascii = true;
  std::size_t i = 0;
  while (i < word.size()) {
    const auto c = static_cast<unsigned char>(word[i]);
    if (c < 0x80) {
      if (is_ascii_alphanumeric(c)) out.push_back(ascii_lower(c));
      ++i;
      continue;
    }
    const util::Utf8Step step = util::decode_utf8_at(word, i);
    if (step.valid && (util::is_alphabetic(step.value) || util::is_numeric(step.value))) {
      out.append(word, i, step.length);
      ascii = false;
    }
    i += step.length;
  }
  if (ascii) return true;
  scratch.clear();
  util::append_lower_full(scratch, out);
  out.swap(scratch);
  return false;
}

// The full lower-case mapping of s, ASCII text mapped byte by byte.
void lower_into(std::string_view s, std::string& out) {
  out.clear();
  if (std::all_of(s.begin(), s.end(), [](char c) { return static_cast<unsigned char>(c) < 0x80; })) {
    out.reserve(s.size());
    for (char c : s) out.push_back(ascii_lower(static_cast<unsigned char>(c)));
    return;
  }
  util::append_lower_full(out, s);
}

// The length of the stem of a lower-cased token: the suffix rules of stem, lengths in bytes.
std::size_t stem_length(std::string_view s) {
  const std::size_t n = s.size();
  if (n >= 6 && s.ends_with("ing")) return n - 3;
  if (n >= 6 && (s.ends_with("tion") || s.ends_with("ness") || s.ends_with("ment"))) return n - 4;
  if (n >= 5 && (s.ends_with("ed") || s.ends_with("ly") || s.ends_with("es"))) return n - 2;
  if (n >= 4 && s[n - 1] == 's' && s[n - 2] != 's') return n - 1;
  return n;
}

void strip_one_suffix(std::string& s) { s.resize(stem_length(s)); }

// Whether every byte of text is below 0x80, read 8 bytes at a time.
bool is_ascii(std::string_view text) {
  const char* p = text.data();
  const char* const end = p + text.size();
  constexpr std::uint64_t kHighBits = 0x8080808080808080ULL;
  for (; end - p >= 8; p += 8) {
    std::uint64_t chunk;
    std::memcpy(&chunk, p, 8);
    if (chunk & kHighBits) return false;
  }
  for (; p < end; ++p) {
    if (static_cast<unsigned char>(*p) >= 0x80) return false;
  }
  return true;
}

// for_each_term of an all-ASCII text. A word (a run of bytes other than ASCII white space, which
// is all the white space ASCII holds) is its token when it is all lower-case letters and digits,
// viewed in the text; any other word's letters and digits are lowered into a buffer.
void for_each_ascii_term(std::string_view text, util::FunctionRef<bool(std::string_view)> visit) {
  std::string buffer;
  const char* p = text.data();
  const char* const end = p + text.size();
  while (p < end) {
    while (p < end && is_ascii_white_space(static_cast<unsigned char>(*p))) ++p;
    if (p == end) return;
    const char* const start = p;
    bool plain = true;
    for (; p < end; ++p) {
      const auto c = static_cast<unsigned char>(*p);
      if (is_ascii_white_space(c)) break;
      plain = plain && ((c >= 'a' && c <= 'z') || (c >= '0' && c <= '9'));
    }
    std::string_view token(start, static_cast<std::size_t>(p - start));
    if (!plain) {
      buffer.clear();
      for (const char c : token) {
        const auto b = static_cast<unsigned char>(c);
        if (is_ascii_alphanumeric(b)) buffer.push_back(ascii_lower(b));
      }
      token = buffer;
    }
    if (token.size() < 2) continue;
    if (!visit(token.substr(0, stem_length(token)))) return;
  }
}

// The first place at or after from where text holds term's bytes with its ASCII letters in either
// case (and perhaps a few places where it holds other bytes: a control byte 0x10-0x19 stands where
// a digit does, and a byte matches whatever its 0x20 bit decides), or npos. term is not empty and
// holds only lower-case letters and digits.
std::size_t find_either_case(std::string_view text, std::string_view term, std::size_t from) {
  const std::size_t m = term.size();
  if (text.size() < m || from > text.size() - m) return std::string_view::npos;
  const auto* t = reinterpret_cast<const unsigned char*>(text.data());
  const std::size_t last_start = text.size() - m;  // the last place term can begin
  auto holds_at = [&](std::size_t p) {
    for (std::size_t k = 0; k < m; ++k) {
      if ((t[p + k] | 0x20) != static_cast<unsigned char>(term[k])) return false;
    }
    return true;
  };
  std::size_t p = from;
#if defined(__SSE2__)
  // Sixteen places at a time: those whose first and last bytes fit are checked whole.
  const __m128i fold = _mm_set1_epi8(0x20);
  const __m128i first = _mm_set1_epi8(term[0]);
  const __m128i last = _mm_set1_epi8(term[m - 1]);
  for (; p + 15 <= last_start; p += 16) {
    const __m128i a = _mm_or_si128(_mm_loadu_si128(reinterpret_cast<const __m128i*>(t + p)), fold);
    const __m128i b = _mm_or_si128(_mm_loadu_si128(reinterpret_cast<const __m128i*>(t + p + m - 1)), fold);
    const __m128i both = _mm_and_si128(_mm_cmpeq_epi8(a, first), _mm_cmpeq_epi8(b, last));
    for (auto mask = static_cast<unsigned>(_mm_movemask_epi8(both)); mask != 0; mask &= mask - 1) {
      const std::size_t at = p + static_cast<std::size_t>(__builtin_ctz(mask));
      if (holds_at(at)) return at;
    }
  }
#endif
  for (; p <= last_start; ++p) {
    if (holds_at(p)) return p;
  }
  return std::string_view::npos;
}

// Whether the byte at i of a JSON string's content stands behind an odd run of backslashes: it is
// the letter of an escape.
bool escaped_at(const unsigned char* t, std::size_t i) {
  std::size_t run = 0;
  while (run < i && t[i - run - 1] == '\\') ++run;
  return run % 2 == 1;
}

// The letters of the escapes that stand for ASCII white space (\n, \t, \r, \f).
bool is_white_space_escape(unsigned char c) { return c == 'n' || c == 't' || c == 'r' || c == 'f'; }

// Whether text yields term (ASCII, lower-case letters and digits) by a word met where text holds
// term's letters: such a word, all ASCII, is reduced to its token and stem on the spot. False says
// nothing: a word with other bytes is passed over (its token needs the full rules), and only the
// words met this way are read, each once. With json, text is the content of a JSON string with its
// escapes unresolved: an escape of white space ends a word, and a word holding any other escape is
// passed over.
bool ascii_word_yields(std::string_view text, std::string_view term, bool json) {
  // The stem strips at most 4 bytes, so a token yielding term is term and at most 4 bytes more.
  constexpr std::size_t kMaxStripped = 4;
  char token[64];
  if (term.size() + kMaxStripped >= sizeof token) return false;
  const auto* t = reinterpret_cast<const unsigned char*>(text.data());
  const std::size_t n = text.size();
  for (std::size_t at = find_either_case(text, term, 0); at != std::string_view::npos;) {
    // (A place that begins at an escape's letter has the escape's backslash before it.)
    bool plain = true;
    std::size_t begin = at;
    while (plain && begin > 0 && !is_ascii_white_space(t[begin - 1])) {
      if (json && t[begin - 1] == '\\') {
        plain = false;
      } else if (json && is_white_space_escape(t[begin - 1]) && escaped_at(t, begin - 1)) {
        break;
      } else {
        --begin;
      }
    }
    std::size_t end = at + term.size();
    while (end < n && !is_ascii_white_space(t[end])) {
      if (json && t[end] == '\\') {
        // Met from a byte that is no escape's, the backslash begins one.
        plain = plain && end + 1 < n && is_white_space_escape(t[end + 1]);
        break;
      }
      ++end;
    }
    std::size_t length = 0;
    for (std::size_t i = begin; i < end && plain && length <= term.size() + kMaxStripped; ++i) {
      plain = t[i] < 0x80;
      if (is_ascii_alphanumeric(t[i]) && length < sizeof token) token[length++] = ascii_lower(t[i]);
    }
    if (plain && length >= 2 && length <= term.size() + kMaxStripped) {
      const std::string_view word_token(token, length);
      if (word_token.substr(0, stem_length(word_token)) == term) return true;
    }
    at = find_either_case(text, term, end);
  }
  return false;
}

bool is_ascii_term(std::string_view term) {
  if (term.empty()) return false;
  return std::all_of(term.begin(), term.end(), [](char c) {
    return (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9');
  });
}

}  // namespace

std::vector<std::string> tokenize(std::string_view text) {
  std::vector<std::string> tokens;
  std::string token;
  std::string scratch;
  for_each_word(text, [&](std::string_view word) {
    normalise_word(word, token, scratch);
    if (token.size() >= 2) tokens.push_back(token);
    return true;
  });
  return tokens;
}

std::string stem(std::string_view token) {
  std::string s;
  lower_into(token, s);
  strip_one_suffix(s);
  return s;
}

void for_each_term(std::string_view text, util::FunctionRef<bool(std::string_view)> visit) {
  if (is_ascii(text)) {
    for_each_ascii_term(text, visit);
    return;
  }
  std::string token;
  std::string term;
  std::string scratch;
  for_each_word(text, [&](std::string_view word) {
    const bool ascii = normalise_word(word, token, scratch);
    if (token.size() < 2) return true;
    // An ASCII token is in lower case already; any other is lowered again, as stem does.
    if (ascii) {
      term.assign(token);
    } else {
      lower_into(token, term);
    }
    strip_one_suffix(term);
    return visit(term);
  });
}

namespace {

// Sets the flags of the terms met by ascii_word_yields (json as there); the count of flags left
// clear.
std::size_t mark_terms_quickly(std::string_view text, std::span<const std::string> terms, std::span<bool> found,
                               bool json) {
  std::size_t missing = 0;
  for (std::size_t k = 0; k < terms.size(); ++k) {
    if (!found[k] && is_ascii_term(terms[k]) && ascii_word_yields(text, terms[k], json)) found[k] = true;
    missing += found[k] ? 0 : 1;
  }
  return missing;
}

}  // namespace

bool mark_terms(std::string_view text, std::span<const std::string> terms, std::span<bool> found) {
  std::size_t missing = mark_terms_quickly(text, terms, found, false);
  if (missing == 0) return true;
  for_each_term(text, [&](std::string_view term) {
    for (std::size_t k = 0; k < terms.size(); ++k) {
      if (!found[k] && terms[k] == term) {
        found[k] = true;
        --missing;
      }
    }
    return missing > 0;
  });
  return missing == 0;
}

bool mark_json_string_terms(std::string_view token, std::span<const std::string> terms, std::span<bool> found,
                            std::string& scratch) {
  const std::string_view content = token.substr(1, token.size() - 2);
  if (content.find('\\') == std::string_view::npos) return mark_terms(content, terms, found);
  if (mark_terms_quickly(content, terms, found, true) == 0) return true;
  scratch.clear();
  util::append_json_string_content(scratch, token);
  return mark_terms(scratch, terms, found);
}

std::string highlight_text(std::string_view text, std::string_view query) {
  std::vector<std::string> terms;
  for (const std::string& token : tokenize(query)) terms.push_back(stem(token));
  std::sort(terms.begin(), terms.end());
  terms.erase(std::unique(terms.begin(), terms.end()), terms.end());

  std::string out;
  out.reserve(text.size() + 8);
  std::string scratch;
  std::string normal;
  for_each_word(text, [&](std::string_view word) {
    if (!out.empty()) out += ' ';
    normalise_word(word, normal, scratch);
    if (!terms.empty() && std::binary_search(terms.begin(), terms.end(), stem(normal))) {
      out.append("<<").append(word).append(">>");
    } else {
      out.append(word);
    }
    return true;
  });
  return out;
}

}  // namespace quenlordb::facet::fts
