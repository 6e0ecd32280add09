#include "sql/eval/like.h"

#include <algorithm>
#include <string>

#include "sql/eval/text_search.h"
#include "util/unicode.h"
#include "util/utf8.h"

namespace quenlordb::sql::eval {

namespace {

template <typename Char>
bool match(std::basic_string_view<Char> text, std::basic_string_view<Char> pattern, std::size_t ti, std::size_t pi) {
  constexpr std::size_t kNone = static_cast<std::size_t>(-1);
  std::size_t resume_p = kNone;  // pattern position just after the last % seen
  std::size_t resume_t = 0;      // text position that % currently stretches to
  while (ti < text.size()) {
    if (pi < pattern.size()) {
      const Char p = pattern[pi];
      if (p == Char('%')) {
        resume_p = ++pi;
        resume_t = ti;
        continue;
      }
      if (p == Char('_') || p == text[ti]) {
        ++pi;
        ++ti;
        continue;
      }
    }
    // A mismatch (or the pattern ran out): let the last % take one more character.
    if (resume_p == kNone) return false;
    pi = resume_p;
    ti = ++resume_t;
  }
  while (pi < pattern.size() && pattern[pi] == Char('%')) ++pi;
  return pi == pattern.size();
}

// LIKE of a pattern without `_` on UTF-8 bytes: the pattern is literal runs between runs of %.
// The first run must begin the text and the last end it (unless the pattern begins or ends with
// %); each run between them is taken at its leftmost place after the one before, as taking it
// later only leaves less text to the runs after it. Each search is linear in the text it passes
// over, so the whole match is linear in the text and the pattern.
bool match_runs(std::string_view text, std::string_view pattern) {
  const std::size_t first = pattern.find('%');
  if (first == std::string_view::npos) return text == pattern;
  const std::size_t last = pattern.rfind('%');
  const std::string_view head = pattern.substr(0, first);
  const std::string_view tail = pattern.substr(last + 1);
  if (text.size() < head.size() + tail.size() || !text.starts_with(head) || !text.ends_with(tail)) return false;
  std::string_view rest = text.substr(head.size(), text.size() - head.size() - tail.size());
  const std::string_view middle = pattern.substr(first, last - first);  // starts with %, runs between
  for (std::size_t i = 0; i < middle.size();) {
    if (middle[i] == '%') {
      ++i;
      continue;
    }
    const std::size_t end = std::min(middle.find('%', i), middle.size());
    const std::string_view run = middle.substr(i, end - i);
    const std::size_t at = find_text(rest, run);
    if (at == std::string_view::npos) return false;
    rest.remove_prefix(at + run.size());
    i = end;
  }
  return true;
}

bool is_ascii(std::string_view s) {
  for (char c : s) {
    if (static_cast<unsigned char>(c) >= 0x80) return false;
  }
  return true;
}

std::u32string code_points(std::string_view s) {
  std::u32string out;
  out.reserve(s.size());
  for (std::size_t i = 0; i < s.size();) {
    const util::Utf8Step step = util::decode_utf8_at(s, i);
    out.push_back(step.value);
    i += step.length;
  }
  return out;
}

// LIKE on well-formed UTF-8. Without `_` (the one element that counts characters) the literal runs
// match whole sequences at character boundaries, and bytes do; an ASCII text is safe whatever the
// pattern, as its non-ASCII literals match nothing either way.
bool like_match_utf8(std::string_view text, std::string_view pattern) {
  if (pattern.find('_') == std::string_view::npos) return match_runs(text, pattern);
  if (is_ascii(text)) return match(text, pattern, 0, 0);
  const std::u32string t = code_points(text);
  const std::u32string p = code_points(pattern);
  return match(std::u32string_view(t), std::u32string_view(p), 0, 0);
}

}  // namespace

bool like_match_inner(std::u32string_view text, std::u32string_view pattern, std::size_t ti, std::size_t pi) {
  return match(text, pattern, ti, pi);
}

bool like_match(std::string_view text, std::string_view pattern) {
  if (util::validate_utf8(text) && util::validate_utf8(pattern)) return like_match_utf8(text, pattern);
  // Each sequence that is not UTF-8 is one character, U+FFFD, as the lossy decoding makes it.
  return like_match_utf8(util::decode_utf8_lossy(text), util::decode_utf8_lossy(pattern));
}

bool ilike_match(std::string_view text, std::string_view pattern) {
  return like_match(util::to_lower_full(text), util::to_lower_full(pattern));
}

}  // namespace quenlordb::sql::eval
