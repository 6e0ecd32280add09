// The fixture of the executor tests: a fresh two-shard database, one session, and short forms of
// the calls the tests make through it: running statements, reading their rows or their error, and
// writing tables, rows and views directly.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <memory>
#include <optional>
#include <ostream>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

#include "engine/engine_test_util.h"
#include "facet/relational/keys.h"
#include "facet/relational/records.h"
#include "sql/exec/executor.h"
#include "sql/exec/facet_upkeep.h"
#include "sql/exec/session.h"
#include "sql/parser/parser.h"
#include "support/temp_dir.h"

namespace quenlordb::sql::exec {

// Failures show the entries, not their bytes.
inline void PrintTo(const LiveEntry& entry, std::ostream* os) { *os << entry.key << " = " << entry.value; }

}  // namespace quenlordb::sql::exec

namespace quenlordb::sql::exec::testing {

using engine::testing::must;

inline constexpr std::uint64_t kMax = UINT64_MAX;

inline SqlResult affected(std::uint64_t rows, std::optional<std::uint64_t> ts, std::string message) {
  return SqlResult{SqlResult::Affected{rows, ts, std::move(message)}};
}

class ExecFixture : public ::testing::Test {
 protected:
  void SetUp() override { db = engine::testing::open_db(dir.file("db"), engine::testing::test_config(2)); }

  // Parses one statement and runs it in the fixture's session; then, as at the end of a script,
  // the posting lists and buckets it gathered outside a transaction are written.
  Result<SqlResult> run(std::string_view sql) {
    parser::Statement stmt = TRY(parser::parse_sql(sql));
    const std::optional<std::uint64_t> mark = deferred_mark(session, stmt);
    return finish_script(*db, session, execute_stmt(*db, session, std::move(stmt)), mark);
  }
  std::optional<std::string> live(std::string_view key, std::optional<std::uint64_t> as_of = std::nullopt,
                                  std::optional<std::uint64_t> valid_at = std::nullopt) {
    return must(read_live_key(*db, session, key, as_of, valid_at));
  }
  std::vector<LiveEntry> scan(std::string_view prefix, std::optional<std::uint64_t> as_of = std::nullopt,
                              std::optional<std::uint64_t> valid_at = std::nullopt) {
    return must(collect_visible_by_prefix(*db, session, prefix, as_of, valid_at));
  }

  // The rows of a query; a failure, or a result that is not rows, fails the test and gives none.
  std::vector<std::string> rows(std::string_view sql) {
    Result<SqlResult> r = run(sql);
    if (!r) {
      ADD_FAILURE() << sql << ": " << r.error().to_string();
      return {};
    }
    auto* out = std::get_if<SqlResult::Rows>(&r->value);
    if (!out) {
      ADD_FAILURE() << sql << ": not rows";
      return {};
    }
    return std::move(out->rows);
  }
  // The whole text of the error a statement fails with, kind included ("sql execution error: ...");
  // a success fails the test.
  std::string error(std::string_view sql) {
    Result<SqlResult> r = run(sql);
    if (r) {
      ADD_FAILURE() << sql << ": succeeded";
      return {};
    }
    return r.error().to_string();
  }
  // The statement fails with the SqlExecution error of message.
  void expect_error(std::string_view sql, std::string_view message) {
    EXPECT_EQ(error(sql), QuenlorError::sql_execution(std::string(message)).to_string()) << sql;
  }

  // A catalog record written directly, as a program would between two scripts: the fixture's
  // session, which stands for one script, forgets the catalog records it read.
  void put_catalog(std::string_view key, std::string value) {
    must(db->put(key, std::move(value), 0, kMax, 1));
    session.forget_metadata();
  }

  // A document table, a row of a table and a view, written directly as SQL would write them.
  void create_table(std::string_view table) {
    put_catalog(facet::relational::schema_key(table),
                must(facet::relational::encode_schema_metadata(facet::relational::TableSchemaMetadata{})));
  }
  std::uint64_t put_row(std::string_view table, std::string_view pk, std::string_view doc) {
    return must(db->put(facet::relational::row_key(table, pk), std::string(doc), 0, kMax, 1));
  }
  void create_view(std::string_view view, std::string query) {
    facet::relational::ViewMetadata meta{std::string(view), std::move(query), {}};
    put_catalog(facet::relational::view_key(view), must(facet::relational::encode_view_metadata(meta)));
  }

  quenlordb::testing::TempDir dir;
  std::unique_ptr<engine::Database> db;
  SqlSession session;
};

}  // namespace quenlordb::sql::exec::testing
