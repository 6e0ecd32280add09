// The fixture of the executor tests: a fresh two-shard database, one session, and short forms of
// the calls the tests make through it.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "engine/engine_test_util.h"
#include "sql/exec/executor.h"
#include "sql/exec/session.h"
#include "sql/parser/parser.h"
#include "support/temp_dir.h"

namespace quenlordb::sql::exec::testing {

using engine::testing::must;

inline constexpr std::uint64_t kMax = UINT64_MAX;

inline SqlResult affected(std::uint64_t rows, std::optional<std::uint64_t> ts, std::string message) {
  return SqlResult{SqlResult::Affected{rows, ts, std::move(message)}};
}

class ExecFixture : public ::testing::Test {
 protected:
  void SetUp() override { db = engine::testing::open_db(dir.file("db"), engine::testing::test_config(2)); }

  // Parses one statement and runs it in the fixture's session.
  Result<SqlResult> run(std::string_view sql) {
    parser::Statement stmt = TRY(parser::parse_sql(sql));
    return execute_stmt(*db, session, std::move(stmt));
  }
  std::optional<std::string> live(std::string_view key, std::optional<std::uint64_t> as_of = std::nullopt,
                                  std::optional<std::uint64_t> valid_at = std::nullopt) {
    return must(read_live_key(*db, session, key, as_of, valid_at));
  }
  std::vector<LiveEntry> scan(std::string_view prefix, std::optional<std::uint64_t> as_of = std::nullopt,
                              std::optional<std::uint64_t> valid_at = std::nullopt) {
    return must(collect_visible_by_prefix(*db, session, prefix, as_of, valid_at));
  }

  quenlordb::testing::TempDir dir;
  std::unique_ptr<engine::Database> db;
  SqlSession session;
};

}  // namespace quenlordb::sql::exec::testing
