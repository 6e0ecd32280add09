// The text functions of the library. Positions and lengths count Unicode scalar values (code
// points), except LENGTH, which counts bytes; substrings are sought in time linear in the text
// (text_search.h). Case mapping, white space and trimming are the Unicode module's; texts that
// the functions build are bounded by kMaxFunctionResultBytes.
#include <algorithm>
#include <string>

#include "facet/fts/analysis.h"
#include "facet/fts/postings.h"
#include "sql/eval/function_args.h"
#include "sql/eval/text_search.h"
#include "util/unicode.h"
#include "util/utf8.h"

namespace quenlordb::sql::eval {

namespace {

// ---- code point positions

std::size_t char_width(std::string_view s, std::size_t pos) {
  return static_cast<unsigned char>(s[pos]) < 0x80 ? 1 : util::decode_utf8_at(s, pos).length;
}

// The byte offset of the code point n places after pos, or s.size() when the text ends first.
std::size_t skip_chars(std::string_view s, std::size_t pos, std::uint64_t n) {
  for (; n > 0 && pos < s.size(); --n) pos += char_width(s, pos);
  return pos;
}

// The first n code points of s.
std::string_view first_chars(std::string_view s, std::uint64_t n) { return s.substr(0, skip_chars(s, 0, n)); }

// Appends `times` copies of piece to out, doubling what is already copied.
void append_repeated(std::string& out, std::string_view piece, std::uint64_t times) {
  if (times == 0 || piece.empty()) return;
  const std::size_t start = out.size();
  const std::size_t total = piece.size() * times;
  out.append(piece);
  while (out.size() - start < total) {
    const std::size_t done = out.size() - start;
    out.append(out, start, std::min(done, total - done));
  }
}

// ---- the functions

Result<SqlValue> length(FunctionArgs& args) {
  const auto s = TRY(args.strict_text(0));
  if (!s) return SqlValue::null();
  return SqlValue::number(static_cast<double>(s->size()));
}

template <std::string (*Map)(std::string_view)>
Result<SqlValue> map_strict(FunctionArgs& args) {
  const auto s = TRY(args.strict_text(0));
  if (!s) return SqlValue::null();
  return SqlValue::text(Map(*s));
}

template <std::string_view (*Trim)(std::string_view)>
Result<SqlValue> trim(FunctionArgs& args) {
  auto s = TRY(args.text(0));
  if (!s) return SqlValue::null();
  const std::string_view kept = Trim(*s);
  if (kept.size() == s->size()) return SqlValue::text(std::move(*s));
  return SqlValue::text(kept);
}

Result<SqlValue> reverse(FunctionArgs& args) {
  const auto s = TRY(args.text(0));
  if (!s) return SqlValue::null();
  std::string out(s->size(), '\0');
  std::size_t end = out.size();
  for (std::size_t i = 0; i < s->size();) {
    const std::size_t w = char_width(*s, i);
    end -= w;
    std::copy_n(s->data() + i, w, out.data() + end);
    i += w;
  }
  return SqlValue::text(std::move(out));
}

// Words split at runs of white space, each its first character upper-cased and the rest
// lower-cased as it lower-cases within the word, joined by single spaces.
Result<SqlValue> initcap(FunctionArgs& args) {
  const auto s = TRY(args.strict_text(0));
  if (!s) return SqlValue::null();
  std::string out;
  out.reserve(s->size());
  std::string_view rest = util::trim_white_space(*s);
  while (!rest.empty()) {
    std::size_t end = 0;
    while (end < rest.size()) {
      const util::Utf8Step step = util::decode_utf8_at(rest, end);
      if (step.valid && util::is_white_space(step.value)) break;
      end += step.length;
    }
    const std::string_view word = rest.substr(0, end);
    if (!out.empty()) out += ' ';
    const std::size_t first = char_width(word, 0);
    util::append_upper_full(out, word.substr(0, first));
    util::append_lower_full(out, word, first, word.size());  // a final Σ sees the first letter
    rest = util::trim_white_space_start(rest.substr(end));
  }
  return SqlValue::text(std::move(out));
}

Result<SqlValue> left(FunctionArgs& args) {
  const auto s = TRY(args.text(0));
  if (!s) return SqlValue::null();
  const std::uint64_t n = TRY(args.count(1));
  return SqlValue::text(first_chars(*s, n));
}

Result<SqlValue> right(FunctionArgs& args) {
  const auto s = TRY(args.text(0));
  if (!s) return SqlValue::null();
  const std::uint64_t n = TRY(args.count(1));
  const std::size_t chars = util::count_code_points(*s);
  if (n >= chars) return SqlValue::text(std::move(*s));
  return SqlValue::text(std::string_view(*s).substr(skip_chars(*s, 0, chars - n)));
}

// LPAD and RPAD: text cut or padded to n code points with the fill repeated cyclically, the fill
// before the text (LPAD) or after it (RPAD). The result's size is known before it is built.
template <bool kLeft>
Result<SqlValue> pad(FunctionArgs& args) {
  const auto s = TRY(args.text(0));
  if (!s) return SqlValue::null();
  const std::uint64_t n = TRY(args.count(1));
  std::string fill = " ";
  if (args.has(2)) {
    SqlValue f = TRY(args.value(2));
    if (f.is_text()) fill = std::move(f).text_value();
  }
  const std::size_t chars = util::count_code_points(*s);
  if (chars >= n) return SqlValue::text(first_chars(*s, n));
  if (fill.empty()) return SqlValue::text(std::move(*s));

  const std::uint64_t missing = n - chars;
  const std::size_t fill_chars = util::count_code_points(fill);
  const std::uint64_t whole = missing / fill_chars;
  const std::string_view tail = first_chars(fill, missing % fill_chars);
  std::uint64_t bytes;
  const bool overflowed = __builtin_mul_overflow(whole, fill.size(), &bytes) ||
                          __builtin_add_overflow(bytes, tail.size() + s->size(), &bytes);
  TRY(args.check_result_size(bytes, overflowed));

  std::string out;
  out.reserve(bytes);
  if (!kLeft) out.append(*s);
  append_repeated(out, fill, whole);
  out.append(tail);
  if (kLeft) out.append(*s);
  return SqlValue::text(std::move(out));
}

// SUBSTRING(text, start [, count]): start counts from 1 (anything below 1 or not a number means
// 1); a start past the end gives '' without reading the count.
Result<SqlValue> substring(FunctionArgs& args) {
  const auto s = TRY(args.text(0));
  if (!s) return SqlValue::null();
  const std::optional<std::int64_t> start = TRY(args.integer(1));
  const std::uint64_t skip = start && *start > 1 ? static_cast<std::uint64_t>(*start - 1) : 0;
  const std::size_t begin = skip_chars(*s, 0, skip);
  if (begin == s->size()) return SqlValue::text("");
  if (!args.has(2)) return SqlValue::text(std::string_view(*s).substr(begin));
  const std::uint64_t len = TRY(args.count(2));
  const std::size_t end = skip_chars(*s, begin, len);
  return SqlValue::text(std::string_view(*s).substr(begin, end - begin));
}

constexpr std::uint64_t kMaxRepeatCount = 10000;

Result<SqlValue> repeat(FunctionArgs& args) {
  const auto s = TRY(args.text(0));
  if (!s) return SqlValue::null();
  const std::uint64_t times = std::min(TRY(args.count(1)), kMaxRepeatCount);
  TRY(args.check_result_size(s->size() * times));  // at most 10000 × 64 MiB: no overflow
  std::string out;
  out.reserve(s->size() * times);
  append_repeated(out, *s, times);
  return SqlValue::text(std::move(out));
}

// POSITION(text, sought): the 1-based code point position of the first occurrence, 0 when there
// is none, 1 for an empty sought text.
Result<SqlValue> position(FunctionArgs& args) {
  const auto haystack = TRY(args.text(0));
  if (!haystack) return SqlValue::null();
  const auto needle = TRY(args.text(1));
  if (!needle) return SqlValue::null();
  const std::size_t at = find_text(*haystack, *needle);
  if (at == std::string_view::npos) return SqlValue::number(0);
  const std::size_t before = util::count_code_points(std::string_view(*haystack).substr(0, at));
  return SqlValue::number(static_cast<double>(before + 1));
}

// REPLACE(text, sought, replacement): every non-overlapping occurrence, left to right. An empty
// sought text puts the replacement before every code point and once at the end.
Result<SqlValue> replace(FunctionArgs& args) {
  const auto s = TRY(args.text(0));
  if (!s) return SqlValue::null();
  const auto from = TRY(args.text(1));
  if (!from) return SqlValue::null();
  const auto to = TRY(args.text(2));
  if (!to) return SqlValue::null();

  std::uint64_t bytes;
  bool overflowed;
  if (from->empty()) {
    const std::uint64_t slots = util::count_code_points(*s) + 1;
    overflowed = __builtin_mul_overflow(slots, to->size(), &bytes) || __builtin_add_overflow(bytes, s->size(), &bytes);
  } else {
    std::uint64_t hits = 0;
    for (std::size_t at = find_text(*s, *from); at != std::string_view::npos;
         at = find_text(*s, *from, at + from->size())) {
      ++hits;
    }
    if (hits == 0) return SqlValue::text(std::move(*s));
    overflowed = __builtin_mul_overflow(hits, to->size(), &bytes) ||
                 __builtin_add_overflow(bytes, s->size() - hits * from->size(), &bytes);
  }
  TRY(args.check_result_size(bytes, overflowed));

  std::string out;
  out.reserve(bytes);
  if (from->empty()) {
    for (std::size_t i = 0; i < s->size();) {
      const std::size_t w = char_width(*s, i);
      out.append(*to).append(*s, i, w);
      i += w;
    }
    out.append(*to);
  } else {
    std::size_t done = 0;
    for (std::size_t at = find_text(*s, *from); at != std::string_view::npos; at = find_text(*s, *from, done)) {
      out.append(*s, done, at - done).append(*to);
      done = at + from->size();
    }
    out.append(*s, done);
  }
  return SqlValue::text(std::move(out));
}

// SPLIT_PART(text, delimiter, n): piece n (from 1) of the text cut at the delimiter; '' for n = 0
// and past the last piece. An empty delimiter gives an empty first piece, one piece per code point
// and an empty last piece.
Result<SqlValue> split_part(FunctionArgs& args) {
  const auto s = TRY(args.text(0));
  if (!s) return SqlValue::null();
  const auto delimiter = TRY(args.text(1));
  if (!delimiter) return SqlValue::null();
  const std::uint64_t n = TRY(args.count(2));
  if (n == 0) return SqlValue::text("");
  const std::string_view text = *s;
  if (delimiter->empty()) {
    if (n == 1) return SqlValue::text("");
    const std::size_t begin = skip_chars(text, 0, n - 2);
    if (begin == text.size()) return SqlValue::text("");
    return SqlValue::text(text.substr(begin, char_width(text, begin)));
  }
  std::size_t begin = 0;
  for (std::uint64_t piece = 1; piece < n; ++piece) {
    const std::size_t at = find_text(text, *delimiter, begin);
    if (at == std::string_view::npos) return SqlValue::text("");
    begin = at + delimiter->size();
  }
  const std::size_t end = find_text(text, *delimiter, begin);
  return SqlValue::text(text.substr(begin, end == std::string_view::npos ? std::string_view::npos : end - begin));
}

// Appends the text of v to out unless that would pass the result limit.
Result<void> append_bounded(FunctionArgs& args, std::string& out, const SqlValue& v) {
  if (v.is_text()) {
    TRY(args.check_result_size(out.size() + v.text_value().size()));
    out.append(v.text_value());
    return {};
  }
  append_sort_string(out, v);
  return args.check_result_size(out.size());
}

Result<SqlValue> concat(FunctionArgs& args) {
  std::string out;
  for (std::size_t i = 0; i < args.size(); ++i) {
    const SqlValue v = TRY(args.value(i));
    if (!v.is_null()) TRY(append_bounded(args, out, v));
  }
  return SqlValue::text(std::move(out));
}

// CONCAT_WS(separator, values...): the values that evaluate without error and are not Null,
// joined by the separator. Only the separator's error ends the call.
Result<SqlValue> concat_ws(FunctionArgs& args) {
  const auto separator = TRY(args.text(0));
  if (!separator) return SqlValue::null();
  const SqlValue separator_text = SqlValue::text(std::move(*separator));
  std::string out;
  bool first = true;
  for (std::size_t i = 1; i < args.size(); ++i) {
    const Result<SqlValue> v = args.value(i);
    if (!v || v->is_null()) continue;
    if (!first) TRY(append_bounded(args, out, separator_text));
    first = false;
    TRY(append_bounded(args, out, *v));
  }
  return SqlValue::text(std::move(out));
}

Result<SqlValue> to_char(FunctionArgs& args) {
  const SqlValue v = TRY(args.value(0));
  if (v.is_null()) return SqlValue::null();
  if (v.is_number()) return SqlValue::text(format_number(v.number_value()));
  return SqlValue::text(to_sort_string(v));
}

// MATCH(column, query) selects rows only as a term of the top-level AND chain of a table query's
// WHERE, where the query pipeline answers it from the full-text index and removes it before the
// filter runs. Anywhere else it has no answer, and evaluating it would select every row.
Result<SqlValue> match(FunctionArgs&) { return fail(QuenlorError::sql_execution(std::string(facet::fts::kMatchPlacementMessage))); }

Result<SqlValue> highlight(FunctionArgs& args) {
  const auto text = TRY(args.strict_text(0));
  if (!text) return SqlValue::null();
  const auto query = TRY(args.strict_text(1));
  if (!query) return SqlValue::null();
  return SqlValue::text(facet::fts::highlight_text(*text, *query));
}

constexpr ScalarFunction kText[] = {
    {"CONCAT", 0, concat},
    {"LENGTH", 1, length},  // bytes
    {"UPPER", 1, map_strict<util::to_upper_full>},
    {"LOWER", 1, map_strict<util::to_lower_full>},
    {"TRIM", 1, trim<util::trim_white_space>},
    {"LTRIM", 1, trim<util::trim_white_space_start>},
    {"RTRIM", 1, trim<util::trim_white_space_end>},
    {"REVERSE", 1, reverse},
    {"INITCAP", 1, initcap},
    {"TO_CHAR", 1, to_char},
    {"CONCAT_WS", 1, concat_ws},
    {"LEFT", 2, left},
    {"RIGHT", 2, right},
    {"LPAD", 2, pad<true>},
    {"RPAD", 2, pad<false>},
    {"SUBSTRING", 2, substring},
    {"SUBSTR", 2, substring},
    {"REPEAT", 2, repeat},
    {"POSITION", 2, position},
    {"STRPOS", 2, position},
    {"MATCH", 0, match},  // full-text search
    {"HIGHLIGHT", 2, highlight},
    {"REPLACE", 3, replace},
    {"SPLIT_PART", 3, split_part},
};

}  // namespace

std::span<const ScalarFunction> text_functions() { return kText; }

}  // namespace quenlordb::sql::eval
