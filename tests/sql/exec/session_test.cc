#include "sql/exec/session.h"

#include <gtest/gtest.h>

#include "sql/exec/exec_fixture.h"
#include "facet/relational/keys.h"

namespace quenlordb::sql::exec {
namespace {

using testing::kMax;
using testing::must;

class SessionTest : public testing::ExecFixture {};

TEST_F(SessionTest, WritesOutsideATransactionAreAppliedAtOnce) {
  std::optional<std::uint64_t> ts = must(write_put(*db, session, "k", "v"));
  ASSERT_TRUE(ts);
  EXPECT_EQ(must(db->get("k")), "v");
  // The write carries the SQL bounds: valid at every time below 2^64 - 1, not at it.
  EXPECT_EQ(must(db->get("k", std::nullopt, kMax - 1)), "v");
  EXPECT_EQ(must(db->get("k", std::nullopt, kMax)), std::nullopt);
  EXPECT_EQ(live("k"), "v");
  must(write_put(*db, session, "k", ""));
  EXPECT_EQ(live("k"), std::nullopt);  // a tombstone reads as absent
  EXPECT_EQ(live("k", ts), "v");
  EXPECT_EQ(session.staged_count(), 0u);
}

TEST_F(SessionTest, StagedWritesAreSeenOnlyWithoutAsOf) {
  const std::uint64_t ts = must(db->put("t/a", "stored-a", 0, kMax));
  must(db->put("t/b", "stored-b", 0, kMax));
  session.begin();
  EXPECT_EQ(must(write_put(*db, session, "t/a", "staged-a")), std::nullopt);
  must(write_put(*db, session, "t/b", ""));  // staged delete of a stored row
  must(write_put(*db, session, "t/c", "staged-c"));
  EXPECT_EQ(must(db->get("t/c")), std::nullopt);  // nothing reached the database

  EXPECT_EQ(live("t/a"), "staged-a");
  EXPECT_EQ(live("t/b"), std::nullopt);
  EXPECT_EQ(live("t/c"), "staged-c");
  EXPECT_EQ(scan("t/"), (std::vector<LiveEntry>{{"t/a", "staged-a"}, {"t/c", "staged-c"}}));

  const std::uint64_t now = ts + 10;
  EXPECT_EQ(live("t/a", now), "stored-a");
  EXPECT_EQ(live("t/b", now), "stored-b");
  EXPECT_EQ(live("t/c", now), std::nullopt);
  EXPECT_EQ(scan("t/", now), (std::vector<LiveEntry>{{"t/a", "stored-a"}, {"t/b", "stored-b"}}));
}

TEST_F(SessionTest, NewestStagedWriteWins) {
  session.begin();
  must(write_put(*db, session, "t/x", "1"));
  must(write_put(*db, session, "t/x", "2"));
  must(write_put(*db, session, "t/y", "1"));
  must(write_put(*db, session, "t/y", ""));
  must(write_put(*db, session, "t/z", ""));
  must(write_put(*db, session, "t/z", "3"));
  EXPECT_EQ(session.staged_count(), 6u);
  EXPECT_EQ(live("t/x"), "2");
  EXPECT_EQ(live("t/y"), std::nullopt);
  EXPECT_EQ(live("t/z"), "3");
  EXPECT_EQ(scan("t/"), (std::vector<LiveEntry>{{"t/x", "2"}, {"t/z", "3"}}));
}

// Reads between writes see each write at once, the newest winning also over writes a read has
// already looked at; a new transaction starts with none.
TEST_F(SessionTest, ReadsBetweenStagedWritesSeeTheNewest) {
  session.begin();
  must(write_put(*db, session, "t/x", "1"));
  EXPECT_EQ(live("t/x"), "1");
  must(write_put(*db, session, "t/x", "2"));
  must(write_put(*db, session, "t/w", "1"));
  EXPECT_EQ(scan("t/"), (std::vector<LiveEntry>{{"t/w", "1"}, {"t/x", "2"}}));
  must(write_put(*db, session, "t/w", ""));
  EXPECT_EQ(live("t/w"), std::nullopt);
  EXPECT_EQ(live("t/x"), "2");
  EXPECT_EQ(session.end_transaction().size(), 4u);
  session.begin();
  EXPECT_EQ(live("t/x"), std::nullopt);
  must(write_put(*db, session, "t/x", "3"));
  EXPECT_EQ(scan("t/"), (std::vector<LiveEntry>{{"t/x", "3"}}));
}

TEST_F(SessionTest, ValidAtTheLargestTimeSkipsStagedWrites) {
  must(db->put("t/a", "forever", 0, kMax));
  must(db->put("t/b", "late", kMax - 1, kMax));
  session.begin();
  must(write_put(*db, session, "t/a", ""));
  must(write_put(*db, session, "t/b", "staged"));
  EXPECT_EQ(live("t/a", std::nullopt, kMax - 1), std::nullopt);
  EXPECT_EQ(live("t/b", std::nullopt, kMax - 1), "staged");
  EXPECT_EQ(live("t/a", std::nullopt, 0), std::nullopt);
  // No version is valid at 2^64 - 1 (bounds are exclusive), and the staged writes are passed over.
  EXPECT_EQ(live("t/a", std::nullopt, kMax), std::nullopt);
  EXPECT_EQ(scan("t/", std::nullopt, kMax - 1), (std::vector<LiveEntry>{{"t/b", "staged"}}));
  EXPECT_EQ(scan("t/", std::nullopt, kMax), (std::vector<LiveEntry>{}));
  // At valid time 5 the stored "late" version is not valid; the staged one is.
  EXPECT_EQ(scan("t/", std::nullopt, 5), (std::vector<LiveEntry>{{"t/b", "staged"}}));
}

TEST_F(SessionTest, PrefixOverlayMergesInKeyOrderAndStaysUnderThePrefix) {
  for (const char* key : {"t/b", "t/d", "t/f", "u/a"}) must(db->put(key, std::string("s") + key, 0, kMax));
  session.begin();
  for (const char* key : {"t/g", "t/a", "t/d", "t", "t0", "s/z", "t/c"}) must(write_put(*db, session, key, "w"));
  EXPECT_EQ(scan("t/"), (std::vector<LiveEntry>{{"t/a", "w"},
                                                {"t/b", "st/b"},
                                                {"t/c", "w"},
                                                {"t/d", "w"},
                                                {"t/f", "st/f"},
                                                {"t/g", "w"}}));
  EXPECT_EQ(scan("u/"), (std::vector<LiveEntry>{{"u/a", "su/a"}}));
  EXPECT_EQ(scan("v/"), (std::vector<LiveEntry>{}));
}

TEST_F(SessionTest, LoadTableSchema) {
  namespace rel = facet::relational;
  EXPECT_EQ(load_table_schema(*db, session, "t").error(), QuenlorError::sql_execution("table t does not exist"));
  session.begin();
  must(write_put(*db, session, rel::schema_key("t"), R"({"pk":"id"})"));
  EXPECT_EQ(must(load_table_schema(*db, session, "t")).pk, "id");
  must(write_put(*db, session, rel::schema_key("t"), ""));
  EXPECT_EQ(load_table_schema(*db, session, "t").error(), QuenlorError::sql_execution("table t does not exist"));
  must(write_put(*db, session, rel::schema_key("t"), R"({"pk":"id","pk":"id"})"));
  EXPECT_EQ(load_table_schema(*db, session, "t").error(), QuenlorError::serde_json("duplicate field `pk`"));
}

}  // namespace
}  // namespace quenlordb::sql::exec
