#include "sql/exec/row_list.h"

#include <gtest/gtest.h>

#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace quenlordb::sql::exec {
namespace {

// Rows of every size, from none to more than a block, come back in order and byte for byte (NULs
// included), and the views taken early stay valid while later rows fill new blocks.
TEST(RowListTest, RowsComeBackAsAppendedAndEarlyViewsStayValid) {
  std::vector<std::string> want;
  for (std::size_t i = 0; i < 3000; ++i) want.push_back(std::string(i % 40, static_cast<char>('a' + i % 26)));
  want.push_back("");
  want.push_back(std::string("nul\0inside", 10));
  want.push_back(std::string(200 * 1024, 'x'));  // larger than any block: a block of its own
  want.push_back("after the large row");
  RowList rows;
  std::vector<std::string_view> early;
  for (const std::string& row : want) {
    rows.push_back(row);
    early.push_back(rows.back());
  }
  ASSERT_EQ(rows.size(), want.size());
  EXPECT_EQ(rows, want);
  for (std::size_t i = 0; i < want.size(); ++i) EXPECT_EQ(early[i], want[i]) << i;
  EXPECT_EQ(early[early.size() - 2].data(), rows[rows.size() - 2].data());
}

// A moved list keeps its rows where they were; a copy is a list of its own; a cleared list and a
// moved-from one take new rows without touching the other's.
TEST(RowListTest, MovesKeepTheRowsAndCopiesOwnTheirs) {
  RowList rows{"one", "two", "three"};
  const char* at = rows[1].data();
  RowList moved(std::move(rows));
  EXPECT_EQ(moved[1].data(), at);
  EXPECT_EQ(moved, (std::vector<std::string>{"one", "two", "three"}));

  rows.push_back("reused");  // the moved-from list starts afresh
  EXPECT_EQ(rows, std::vector<std::string>{"reused"});
  EXPECT_EQ(moved, (std::vector<std::string>{"one", "two", "three"}));

  RowList copy = moved;
  EXPECT_NE(copy[0].data(), moved[0].data());
  moved.clear();
  moved.push_back("four");
  EXPECT_EQ(copy, (std::vector<std::string>{"one", "two", "three"}));
  EXPECT_EQ(moved, RowList{"four"});
  EXPECT_EQ(copy.strings(), (std::vector<std::string>{"one", "two", "three"}));

  copy = moved;
  EXPECT_EQ(copy, moved);
  EXPECT_FALSE(copy == RowList{});
}

}  // namespace
}  // namespace quenlordb::sql::exec
