#include "sql/eval/scalar_function.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <limits>
#include <random>
#include <span>
#include <string>

#include "print_value.h"
#include "sql/eval/eval_context.h"
#include "sql/parser/parser.h"
#include "util/utf8.h"

namespace quenlordb::sql::eval {
namespace {

constexpr std::string_view kDoc = R"({"n": 5, "s": "abc", "z": -0.0})";

Result<SqlValue> eval_text(std::string_view sql) {
  parser::Parser p(parser::tokenize(sql).value());
  Result<parser::Expr> e = p.parse_expr();
  EXPECT_TRUE(e && p.at_end()) << sql;
  if (!e) return fail(e.error());
  EvalContext ctx("k1", kDoc);
  return ctx.eval(*e);
}

SqlValue N(double x) { return SqlValue::number(x); }
SqlValue T(std::string s) { return SqlValue::text(std::move(s)); }
SqlValue B(bool b) { return SqlValue::boolean(b); }
const SqlValue kNull = SqlValue::null();

// debug_text, cut short: some results here are tens of megabytes.
std::string shown(const SqlValue& v) {
  const std::string text = debug_text(v);
  return text.size() <= 200 ? text : text.substr(0, 200) + "...";
}

struct Case {
  const char* sql;
  SqlValue want;
};

void expect_values(std::span<const Case> cases) {
  for (const Case& c : cases) {
    const Result<SqlValue> got = eval_text(c.sql);
    ASSERT_TRUE(got) << c.sql << ": " << got.error().to_string();
    EXPECT_EQ(*got, c.want) << c.sql << " gave " << shown(*got);
  }
}

struct ErrorCase {
  const char* sql;
  const char* message;
};

void expect_errors(std::span<const ErrorCase> cases) {
  for (const ErrorCase& c : cases) {
    const Result<SqlValue> got = eval_text(c.sql);
    ASSERT_FALSE(got) << c.sql << " gave " << shown(*got);
    EXPECT_EQ(got.error().kind(), ErrorKind::SqlExecution) << c.sql;
    EXPECT_EQ(got.error().message(), c.message) << c.sql;
  }
}

// unknown_fn() fails whenever it is evaluated, so a case that holds with it shows that the
// argument was never evaluated.
TEST(ScalarFunctionTest, DispatchAndArgumentCounts) {
  const Case cases[] = {
      {"upper('abc')", T("ABC")},
      {"Upper('abc')", T("ABC")},
      {"UPPER('abc')", T("ABC")},
      {"substr('abc')", kNull},  // too few arguments: Null, nothing evaluated
      {"round()", kNull},
      {"if(1, 2)", kNull},
      {"left(unknown_fn())", kNull},
      {"replace(unknown_fn(), unknown_fn())", kNull},
      {"abs(-1, unknown_fn())", N(1)},  // arguments beyond those read are never evaluated
      {"pi(unknown_fn())", N(3.141592653589793)},
  };
  expect_values(cases);
  const ErrorCase errors[] = {
      {"match(unknown_fn())", "MATCH() is only supported in the WHERE clause of a table query, joined by AND"},
      {"unknown_fn(1)", "unknown function: unknown_fn"},
      {"sum(n)", "unknown function: sum"},
      {"Count(n)", "unknown function: Count"},
      {"abs(unknown_fn())", "unknown function: unknown_fn"},  // an argument's error passes through
  };
  expect_errors(errors);
}

TEST(ScalarFunctionTest, Maths) {
  const Case cases[] = {
      {"PI()", N(3.141592653589793)},
      {"LN(1)", N(0)},
      {"LN(0)", kNull},
      {"LN(-1)", kNull},
      {"LN('x')", kNull},
      {"LN(NULL)", kNull},
      {"LOG(100)", N(2)},
      {"LOG(2, 8)", N(std::log10(2.0))},  // base 10; the second argument is ignored
      {"LOG10('1000')", N(3)},
      {"LOG10(0)", kNull},
      {"EXP(0)", N(1)},
      {"EXP('x')", kNull},
      {"SQRT(16)", N(4)},
      {"SQRT(-1)", kNull},
      {"SQRT('nan')", kNull},
      {"FLOOR(-1.5)", N(-2)},
      {"FLOOR('2.5')", N(2)},
      {"FLOOR('x')", kNull},
      {"CEIL(1.2)", N(2)},
      {"CEILING(-1.2)", N(-1)},
      {"ABS(-5)", N(5)},
      {"ABS('-5')", kNull},
      {"ABS(true)", kNull},
      {"ABS(NULL)", kNull},
      {"SIGN(-3)", N(-1)},
      {"SIGN('2')", N(1)},
      {"SIGN(0)", N(0)},
      {"SIGN('nan')", N(0)},
      {"SIGN('x')", kNull},
      {"ROUND(2.5)", N(3)},
      {"ROUND(-2.5)", N(-3)},
      {"ROUND(3.14159, 2)", N(3.14)},
      {"ROUND(1234, -2)", N(1200)},
      {"ROUND(2.567, 'x')", N(3)},
      {"ROUND('3.14159', 2)", N(3.14)},  // a text that reads as a number keeps its digits
      {"ROUND('2.5')", N(3)},
      {"ROUND('abc', unknown_fn())", kNull},
      {"ROUND(true, unknown_fn())", N(1)},
      {"ROUND(NULL, unknown_fn())", kNull},
      {"MOD(-7, 3)", N(-1)},
      {"MOD(5.5, 2)", N(1.5)},
      {"MOD(7, 0)", kNull},
      {"MOD('x', 2)", kNull},
      {"POW('2', 3)", N(8)},
      {"POWER(2, 0.5)", N(std::pow(2.0, 0.5))},
      {"POW(NULL, 2)", kNull},
  };
  expect_values(cases);

  const Result<SqlValue> root = eval_text("SQRT(z)");  // z is -0.0: the square root keeps the sign
  ASSERT_TRUE(root && root->is_number());
  EXPECT_TRUE(std::signbit(root->number_value()));
}

// The factor 10^d stops growing once infinite, so huge digit counts return at once, and where the
// factor leaves the double range the result is the true one rather than NaN.
TEST(ScalarFunctionTest, RoundWithExtremeDigits) {
  const Case cases[] = {
      {"ROUND(1.5, 400)", N(1.5)},
      {"ROUND(1234, -400)", N(0)},
      {"ROUND(1.5, 2147483647)", N(1.5)},
      {"ROUND(1.5, POW(10, 30))", N(1.5)},
      {"ROUND(1234, -2147483648)", N(0)},
      {"ROUND(1234, -POW(10, 30))", N(0)},
      {"ROUND(1.25, 308)", N(1.25)},
      {"ROUND(POW(10, 300), 10)", N(1e300)},  // x * f overflows: no digit is lost at that scale
      {"ROUND(-7, -308)", N(-0.0)},
  };
  expect_values(cases);
}

TEST(ScalarFunctionTest, Text) {
  const Case cases[] = {
      {"LENGTH('é')", N(2)},
      {"LENGTH('')", N(0)},
      {"LENGTH(5)", kNull},
      {"UPPER('straße')", T("STRASSE")},
      {"LOWER('ΟΔΟΣ ΣΑ')", T("οδος σα")},
      {"UPPER(1)", kNull},
      {"LOWER(NULL)", kNull},
      {"TRIM('  a b \t')", T("a b")},
      {"TRIM('\xe3\x80\x80x\xc2\xa0')", T("x")},
      {"LTRIM('  a ')", T("a ")},
      {"RTRIM('  a ')", T("  a")},
      {"TRIM(5)", T("5")},
      {"TRIM(' x ', unknown_fn())", T("x")},
      {"TRIM(NULL)", kNull},
      {"REVERSE('héllo')", T("olléh")},
      {"REVERSE(12)", T("21")},
      {"REVERSE(NULL)", kNull},
      {"INITCAP('hello  wORLD ')", T("Hello World")},
      {"INITCAP('ßa straße')", T("SSa Straße")},
      {"INITCAP('hello-world')", T("Hello-world")},
      {"INITCAP('ΟΣ')", T("Ος")},  // the rest of the word lower-cases after its first letter
      {"INITCAP('ΟΔΟΣ σας Σ')", T("Οδος Σας Σ")},
      {"INITCAP('')", T("")},
      {"INITCAP(5)", kNull},
      {"TO_CHAR(3.0)", T("3")},
      {"TO_CHAR(2.5)", T("2.5")},
      {"TO_CHAR(true)", T("true")},
      {"TO_CHAR('x')", T("x")},
      {"TO_CHAR(NULL)", kNull},
      {"CONCAT('a', NULL, 1.5, true)", T("a1.5true")},
      {"CONCAT()", T("")},
      {"CONCAT_WS('-', 'a', NULL, unknown_fn(), 'b')", T("a-b")},
      {"CONCAT_WS(NULL, 'a')", kNull},
      {"CONCAT_WS(1, 'a', 2)", T("a12")},
      {"CONCAT_WS('-')", T("")},
      {"LEFT('héllo', 2)", T("hé")},
      {"LEFT('abc', 10)", T("abc")},
      {"LEFT('abc', -1)", T("")},
      {"LEFT('abc', 'x')", T("")},
      {"LEFT(NULL, unknown_fn())", kNull},
      {"RIGHT('héllo', 4)", T("éllo")},
      {"RIGHT('ab', 5)", T("ab")},
      {"RIGHT('ab', -1)", T("")},
      {"LPAD('7', 3, '0')", T("007")},
      {"LPAD('abcdef', 3)", T("abc")},
      {"RPAD('ab', 5, 'xy')", T("abxyx")},
      {"RPAD('abcdef', 3, 'x')", T("abc")},
      {"LPAD('a', 3, '')", T("a")},
      {"LPAD('a', 3)", T("  a")},
      {"LPAD('a', 3, 5)", T("  a")},  // a fill that is not Text means a space
      {"LPAD('a', 4, 'éx')", T("éxéa")},
      {"LPAD(NULL, 3)", kNull},
      {"SUBSTRING('hello', 2, 3)", T("ell")},
      {"SUBSTRING('hello', 0)", T("hello")},
      {"SUBSTRING('hello', 0, 3)", T("hel")},
      {"SUBSTRING('hello', -5, 2)", T("he")},
      {"SUBSTRING('hello', 'x')", T("hello")},
      {"SUBSTRING('hello', 9)", T("")},
      {"SUBSTRING('hello', 9, unknown_fn())", T("")},
      {"SUBSTRING('hello', 2, -1)", T("")},
      {"SUBSTRING('hello', 2, POW(10, 30))", T("ello")},
      {"SUBSTR('héllo', 2, 2)", T("él")},
      {"REPEAT('ab', 3)", T("ababab")},
      {"REPEAT('x', 'many')", T("")},
      {"REPEAT('ab', -1)", T("")},
      {"LENGTH(REPEAT('x', 1000000000))", N(10000)},  // the count is capped
      {"REPEAT(NULL, 3)", kNull},
      {"POSITION('hello', 'l')", N(3)},
      {"POSITION('héllo', 'l')", N(3)},
      {"POSITION('abc', '')", N(1)},
      {"POSITION(12345, 34)", N(3)},
      {"STRPOS('hello', 'z')", N(0)},
      {"STRPOS(NULL, unknown_fn())", kNull},
      {"SPLIT_PART('a,b,c', ',', 2)", T("b")},
      {"SPLIT_PART('a,b,c', ',', 4)", T("")},
      {"SPLIT_PART('a,b', ',', 0)", T("")},
      {"SPLIT_PART('a,,b', ',', 3)", T("b")},
      {"SPLIT_PART('a::b', '::', 2)", T("b")},
      {"SPLIT_PART('aé', '', 1)", T("")},
      {"SPLIT_PART('aé', '', 3)", T("é")},
      {"SPLIT_PART('aé', '', 4)", T("")},
      {"REPLACE('aaa', 'aa', 'b')", T("ba")},
      {"REPLACE('ab', '', '-')", T("-a-b-")},
      {"REPLACE('a.b.c', '.', '')", T("abc")},
      {"REPLACE('abc', 'x', 'y')", T("abc")},
      {"REPLACE(NULL, unknown_fn(), 'b')", kNull},
      {"HIGHLIGHT('cats, dogs', 'cat')", T("<<cats,>> dogs")},
      {"HIGHLIGHT(5, unknown_fn())", kNull},
      {"HIGHLIGHT('a', 5)", kNull},
  };
  expect_values(cases);
}

TEST(ScalarFunctionTest, Conditionals) {
  const Case cases[] = {
      {"GREATEST(1, NULL, '3', 2)", T("3")},
      {"GREATEST(true, 5)", B(true)},  // incomparable values never replace
      {"GREATEST('b', 'a')", T("b")},
      {"GREATEST()", kNull},
      {"LEAST(3, 1, 2)", N(1)},
      {"LEAST(NULL, NULL)", kNull},
      {"COALESCE(NULL, 0, unknown_fn())", N(0)},
      {"COALESCE(NULL, NULL)", kNull},
      {"NULLIF(NULL, NULL)", kNull},
      {"NULLIF(1, '1')", kNull},
      {"NULLIF(1, 2)", N(1)},
      {"NULLIF('a', 1)", T("a")},
      {"IF(1, 'y', unknown_fn())", T("y")},
      {"IIF(0, unknown_fn(), 'n')", T("n")},
      {"IF(NULL, 1, 2)", N(2)},
      {"TYPEOF(doc)", T("text")},
      {"TYPEOF(missing_field)", T("null")},
      {"TYPEOF(n)", T("number")},
      {"TYPEOF(s)", T("text")},
      {"TYPEOF(1 = 1)", T("boolean")},
  };
  expect_values(cases);
}

TEST(ScalarFunctionTest, DatesAndTimeBuckets) {
  const Case cases[] = {
      {"EXTRACT('year', 951782400)", N(2000)},
      {"DATE_PART('doy', 951782400)", N(60)},
      {"EXTRACT('Dow', 0)", N(4)},
      {"EXTRACT('hour', -1)", N(23)},
      {"EXTRACT('year', '951782400')", N(2000)},
      {"EXTRACT('year', POW(10, 300))", N(292277026596.0)},  // saturated to the int64 range
      {"EXTRACT('year', 'x')", kNull},
      {"EXTRACT(5, unknown_fn())", kNull},
      {"EXTRACT(NULL, unknown_fn())", kNull},
      {"DATE_TRUNC('day', 90000)", N(86400)},
      {"DATE_TRUNC('Week', 0)", N(-259200)},
      {"DATE_TRUNC('day', -1)", N(-86400)},
      {"DATE_TRUNC('second', POW(10, 300))", N(9223372036854775807.0)},
      {"DATE_TRUNC('year', -POW(10, 300))", N(-9223372036854775808.0)},
      {"DATE_TRUNC('month', NULL)", kNull},
      {"DATE_TRUNC(1, unknown_fn())", kNull},
      {"TIME_BUCKET('1h', 7300)", N(7200)},
      {"TIME_BUCKET(60, -5)", N(0)},
      {"TIME_BUCKET_GAPFILL('5m', 1000)", N(900)},
      {"TIME_BUCKET('60', 130)", N(120)},
      {"TIME_BUCKET('0s', 100)", kNull},
      {"TIME_BUCKET('bad', 100)", kNull},
      {"TIME_BUCKET(-60, 100)", kNull},  // a negative width saturates to 0
      {"TIME_BUCKET(true, 100)", kNull},
      {"TIME_BUCKET('1h', 'x')", kNull},
      {"TIME_BUCKET('4611686018427387904m', 100)", kNull},  // the width overflows: no interval
      {"TIME_BUCKET(POW(10, 30), 5)", N(0)},
      {"TIME_BUCKET(7, POW(10, 30))", N(18446744073709551610.0)},
      {"LOCF(5)", N(5)},
      {"RATE(NULL)", kNull},
      {"DELTA('a')", T("a")},
      {"INTERPOLATE(1, unknown_fn())", N(1)},
  };
  expect_values(cases);
  const ErrorCase errors[] = {
      {"DATE_TRUNC('decade', 123)", "unsupported DATE_TRUNC unit: decade"},
      {"DATE_TRUNC('Dai', unknown_fn())", "unsupported DATE_TRUNC unit: Dai"},
      {"EXTRACT('nonsense', 5)", "unsupported EXTRACT field: nonsense"},
      {"DATE_PART('', 5)", "unsupported EXTRACT field: "},
      {"TIME_BUCKET(NULL, unknown_fn())", "unknown function: unknown_fn"},  // the time is always read
  };
  expect_errors(errors);
}

TEST(ScalarFunctionTest, WallClock) {
  using std::chrono::duration_cast;
  using std::chrono::seconds;
  using std::chrono::system_clock;
  const double before = static_cast<double>(duration_cast<seconds>(system_clock::now().time_since_epoch()).count());
  for (const char* sql : {"NOW()", "CURRENT_TIMESTAMP()", "EPOCH()"}) {
    const Result<SqlValue> got = eval_text(sql);
    ASSERT_TRUE(got && got->is_number()) << sql;
    const double after = static_cast<double>(duration_cast<seconds>(system_clock::now().time_since_epoch()).count());
    EXPECT_GE(got->number_value(), before) << sql;
    EXPECT_LE(got->number_value(), after) << sql;
    EXPECT_EQ(got->number_value(), std::floor(got->number_value())) << sql;
  }
}

TEST(ScalarFunctionTest, RandomStaysInTheUnitInterval) {
  const Result<SqlValue> first = eval_text("RANDOM()");
  const Result<SqlValue> second = eval_text("RANDOM()");
  ASSERT_TRUE(first && second);
  EXPECT_NE(*first, *second);
  for (int i = 0; i < 10000; ++i) {
    const double x = fastrand_f64();
    ASSERT_GE(x, 0.0);
    ASSERT_LT(x, 1.0);
  }
}

// POSITION, REPLACE and SPLIT_PART search the bytes; they must answer as a naive search over
// characters does, on texts of two letters and é, where occurrences overlap and repeat.
TEST(ScalarFunctionTest, SubstringSearchAgreesWithANaiveSearch) {
  using Chars = std::u32string;
  auto matches_at = [](const Chars& t, const Chars& n, std::size_t i) {
    return i + n.size() <= t.size() && t.compare(i, n.size(), n) == 0;
  };
  auto position = [&](const Chars& t, const Chars& n) -> double {
    for (std::size_t i = 0; i + n.size() <= t.size(); ++i) {
      if (matches_at(t, n, i)) return static_cast<double>(i + 1);
    }
    return 0;
  };
  auto replace = [&](const Chars& t, const Chars& from, const Chars& to) {
    Chars out;
    for (std::size_t i = 0; i < t.size();) {
      if (matches_at(t, from, i)) {
        out += to;
        i += from.size();
      } else {
        out += t[i++];
      }
    }
    return out;
  };
  auto split_part = [&](const Chars& t, const Chars& d, std::size_t n) {
    std::vector<Chars> pieces(1);
    for (std::size_t i = 0; i < t.size();) {
      if (matches_at(t, d, i)) {
        pieces.emplace_back();
        i += d.size();
      } else {
        pieces.back() += t[i++];
      }
    }
    return n >= 1 && n <= pieces.size() ? pieces[n - 1] : Chars();
  };
  auto utf8 = [](const Chars& s) {
    std::string out;
    for (char32_t c : s) util::append_utf8(out, c);
    return out;
  };
  std::mt19937 rng(32);
  auto random_chars = [&](std::size_t min_len, std::size_t max_len) {
    Chars s(min_len + rng() % (max_len - min_len + 1), U'a');
    for (char32_t& c : s) c = rng() % 9 == 0 ? U'é' : U"ab"[rng() % 2];
    return s;
  };
  for (int i = 0; i < 5000; ++i) {
    const Chars t = random_chars(0, 30);
    const Chars n = random_chars(1, 4);
    const Chars r = random_chars(0, 2);
    const std::size_t part = rng() % 6;
    const std::string args = "'" + utf8(t) + "', '" + utf8(n) + "'";
    const std::string sql[] = {"POSITION(" + args + ")", "REPLACE(" + args + ", '" + utf8(r) + "')",
                               "SPLIT_PART(" + args + ", " + std::to_string(part) + ")"};
    const Case cases[] = {
        {sql[0].c_str(), N(position(t, n))},
        {sql[1].c_str(), T(utf8(replace(t, n, r)))},
        {sql[2].c_str(), T(utf8(split_part(t, n, part)))},
    };
    expect_values(cases);
  }
}

// Texts that could never be stored (over the 64 MiB record limit) are refused before they are
// built; up to the limit the results are built as usual.
TEST(ScalarFunctionTest, TextResultsAreBounded) {
  const Case cases[] = {
      {"LENGTH(LPAD('a', 67108864))", N(67108864)},
      {"LENGTH(RPAD('a', 67108864, 'xy'))", N(67108864)},
      {"LENGTH(REPEAT(REPEAT('x', 6710), 10000))", N(67100000)},
  };
  expect_values(cases);
  const ErrorCase errors[] = {
      {"LPAD('a', 67108865)", "LPAD result too large (limit 67108864 bytes)"},
      {"RPAD('a', 67108865, 'xy')", "RPAD result too large (limit 67108864 bytes)"},
      {"LPAD('é', 33554433, 'é')", "LPAD result too large (limit 67108864 bytes)"},
      {"LPAD('a', POW(10, 30))", "LPAD result too large (limit 67108864 bytes)"},
      {"RPAD('a', POW(10, 30), 'abc')", "RPAD result too large (limit 67108864 bytes)"},
      {"REPEAT(REPEAT('x', 6711), 10000)", "REPEAT result too large (limit 67108864 bytes)"},
      {"REPEAT(REPEAT(REPEAT('x', 10000), 10000), 10000)", "REPEAT result too large (limit 67108864 bytes)"},
      {"REPLACE(REPEAT('x', 10000), '', REPEAT('y', 10000))", "REPLACE result too large (limit 67108864 bytes)"},
      {"CONCAT(REPEAT(REPEAT('x', 3400), 10000), REPEAT(REPEAT('x', 3400), 10000))",
       "CONCAT result too large (limit 67108864 bytes)"},
      {"CONCAT_WS(REPEAT(REPEAT('x', 3400), 10000), 'a', 'b', 'c')", "CONCAT_WS result too large (limit 67108864 bytes)"},
  };
  expect_errors(errors);
}

}  // namespace
}  // namespace quenlordb::sql::eval
