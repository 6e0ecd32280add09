// Set operations over the rows of two queries.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "facet/relational/keys.h"
#include "facet/relational/records.h"
#include "sql/exec/exec_fixture.h"

namespace quenlordb::sql::exec::testing {
namespace {

namespace rel = facet::relational;
using Rows = std::vector<std::string>;

class SetOpTest : public ExecFixture {
 protected:
  void SetUp() override {
    ExecFixture::SetUp();
    table("a", {{"k1", R"({"v":1})"}, {"k2", R"({"v":2})"}});
    table("b", {{"k2", R"({"v":2})"}, {"k3", R"({"v":3})"}});
    table("e", {});
  }
  void table(const std::string& name, const std::vector<std::pair<std::string, std::string>>& rows) {
    create_table(name);
    for (const auto& [pk, doc] : rows) put_row(name, pk, doc);
  }
};

TEST_F(SetOpTest, TheFourKinds) {
  const std::string k1 = R"({"pk":"k1"})", k2 = R"({"pk":"k2"})", k3 = R"({"pk":"k3"})";
  // A SELECT of a constant-free column gives the same row per table row: duplicates inside a side.
  const std::string v = R"({"x":null})";
  struct Case {
    const char* sql;
    Rows want;
  } cases[] = {
      {"SELECT pk FROM a UNION SELECT pk FROM b", {k1, k2, k3}},
      {"SELECT pk FROM a UNION ALL SELECT pk FROM b", {k1, k2, k2, k3}},
      {"SELECT pk FROM a INTERSECT SELECT pk FROM b", {k2}},
      {"SELECT pk FROM a EXCEPT SELECT pk FROM b", {k1}},
      {"SELECT x FROM a UNION SELECT x FROM e", {v}},
      {"SELECT x FROM a UNION ALL SELECT x FROM e", {v, v}},
      {"SELECT x FROM a INTERSECT SELECT x FROM b", {v}},
      {"SELECT x FROM a EXCEPT SELECT x FROM e", {v}},
      {"SELECT x FROM a EXCEPT SELECT x FROM b", {}},
      // Bytes, not values: the stored {"v":2} and the projected {"v":2.0} differ.
      {"SELECT doc FROM a INTERSECT SELECT v FROM b", {}},
      {"SELECT doc FROM a INTERSECT SELECT doc FROM b", {R"({"v":2})"}},
      // Right-associative: a EXCEPT (b UNION a) is empty, (a EXCEPT b) UNION a would not be.
      {"SELECT pk FROM a EXCEPT SELECT pk FROM b UNION SELECT pk FROM a", {}},
      {"SELECT pk FROM b UNION ALL SELECT pk FROM a INTERSECT SELECT pk FROM b", {k2, k3, k2}},
  };
  for (const Case& c : cases) EXPECT_EQ(rows(c.sql), c.want) << c.sql;
}

// -0 and 0 are one value: rows are compared and returned with -0 written as 0, every other byte
// (strings, other numbers, rows that are not JSON) as it was.
TEST_F(SetOpTest, NegativeZeroIsZero) {
  table("n", {{"k1", R"({"x":-3,"s":"-0","y":-0.0,"z":-0.5})"}, {"k2", "not json -0"}});
  table("p", {{"k1", R"({"x":3})"}});
  table("w", {{"k1", R"({"a":[-0e5,-0,-1e-400,1e-5,-1]})"}});
  const std::string zero = R"({"m":0.0})";
  struct Case {
    const char* sql;
    Rows want;
  } cases[] = {
      {"SELECT x % 3 AS m FROM n WHERE pk = 'k1' UNION SELECT x % 3 AS m FROM p", {zero}},
      {"SELECT x % 3 AS m FROM n WHERE pk = 'k1' UNION ALL SELECT x % 3 AS m FROM p", {zero, zero}},
      {"SELECT x % 3 AS m FROM n WHERE pk = 'k1' INTERSECT SELECT x % 3 AS m FROM p", {zero}},
      {"SELECT x % 3 AS m FROM n WHERE pk = 'k1' EXCEPT SELECT x % 3 AS m FROM p", {}},
      {"SELECT doc FROM n UNION SELECT doc FROM e",
       {R"({"x":-3,"s":"-0","y":0.0,"z":-0.5})", "not json -0"}},
      {"SELECT doc FROM w UNION ALL SELECT doc FROM e", {R"({"a":[0e5,0,1e-400,1e-5,-1]})"}},
  };
  for (const Case& c : cases) EXPECT_EQ(rows(c.sql), c.want) << c.sql;
}

TEST_F(SetOpTest, ErrorsStopBeforeAnythingRunsOrWrites) {
  // The left side fails: the right side, which would fail differently, never runs.
  EXPECT_EQ(error("SELECT first(v) FROM a UNION SELECT last(v) FROM b"),
            "sql execution error: FIRST() requires 2 arguments: FIRST(value, timestamp)");
  EXPECT_EQ(error("SELECT pk FROM a UNION SELECT last(v) FROM b"), "sql execution error: LAST() requires 2 arguments: LAST(value, timestamp)");
  // A side that is not a query is refused before either side runs: the INSERT writes nothing.
  EXPECT_EQ(error("INSERT INTO a (pk, doc) VALUES ('new', '{}') UNION SELECT pk FROM b"),
            "sql execution error: set operation requires SELECT statements");
  EXPECT_EQ(error("INSERT INTO a (pk, doc) VALUES ('new', '{}') UNION SELECT pk FROM b UNION SELECT pk FROM a"),
            "sql execution error: set operation requires SELECT statements");
  EXPECT_EQ(rows("SELECT pk FROM a"), (Rows{R"({"pk":"k1"})", R"({"pk":"k2"})"}));
}

}  // namespace
}  // namespace quenlordb::sql::exec::testing
