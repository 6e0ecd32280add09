#include "sql/eval/like.h"

#include <string>

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

}  // namespace

bool like_match_inner(std::u32string_view text, std::u32string_view pattern, std::size_t ti, std::size_t pi) {
  return match(text, pattern, ti, pi);
}

bool like_match(std::string_view text, std::string_view pattern) {
  // On ASCII, bytes are characters. On other UTF-8 too, as long as the pattern has no `_` (the one
  // element that counts characters): literals then match whole sequences at character boundaries.
  // An ASCII text is safe whatever the pattern: its non-ASCII literals match nothing either way.
  const bool bytes_are_enough = is_ascii(text) || pattern.find('_') == std::string_view::npos;
  if (bytes_are_enough && util::validate_utf8(text) && util::validate_utf8(pattern)) {
    return match(text, pattern, 0, 0);
  }
  const std::u32string t = code_points(text);
  const std::u32string p = code_points(pattern);
  return match(std::u32string_view(t), std::u32string_view(p), 0, 0);
}

bool ilike_match(std::string_view text, std::string_view pattern) {
  return like_match(util::to_lower_full(text), util::to_lower_full(pattern));
}

}  // namespace quenlordb::sql::eval
