// Window functions over partitions: numbering, ranks, LAG and LEAD, ordering and projection.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "facet/relational/keys.h"
#include "facet/relational/records.h"
#include "sql/exec/exec_fixture.h"

namespace quenlordb::sql::exec::testing {
namespace {

namespace rel = facet::relational;

class WindowTest : public ExecFixture {
 protected:
  void SetUp() override {
    ExecFixture::SetUp();
    create_table("t");
    const std::vector<std::pair<std::string, std::string>> data = {
        {"r1", R"({"v":20,"g":"a|b","h":"c"})"}, {"r2", R"({"v":10,"g":"a","h":"b|c"})"},
        {"r3", R"({"v":30,"g":"a|b","h":"c"})"}, {"r4", R"({"v":20,"g":"a|b","h":"c"})"}};
    for (const auto& [pk, doc] : data) put_row("t", pk, doc);
  }
};

TEST_F(WindowTest, Functions) {
  struct Case {
    std::string sql;
    std::vector<std::string> want;
  };
  const std::vector<Case> cases = {
      {"SELECT pk, row_number() OVER (ORDER BY v) AS n, rank() OVER (ORDER BY v) AS r, "
       "dense_rank() OVER (ORDER BY v) AS d FROM t ORDER BY n",
       {R"({"d":1.0,"n":1.0,"pk":"r2","r":1.0})", R"({"d":2.0,"n":2.0,"pk":"r1","r":2.0})",
        R"({"d":2.0,"n":3.0,"pk":"r4","r":2.0})", R"({"d":3.0,"n":4.0,"pk":"r3","r":4.0})"}},
      {"SELECT pk, lag(v) OVER (ORDER BY v) AS a, lead(v) OVER (ORDER BY v) AS b, "
       "lag(v, 2, 0) OVER (ORDER BY v) AS c FROM t",
       {R"({"a":10.0,"b":20.0,"c":0.0,"pk":"r1"})", R"({"a":null,"b":20.0,"c":0.0,"pk":"r2"})",
        R"({"a":20.0,"b":null,"c":20.0,"pk":"r3"})", R"({"a":20.0,"b":30.0,"c":10.0,"pk":"r4"})"}},
      // ('a|b', 'c') and ('a', 'b|c') are different partitions
      {"SELECT pk, row_number() OVER (PARTITION BY g, h ORDER BY pk) AS n FROM t",
       {R"({"n":1.0,"pk":"r1"})", R"({"n":1.0,"pk":"r2"})", R"({"n":2.0,"pk":"r3"})", R"({"n":3.0,"pk":"r4"})"}},
      // the default is read at the row itself; an offset past the partition reads it everywhere
      {"SELECT pk, lead(v, 2, 'none') OVER (ORDER BY v) AS d, lag(v, 1, 0 - v) OVER (ORDER BY v) AS e, "
       "lead(v, 99999999999999999999, g) OVER () AS f FROM t",
       {R"({"d":30.0,"e":10.0,"f":"a|b","pk":"r1"})", R"({"d":20.0,"e":-10.0,"f":"a","pk":"r2"})",
        R"({"d":"none","e":20.0,"f":"a|b","pk":"r3"})", R"({"d":"none","e":20.0,"f":"a|b","pk":"r4"})"}},
      {"SELECT pk, rank() OVER () AS r, row_number() OVER () AS n FROM t LIMIT 2",
       {R"({"n":1.0,"pk":"r1","r":1.0})", R"({"n":2.0,"pk":"r2","r":1.0})"}},
      {"SELECT pk, rank() OVER (ORDER BY v) AS r FROM t ORDER BY r DESC LIMIT 1", {R"({"pk":"r3","r":4.0})"}},
      {"SELECT row_number() OVER (ORDER BY v) FROM t WHERE pk = 'r1'", {R"x({"row_number()":1.0})x"}},
  };
  for (const Case& c : cases) EXPECT_EQ(rows(c.sql), c.want) << c.sql;
}

TEST_F(WindowTest, OffsetsAreNonNegativeIntegerLiterals) {
  for (const char* sql : {"SELECT lag(v, 1.5) OVER () FROM t", "SELECT lead(v, 0 - 1) OVER () FROM t",
                          "SELECT lag(v, v) OVER () FROM t"}) {
    expect_error(sql, "window function offset must be a non-negative integer");
  }
}

TEST_F(WindowTest, UnsupportedNames) {
  for (auto [sql, name] : {std::pair{"SELECT ntile(2) OVER (ORDER BY v) FROM t WHERE pk = 'none'", "NTILE"},
                           std::pair{"SELECT sum(v) OVER (ORDER BY v) FROM t", "SUM"}}) {
    expect_error(sql, std::string("unsupported window function: ") + name);
  }
}

}  // namespace
}  // namespace quenlordb::sql::exec::testing
