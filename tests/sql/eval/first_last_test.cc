#include <gtest/gtest.h>

#include <limits>

#include "sql/eval/first_last.h"
#include "print_value.h"

namespace quenlordb::sql::eval {
namespace {

SqlValue N(double x) { return SqlValue::number(x); }
SqlValue T(const char* s) { return SqlValue::text(s); }
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

struct Row {
  SqlValue value;
  SqlValue ts;
};

template <typename Acc>
SqlValue fold(std::initializer_list<Row> rows) {
  Acc acc;
  for (const Row& r : rows) acc.accumulate(r.value, r.ts);
  return acc.result();
}

TEST(FirstLastTest, SmallestAndLargestTimestampFirstFedWinsTies) {
  const std::initializer_list<Row> rows = {{N(10), N(3)}, {N(20), N(1)}, {N(30), N(1)}, {N(40), N(3)}};
  EXPECT_EQ(fold<FirstAccumulator>(rows), N(20));
  EXPECT_EQ(fold<LastAccumulator>(rows), N(10));
}

TEST(FirstLastTest, TimestampKinds) {
  struct Case {
    const char* name;
    std::initializer_list<Row> rows;
    SqlValue first, last;
  };
  const Case cases[] = {
      {"no rows", {}, SqlValue::null(), SqlValue::null()},
      {"null and non-numeric timestamps are never chosen",
       {{T("a"), SqlValue::null()}, {T("b"), T("soon")}, {T("c"), N(5)}}, T("c"), T("c")},
      {"numeric text competes as a number", {{T("a"), N(4)}, {T("b"), T("5")}, {T("c"), T("3.5")}}, T("c"), T("b")},
      {"true counts as 1", {{T("a"), N(0.5)}, {T("b"), SqlValue::boolean(true)}}, T("a"), T("b")},
      {"a chosen NULL value is the result", {{T("a"), N(2)}, {SqlValue::null(), N(1)}, {SqlValue::null(), N(3)}},
       SqlValue::null(), SqlValue::null()},
      {"NaN never replaces a held timestamp", {{T("a"), N(1)}, {T("b"), N(kNaN)}}, T("a"), T("a")},
      {"a held NaN is never replaced", {{T("a"), N(kNaN)}, {T("b"), N(1)}, {T("c"), T("-inf")}}, T("a"), T("a")},
      {"infinities", {{T("a"), T("inf")}, {T("b"), T("-inf")}, {T("c"), N(0)}}, T("b"), T("a")},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(fold<FirstAccumulator>(c.rows), c.first) << c.name;
    EXPECT_EQ(fold<LastAccumulator>(c.rows), c.last) << c.name;
  }
}

}  // namespace
}  // namespace quenlordb::sql::eval
