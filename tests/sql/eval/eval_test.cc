#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "sql/eval/eval_context.h"
#include "sql/parser/parser.h"
#include "print_value.h"

namespace quenlordb::sql::eval {

namespace {

using parser::Expr;

Expr parse(std::string_view sql) {
  parser::Parser p(parser::tokenize(sql).value());
  Result<Expr> e = p.parse_expr();
  EXPECT_TRUE(e && p.at_end()) << sql;
  return e ? std::move(*e) : Expr();
}

Result<SqlValue> eval_on(std::string_view sql, std::string_view pk = "", std::string_view doc = "{}") {
  const Expr e = parse(sql);
  EvalContext ctx(pk, doc);
  return ctx.eval(e);
}

SqlValue N(double x) { return SqlValue::number(x); }
SqlValue T(const char* s) { return SqlValue::text(s); }
SqlValue B(bool b) { return SqlValue::boolean(b); }
const SqlValue kNull = SqlValue::null();

struct Case {
  const char* sql;
  SqlValue want;
};

void expect_all(std::span<const Case> cases, std::string_view pk = "", std::string_view doc = "{}") {
  for (const Case& c : cases) {
    Result<SqlValue> got = eval_on(c.sql, pk, doc);
    ASSERT_TRUE(got) << c.sql << ": " << got.error().to_string();
    EXPECT_EQ(*got, c.want) << c.sql << " gave " << debug_text(*got);
  }
}

void expect_error(std::string_view sql, std::string_view message, std::string_view doc = "{}") {
  Result<SqlValue> got = eval_on(sql, "", doc);
  ASSERT_FALSE(got) << sql << " gave " << debug_text(*got);
  EXPECT_EQ(got.error().kind(), ErrorKind::SqlExecution) << sql;
  EXPECT_EQ(got.error().message(), message) << sql;
}

// Two-valued logic: NULL compares equal to NULL, nothing else compares with NULL, and AND, OR and
// NOT take NULL as false.
TEST(EvalTest, NullTruthTable) {
  const Case cases[] = {
      {"NULL = NULL", B(true)},
      {"NULL <= NULL", B(true)},
      {"NULL >= NULL", B(true)},
      {"NULL != NULL", B(false)},
      {"NULL <> NULL", B(false)},
      {"NULL < NULL", B(false)},
      {"NULL = 1", B(false)},
      {"NULL != 1", B(false)},
      {"NULL < 1", B(false)},
      {"1 >= NULL", B(false)},
      {"NOT NULL", B(true)},
      {"NULL IS NULL", B(true)},
      {"NULL IS NOT NULL", B(false)},
      {"1 IS NULL", B(false)},
      {"NULL AND TRUE", B(false)},
      {"TRUE AND NULL", B(false)},
      {"NULL OR TRUE", B(true)},
      {"NULL OR NULL", B(false)},
      {"NULL OR 'x'", B(true)},  // AND and OR always give a Bool
      {"2 AND 3", B(true)},
      {"NULL IN (NULL)", B(true)},
      {"2 NOT IN (1, NULL)", B(true)},
      {"NULL BETWEEN NULL AND NULL", B(true)},
      {"1 BETWEEN NULL AND 2", B(false)},
      {"1 NOT BETWEEN NULL AND 2", B(true)},
      {"CASE NULL WHEN NULL THEN 1 ELSE 2 END", N(1)},
      {"CASE WHEN NULL THEN 1 ELSE 2 END", N(2)},
  };
  expect_all(cases);
}

TEST(EvalTest, ComparisonsAcrossKinds) {
  const Case cases[] = {
      {"10 > '9'", B(true)},
      {"'10' > '9'", B(false)},
      {"'abc' = 0", B(false)},
      {"'abc' != 0", B(false)},  // incomparable: neither equal nor different
      {"TRUE = 1", B(false)},
      {"TRUE > FALSE", B(true)},
      {"'1e3' = 1000", B(true)},
      {"-0 = 0", B(true)},
      {"2 BETWEEN '1' AND 3", B(true)},
      {"'b' BETWEEN 'a' AND 'c'", B(true)},
      {"1 IN ('1', 2)", B(true)},
      {"3 NOT IN (1, 2)", B(true)},
  };
  expect_all(cases);
}

TEST(EvalTest, Arithmetic) {
  const Case cases[] = {
      {"1 + '2'", N(3)},
      {"'1' + '2'", N(3)},
      {"'a' + 'b'", kNull},
      {"'a' + 1", kNull},
      {"TRUE + TRUE", N(2)},
      {"NULL + 1", kNull},
      {"5 / 2", N(2.5)},
      {"5 / 0", kNull},
      {"5 / -0", kNull},
      {"5 % 0", kNull},
      {"-7 % 3", N(-1)},
      {"7 % -3", N(1)},
      {"5.5 % 2", N(1.5)},
      {"2 * 3 - 1", N(5)},
      {"'inf' - 'inf' = 0", B(false)},  // NaN compares with nothing
  };
  expect_all(cases);
  // A NaN divisor divides.
  EXPECT_TRUE(std::isnan(eval_on("1 / 'nan'")->number_value()));
}

TEST(EvalTest, LikeAndIlike) {
  const Case cases[] = {
      {"'abc' LIKE 'a%'", B(true)},
      {"'abc' LIKE '_b_'", B(true)},
      {"'abc' LIKE 'A%'", B(false)},
      {"'abc' ILIKE 'A%'", B(true)},
      {"'abc' LIKE 'a%%c'", B(true)},
      {"'abc' LIKE 'ab'", B(false)},
      {"'ab' LIKE 'abc'", B(false)},
      {"'' LIKE '%'", B(true)},
      {"'' LIKE '_'", B(false)},
      {"'a_c' LIKE 'a\\_c'", B(true)},  // the lexer drops the backslash: _ stays a wild card
      {"'abc' LIKE 'a\\_c'", B(true)},
      {"5 LIKE '5'", B(false)},
      {"'5' LIKE 5", B(false)},
      {"NULL LIKE '%'", B(false)},
      {"5 ILIKE '5'", B(true)},
      {"2.50 ILIKE '2.5'", B(true)},
      {"TRUE ILIKE 'TRUE'", B(true)},
      {"NULL ILIKE ''", B(true)},
      {"NOT 'abc' LIKE 'b%'", B(true)},
      {"'abc' NOT LIKE 'b%'", B(true)},
      // characters are code points, not bytes
      {"'héllo' LIKE 'h_llo'", B(true)},
      {"'héllo' LIKE 'h__llo'", B(false)},
      {"'日本語' LIKE '_本_'", B(true)},
      {"'日本語' LIKE '%語'", B(true)},
      {"'😀x' LIKE '_x'", B(true)},
      // ILIKE lower-cases both sides with the full mapping
      {"'ÉCOLE' ILIKE 'école'", B(true)},
      {"'STRASSE' ILIKE 'strasse'", B(true)},
      {"'İ' ILIKE 'i_'", B(true)},        // İ lower-cases to i and a combining dot
      {"'ΟΔΟΣ' ILIKE 'οδος'", B(true)},  // the word-final Σ lower-cases to ς
      {"'ΟΔΟΣ' ILIKE 'οδοσ'", B(false)},
      {"'ΣΑ' ILIKE 'σα'", B(true)},
  };
  expect_all(cases);
}

TEST(EvalTest, Cast) {
  const Case cases[] = {
      {"CAST('12.7' AS INT)", N(12)},
      {"CAST(-12.7 AS INTEGER)", N(-12)},
      {"CAST(' 12' AS INT)", kNull},
      {"CAST('1e3' AS INT)", N(1000)},
      {"CAST('x' AS INT)", kNull},
      {"CAST('nan' AS INT)", N(0)},
      {"CAST(1000000000000000000000000000000 AS INT)", N(9223372036854775808.0)},
      {"CAST(-1000000000000000000000000000000 AS INT)", N(-9223372036854775808.0)},
      {"CAST('-inf' AS INT)", N(-9223372036854775808.0)},
      {"CAST(TRUE AS INT)", N(1)},
      {"CAST(NULL AS INT)", kNull},
      {"CAST('x' AS REAL)", kNull},
      {"CAST('2.5' AS FLOAT)", N(2.5)},
      {"CAST(FALSE AS DOUBLE)", N(0)},
      {"CAST(NULL AS REAL)", kNull},
      {"CAST(3.0 AS TEXT)", T("3")},
      {"CAST(2.5 AS VARCHAR)", T("2.5")},
      {"CAST(-0 AS STRING)", T("0")},
      {"CAST('1e21' AS REAL) = 1000000000000000000000", B(true)},
      {"CAST(CAST('1e21' AS REAL) AS TEXT)", T("1000000000000000000000")},
      {"CAST(TRUE AS TEXT)", T("true")},
      {"CAST(NULL AS TEXT)", kNull},
      {"CAST('TRUE' AS BOOLEAN)", B(true)},
      {"CAST('1' AS BOOL)", B(true)},
      {"CAST('yes' AS BOOL)", B(false)},
      {"CAST('' AS BOOL)", B(false)},
      {"CAST(0 AS BOOL)", B(false)},
      {"CAST(-0 AS BOOL)", B(false)},
      {"CAST(0.1 AS BOOL)", B(true)},
      {"CAST(NULL AS BOOL)", kNull},
      {"CAST(cast(2 AS text) AS int)", N(2)},  // the parser upper-cases the type word
  };
  expect_all(cases);
  for (const char* type : {"JSON", "BIGINT", "BLOB", "BYTES", "DATE"}) {
    expect_error(std::string("CAST(1 AS ") + type + ")", std::string("unsupported CAST target type: ") + type);
  }
  // The operand is evaluated first, so its error wins.
  expect_error("CAST(nope() AS JSON)", "unknown function: nope");
}

TEST(EvalTest, ColumnsAndFields) {
  const char* doc = R"({"a": {"b": 7, "arr": [1, 2]}, "n": 1.5, "s": "x", "t": true, "z": null, "PK": "member",)"
                    R"( "o": {"y": 1, "x": [true]}, "k": 1, "k": 2})";
  const Case cases[] = {
      {"pk", T("key1")},
      {"PK", T("key1")},
      {"Pk", T("key1")},
      {"n", N(1.5)},
      {"s", T("x")},
      {"t", B(true)},
      {"z", kNull},
      {"missing", kNull},
      {"N", kNull},  // member names are case-sensitive
      {"o", T(R"({"x":[true],"y":1})")},
      {"k", N(2)},  // the last of repeated keys wins
      {"doc.a.b", N(7)},
      {"DOC.a.b", N(7)},
      {"doc.a.arr", T("[1,2]")},
      {"doc.a.arr.x", kNull},
      {"doc.a.b.c", kNull},
      {"doc.a.missing", kNull},
      {"doc.n", N(1.5)},
      {"t.a", kNull},
      {"x.a.b", kNull},
      {"*", kNull},
  };
  expect_all(cases, "key1", doc);
  EXPECT_EQ(*eval_on("doc", "k", doc), T(doc));
}

// A qualified name reads the row of the table it names: the context's own row, another row, or a
// padded side; a qualifier bound to no table reads NULL.
TEST(EvalTest, QualifiedNamesReadTheirTable) {
  VisibleRow own{"k1", R"({"a": {"b": 7}, "pk": "member"})"};
  EvalContext other("k2", R"({"a": {"b": 8}})");
  const TableBinding tables[] = {{"Users", nullptr, false}, {"o", &other, false}, {"gone", nullptr, true}};
  const Case cases[] = {
      {"users.pk", T("k1")},       {"USERS.a.b", N(7)},     {"users.a", T(R"({"b":7})")},
      {"users.missing", kNull},    {"o.pk", T("k2")},       {"o.a.b", N(8)},
      {"gone.pk", kNull},          {"gone.a.b", kNull},     {"nope.a.b", kNull},
      {"users.a.b + o.a.b", N(15)}, {"doc.pk", T("member")}, {"pk", T("k1")},
  };
  for (const Case& c : cases) {
    EvalContext ctx(own, tables);
    Result<SqlValue> got = ctx.eval(parse(c.sql));
    ASSERT_TRUE(got) << c.sql;
    EXPECT_EQ(*got, c.want) << c.sql << " gave " << debug_text(*got);
  }
  // Without bindings every qualifier but doc reads NULL.
  EXPECT_EQ(*eval_on("users.a.b", "k1", own.doc), kNull);
  // filter_rows binds the tables to every row.
  std::vector<VisibleRow> rows = {{"k1", R"({"v": 1})"}, {"k2", R"({"v": 2})"}};
  const TableBinding self[] = {{"t", nullptr, false}};
  Result<std::vector<VisibleRow>> kept = filter_rows(rows, parse("t.v = 2 AND t.pk = 'k2'"), self);
  ASSERT_TRUE(kept);
  EXPECT_EQ(*kept, (std::vector<VisibleRow>{{"k2", R"({"v": 2})"}}));
}

TEST(EvalTest, DocumentsThatDoNotReadAsObjects) {
  // Not JSON: doc is its text, every member NULL, and no error.
  EXPECT_EQ(*eval_on("doc", "k", "not json"), T("not json"));
  EXPECT_EQ(*eval_on("a", "k", "not json"), kNull);
  EXPECT_EQ(*eval_on("doc.a", "k", "{\"a\": 1} trailing"), kNull);
  EXPECT_EQ(*eval_on("a", "k", "[1]"), kNull);
  EXPECT_EQ(*eval_on("a", "k", "7"), kNull);
  EXPECT_EQ(*eval_on("a", "k", ""), kNull);
  // Bytes that are not UTF-8 read as U+FFFD in doc.
  EXPECT_EQ(*eval_on("doc", "k", std::string_view("a\xff\xc3z", 4)), T("a\xEF\xBF\xBD\xEF\xBF\xBDz"));
  // Nesting: 127 levels read, 128 do not.
  auto nested = [](int depth) {
    return "{\"a\":" + std::string(depth - 1, '[') + "1" + std::string(depth - 1, ']') + ",\"b\":2}";
  };
  EXPECT_EQ(*eval_on("b", "k", nested(127)), N(2));
  EXPECT_EQ(*eval_on("b", "k", nested(128)), kNull);
  EXPECT_EQ(*eval_on("b", "k", "{\"b\":2," + std::string(200000, '[')), kNull);
}

// Member reads go through an index of the document's top-level members; the same reads after the
// whole document was parsed into a tree give the same values, whatever the document holds.
TEST(EvalTest, MemberReadsAgreeWithTheParsedDocument) {
  std::string many = "{";
  for (int i = 0; i < 20; ++i) many += "\"m" + std::to_string(i % 12) + "\":" + std::to_string(i) + ",";
  many += "\"a\":{\"b\":1}}";
  const std::vector<std::string> docs = {
      R"({"a":1,"b":"x","a":2})", R"({"a":1,"\u0061":2})", R"({"a":{"b":1,"b":2,"c":[1,{"z":0,"y":1}]},"b":null})",
      R"({"a":{"b":{"c":"deep"}},"a":{"x":1}})", R"({"a":[1,2],"b":true,"s":"\u00e9\ud83d\ude00\n\"","n":-0})",
      R"({"n":-0.0,"b":1e-400,"a":18446744073709551616,"s":-9223372036854775809})", R"({"n":1E2,"a":0.1,"b":5e-324})",
      R"({"a b":1,"":2,"a\"b":3,"é":4})", R"({"a":1e400})", R"({"a":1,})", R"([{"a":1}])", "5", "\"a\"", "null", "not json",
      "", "\xEF\xBB\xBF{\"a\":7}", std::string("{\"a\":8}\0junk", 12), "{\"a\":\"\xff\"}", many,
      "{\"b\":2,\"a\":" + std::string(126, '[') + std::string(126, ']') + "}",
      "{\"b\":2,\"a\":" + std::string(127, '[') + std::string(127, ']') + "}",
      "{\"" + std::string(70000, 'k') + "\":1,\"a\":{\"b\":3}}",
  };
  const std::vector<std::vector<std::string>> paths = {
      {"a"}, {"b"}, {"n"}, {"s"}, {""}, {"a b"}, {"a\"b"}, {"é"}, {"m3"}, {"missing"},
      {"a", "b"}, {"a", "b", "c"}, {"a", "c"}, {"a", "x"}, {"b", "a"}, {std::string(70000, 'k')},
  };
  for (const std::string& doc : docs) {
    for (const std::vector<std::string>& path : paths) {
      EvalContext indexed("k", doc);
      EvalContext parsed("k", doc);
      parsed.document();
      EXPECT_EQ(debug_text(indexed.field_path(path)), debug_text(parsed.field_path(path)))
          << ::testing::PrintToString(doc.substr(0, 80)) << " path " << path[0] << " (" << path.size() << ")";
      if (path.size() == 1) {
        EvalContext by_member("k", doc);
        EXPECT_EQ(debug_text(by_member.member(path[0])), debug_text(parsed.member(path[0])))
            << ::testing::PrintToString(doc.substr(0, 80)) << " member " << path[0];
      }
    }
  }
}

// A member compared with a number literal is read straight from the document; the answers are
// those of the same comparison with the number computed (`+ 0`), which takes the general path, over
// members of every kind, a missing one, a parsed tree, and documents that are not objects.
TEST(EvalTest, MemberAgainstNumberLiteralAgreesWithTheGeneralComparison) {
  const std::vector<std::string> docs = {
      R"({"x":5})", R"({"x":-0})", R"({"x":4.999999999999999})", R"({"x":1e400})", R"({"x":18446744073709551616})",
      R"({"x":"5"})", R"({"x":" 5"})", R"({"x":"nan"})", R"({"x":"inf"})", R"({"x":true})", R"({"x":null})",
      R"({"x":[5]})", R"({"x":{"y":5}})", R"({"y":5})", R"({"x":7,"x":5})", "[5]", "5", "not json",
  };
  const char* ops[] = {"=", "<>", "!=", "<", ">", "<=", ">="};
  for (const std::string& doc : docs) {
    for (const char* op : ops) {
      for (const std::string& number : {std::string("5"), std::string("0"), std::string("0.5"), "1" + std::string(400, '0')}) {
        for (bool parsed : {false, true}) {
          const std::string quick = std::string("x ") + op + " " + number;
          const std::string general = std::string("x ") + op + " (" + number + " + 0)";
          const std::string quick_swapped = number + " " + op + " x";
          const std::string general_swapped = std::string("(") + number + " + 0) " + op + " x";
          EvalContext ctx("k", doc);
          if (parsed) ctx.document();
          EXPECT_EQ(*ctx.eval(parse(quick)), *ctx.eval(parse(general))) << doc << " " << quick;
          EXPECT_EQ(*ctx.eval(parse(quick_swapped)), *ctx.eval(parse(general_swapped))) << doc << " " << quick_swapped;
        }
      }
    }
  }
}

// An IN list of constants is answered from a set of its values, made on the tree's first
// evaluation; it must answer as comparing the value with each item in turn does. The same list
// with every item wrapped in COALESCE (a function call, so no constant) takes that per-item path.
// Lists are drawn with repeats from values of every kind (-0, NaN, infinity, numeric texts that
// differ as texts), and each tree is evaluated over rows of every kind, a missing member included.
TEST(EvalTest, InListOfConstantsAgreesWithComparingEachItem) {
  const std::vector<std::string> items = {
      "NULL", "TRUE", "FALSE", "0", "1", "2", "1.5", "0 * -1", "-1", "CAST('inf' AS REAL)", "CAST('nan' AS REAL)",
      "'1'", "'1.0'", "'01'", "' 1'", "'-0'", "'1e0'", "'abc'", "'ABC'", "''", "'inf'", "'nan'", "'true'", "'[1]'",
  };
  const std::vector<std::string> docs = {
      R"({"v":null})", R"({"v":true})", R"({"v":false})", R"({"v":0})", R"({"v":-0.0})", R"({"v":1})",
      R"({"v":1.0})", R"({"v":1.5})", R"({"v":2})", R"({"v":-1})", R"({"v":1e400})", R"({"v":"1"})",
      R"({"v":"1.0"})", R"({"v":"01"})", R"({"v":" 1"})", R"({"v":"-0"})", R"({"v":"abc"})", R"({"v":""})",
      R"({"v":"inf"})", R"({"v":"nan"})", R"({"v":"true"})", R"({"v":[1]})", R"({"v":{"a":1}})", "{}",
  };
  const std::vector<std::string> probes = {"v", "CAST(v AS REAL)"};
  std::mt19937 rng(32);
  for (int round = 0; round < 1500; ++round) {
    std::string constants, wrapped;
    for (std::size_t n = 1 + rng() % 8; n > 0; --n) {
      const std::string& item = items[rng() % items.size()];
      if (!constants.empty()) {
        constants += ", ";
        wrapped += ", ";
      }
      constants += item;
      wrapped += "COALESCE(" + item + ")";
    }
    for (const std::string& probe : probes) {
      for (const char* in : {" IN (", " NOT IN ("}) {
        const Expr fast = parse(probe + in + constants + ")");
        const Expr slow = parse(probe + in + wrapped + ")");
        for (const std::string& doc : docs) {
          EvalContext a("k", doc);
          EvalContext b("k", doc);
          ASSERT_EQ(*a.eval(fast), *b.eval(slow)) << probe << in << constants << ") over " << doc;
        }
      }
    }
  }
}

// An item that fails is reached only when no earlier item matches: such a list keeps evaluating
// its items row by row, so that one tree answers the first row and fails on the second.
TEST(EvalTest, InListWithAFailingConstantFailsOnlyWhereItIsReached) {
  const Expr e = parse("v IN (1, CAST(1 AS JSON))");
  EvalContext first("k", R"({"v":1})");
  EXPECT_EQ(*first.eval(e), B(true));
  EvalContext second("k", R"({"v":2})");
  const Result<SqlValue> failed = second.eval(e);
  ASSERT_FALSE(failed);
  EXPECT_EQ(failed.error().message(), "unsupported CAST target type: JSON");
}

TEST(EvalTest, DocumentIsParsedOnlyWhenAMemberIsRead) {
  const Expr on_key = parse("pk = 'a' AND doc LIKE '%' AND 1 + 1 = 2");
  EvalContext ctx("a", "{\"x\": 1}");
  EXPECT_EQ(*ctx.eval(on_key), B(true));
  EXPECT_FALSE(ctx.document_parsed());
  EXPECT_EQ(*ctx.eval(parse("x")), N(1));
  EXPECT_TRUE(ctx.document_parsed());
}

TEST(EvalTest, CaseForms) {
  const Case cases[] = {
      {"CASE 2 WHEN 1 THEN 'a' WHEN 2 THEN 'b' ELSE 'c' END", T("b")},
      {"CASE 3 WHEN 1 THEN 'a' END", kNull},
      {"CASE '2' WHEN 2 THEN 'numeric text' END", T("numeric text")},
      {"CASE WHEN 0 THEN 'a' WHEN 'x' THEN 'b' END", T("b")},
      {"CASE WHEN FALSE THEN 1 ELSE 2 END", N(2)},
  };
  expect_all(cases);
}

// Lazy paths never evaluate what they skip; an error of what they do evaluate ends the call.
TEST(EvalTest, LazinessAndErrors) {
  const Case cases[] = {
      {"1 IN (1, bad_function())", B(true)},
      {"FALSE AND bad_function()", B(false)},
      {"TRUE OR bad_function()", B(true)},
      {"CASE WHEN TRUE THEN 1 ELSE bad_function() END", N(1)},
      {"CASE 1 WHEN 1 THEN 2 WHEN bad_function() THEN 3 END", N(2)},
  };
  expect_all(cases);
  expect_error("2 IN (1, bad_function())", "unknown function: bad_function");
  expect_error("TRUE AND Bad_Fn(1)", "unknown function: Bad_Fn");
  expect_error("bad_function() IS NULL", "unknown function: bad_function");
  expect_error("1 + bad_function()", "unknown function: bad_function");
  expect_error("1 BETWEEN 0 AND bad_function()", "unknown function: bad_function");
  expect_error("CASE WHEN bad_function() THEN 1 END", "unknown function: bad_function");
  expect_error("sum(1)", "unknown function: sum");
}

TEST(EvalTest, WindowFunctionsAndStarAreNull) {
  EXPECT_EQ(*eval_on("row_number() OVER (ORDER BY a)"), kNull);
}

TEST(EvalBinopTest, OperatorsOnValues) {
  using parser::BinOperator;
  EXPECT_EQ(eval_binop(N(1), BinOperator::Lt, T("2")), B(true));
  EXPECT_EQ(eval_binop(T("a"), BinOperator::Like, T("a")), B(true));
  EXPECT_EQ(eval_binop(kNull, BinOperator::Add, N(1)), kNull);
  EXPECT_EQ(eval_binop(N(7), BinOperator::Mod, N(std::numeric_limits<double>::infinity())), N(7));
}

TEST(FilterRowsTest, KeepsTruthyRowsInOrder) {
  std::vector<VisibleRow> rows = {
      {"1", R"({"v": "text"})"}, {"2", R"({"v": ""})"},  {"3", R"({"v": 2})"},   {"4", R"({"v": 0})"},
      {"5", "not json"},         {"6", R"({"v": null})"}, {"7", R"({"v": "0"})"}, {"8", R"({"v": false})"},
  };
  Result<std::vector<VisibleRow>> kept = filter_rows(rows, parse("v"));
  ASSERT_TRUE(kept);
  std::vector<std::string> pks;
  for (const VisibleRow& r : *kept) pks.push_back(r.pk);
  EXPECT_EQ(pks, (std::vector<std::string>{"1", "3", "7"}));
  EXPECT_EQ((*kept)[1].doc, R"({"v": 2})");

  // A WHERE on a field drops a row whose document is not JSON, without error.
  kept = filter_rows(rows, parse("v = 2 OR pk = '5'"));
  ASSERT_TRUE(kept);
  ASSERT_EQ(kept->size(), 2u);
  EXPECT_EQ((*kept)[1].pk, "5");

  Result<std::vector<VisibleRow>> failed = filter_rows(rows, parse("pk = '1' OR bad()"));
  ASSERT_FALSE(failed);
  EXPECT_EQ(failed.error().message(), "unknown function: bad");
  EXPECT_TRUE(*filter_rows({}, parse("bad()")) == std::vector<VisibleRow>{});
}

}  // namespace
}  // namespace quenlordb::sql::eval
