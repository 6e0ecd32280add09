#include "sql/parser/splitter.h"

#include <gtest/gtest.h>

namespace quenlordb::sql::parser {
namespace {

TEST(SplitterTest, CutsAtSemicolonsOutsideLiterals) {
  struct Case {
    const char* name;
    std::string script;
    std::vector<std::string_view> pieces;
  };
  const Case cases[] = {
      {"empty pieces dropped", "SELECT 1 FROM t; ;  SELECT 2 FROM u;", {"SELECT 1 FROM t", "SELECT 2 FROM u"}},
      {"no final semicolon", "BEGIN;COMMIT", {"BEGIN", "COMMIT"}},
      {"semicolon in literal", "INSERT INTO t (pk, doc) VALUES ('a;b', '{}'); SELECT doc FROM t",
       {"INSERT INTO t (pk, doc) VALUES ('a;b', '{}')", "SELECT doc FROM t"}},
      {"doubled quote re-enters", "SELECT 'x''y;z' FROM t; B", {"SELECT 'x''y;z' FROM t", "B"}},
      {"escaped quote stays inside", "SELECT 'it\\';s'; B", {"SELECT 'it\\';s'", "B"}},
      {"escaped backslash ends escape", "SELECT 'a\\\\'; B", {"SELECT 'a\\\\'", "B"}},
      {"backslash outside literal", "a\\;b", {"a\\", "b"}},
      {"double quotes protect nothing", "SELECT \"a;b\"", {"SELECT \"a", "b\""}},
      {"dashes protect nothing", "SELECT 1 -- x; y", {"SELECT 1 -- x", "y"}},
      {"unicode white space trimmed", "\u3000\u00a0 SELECT 1\u2028\u0085;\t\n", {"SELECT 1"}},
      {"inner white space kept", "SELECT\u3000 1", {"SELECT\u3000 1"}},
      {"multi-byte text kept whole", "SELECT 'é;ü'; é", {"SELECT 'é;ü'", "é"}},
      {"literals one after another", "A 'x\\\\';B 'y\\';z' '';C''';';D",
       {"A 'x\\\\'", "B 'y\\';z' ''", "C''';'", "D"}},
  };
  for (const Case& tc : cases) {
    auto r = split_sql_statements(tc.script);
    ASSERT_TRUE(r) << tc.name << ": " << r.error().to_string();
    EXPECT_EQ(*r, tc.pieces) << tc.name;
  }
}

TEST(SplitterTest, Failures) {
  struct Case {
    const char* name;
    std::string script;
    const char* message;
  };
  const Case cases[] = {
      {"empty script", "", "sql parse error: no SQL statements found"},
      {"only semicolons and blanks", " ; ;\n; ", "sql parse error: no SQL statements found"},
      {"open literal", "SELECT 1; SELECT 'abc", "sql parse error: unterminated string literal"},
      {"lone quote at the end", "SELECT 1; '", "sql parse error: unterminated string literal"},
      {"escape at the end", "SELECT 'a\\'", "sql parse error: unterminated string literal"},
      {"unterminated beats empty", "'", "sql parse error: unterminated string literal"},
      {"invalid utf-8", "SELECT '\xff'", "sql parse error: invalid utf-8 sequence of 1 bytes from index 8"},
      {"cut utf-8", "SELECT \xe2\x82", "sql parse error: incomplete utf-8 byte sequence from index 7"},
  };
  for (const Case& tc : cases) {
    auto r = split_sql_statements(tc.script);
    ASSERT_FALSE(r) << tc.name;
    EXPECT_EQ(r.error().kind(), ErrorKind::SqlParse) << tc.name;
    EXPECT_EQ(r.error().to_string(), tc.message) << tc.name;
  }
}

}  // namespace
}  // namespace quenlordb::sql::parser
