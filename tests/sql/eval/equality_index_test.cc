// The equality index finds, for every probe, exactly the positions whose value cmp_partial finds
// Equal to it, in ascending order: checked against cmp_partial itself over values that meet
// across kinds (numbers and the texts that read as them), long texts kept outside the slots, and
// enough of them to make the tables grow.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>
#include <vector>

#include "print_value.h"
#include "sql/eval/equality_index.h"
#include "sql/eval/sql_value.h"

namespace quenlordb::sql::eval {
namespace {

using Position = EqualityIndex::Position;

constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

SqlValue N(double x) { return SqlValue::number(x); }
SqlValue T(std::string s) { return SqlValue::text(std::move(s)); }

// Values that are equal across kinds but not to each other ('1' and '1.0' both equal 1), -0 and
// 0, NaN (equal to nothing) and texts that read as it, infinities, texts of 16 bytes and longer.
std::vector<SqlValue> tricky_values() {
  return {SqlValue::null(), SqlValue::boolean(true), SqlValue::boolean(false), N(1), T("1"), T("1.0"), T("01"),
          T("+1"), T("1e0"), N(-0.0), N(0), T("-0"), T("0"), T("0.0"), N(kNaN), T("nan"), T("NaN"), N(kInf),
          T("inf"), T("Infinity"), N(-kInf), T("-inf"), T(""), T("abc"), T("ABC"), T(" 1"), T("true"),
          T("sixteen bytes!!!"), T("seventeen bytes!!"), T("1.00000000000000000000"), T("[1]"), N(2.5),
          T("2.5"), N(1e300), T("1e300")};
}

std::vector<Position> expected(const std::vector<SqlValue>& values, const SqlValue& probe) {
  std::vector<Position> out;
  for (Position i = 0; i < values.size(); ++i) {
    if (std::is_eq(cmp_partial(probe, values[i]))) out.push_back(i);
  }
  return out;
}

void check_every_probe(const std::vector<SqlValue>& values, const std::vector<SqlValue>& probes) {
  EqualityIndex index;
  for (Position i = 0; i < values.size(); ++i) index.add(values[i], i);
  std::vector<Position> found;
  for (const SqlValue& probe : probes) {
    index.find_equal(probe, found);
    const std::vector<Position> want = expected(values, probe);
    EXPECT_EQ(found, want) << debug_text(probe);
    EXPECT_EQ(index.contains(probe), !want.empty()) << debug_text(probe);
  }
}

TEST(EqualityIndexTest, FindsWhatCmpPartialFindsEqual) {
  const std::vector<SqlValue> values = tricky_values();
  check_every_probe(values, values);
  // Each value several times over, interleaved, so that lists hold runs of positions of both kinds.
  std::vector<SqlValue> repeated;
  for (int round = 0; round < 3; ++round) {
    for (std::size_t i = round; i < values.size() + round; ++i) repeated.push_back(values[i % values.size()]);
  }
  check_every_probe(repeated, values);
}

TEST(EqualityIndexTest, FindsEveryValueOfAGrownTable) {
  std::vector<SqlValue> values;
  for (int i = 0; i < 3000; ++i) {
    const std::string digits = std::to_string(i % 1000);
    switch (i % 4) {
      case 0: values.push_back(N(i % 1000)); break;
      case 1: values.push_back(T(digits)); break;
      case 2: values.push_back(T("a rather long key number " + digits)); break;
      default: values.push_back(T("0" + digits)); break;
    }
  }
  std::vector<SqlValue> probes = {N(0), N(-0.0), N(999), N(1000), T("999"), T("0999"), T("a rather long key number 7"),
                                  T("a rather long key number 7000")};
  for (int i = 0; i < 1000; i += 37) probes.push_back(N(i));
  check_every_probe(values, probes);
}

TEST(EqualityIndexTest, AnEmptyIndexFindsNothing) {
  const EqualityIndex index;
  std::vector<Position> found = {7};
  for (const SqlValue& probe : tricky_values()) {
    index.find_equal(probe, found);
    EXPECT_TRUE(found.empty()) << debug_text(probe);
    EXPECT_FALSE(index.contains(probe));
  }
}

}  // namespace
}  // namespace quenlordb::sql::eval
