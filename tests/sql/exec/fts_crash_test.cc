// Full-text lists across process kills: a child runs SQL scripts against a database with the
// default settings (four shards, group commit) and is killed with SIGKILL at random moments, right
// after sql() returned or in the middle of a script; the parent then reopens the directory and
// checks that every row that exists is in the posting list of every term of its indexed text, and
// that MATCH finds it. Lists naming rows that are absent are allowed: MATCH reads every listed row.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <memory>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "engine/database.h"
#include "engine/engine_test_util.h"
#include "facet/fts/postings.h"
#include "facet/relational/keys.h"
#include "sql/exec/facet_upkeep.h"
#include "sql/exec/sql_result.h"
#include "support/crash_harness.h"
#include "support/temp_dir.h"

namespace quenlordb::sql::exec::testing {
namespace {

using engine::Database;
using engine::testing::must;
using quenlordb::testing::ChildReporter;
using quenlordb::testing::ChildRun;
using quenlordb::testing::KillPlan;
using quenlordb::testing::run_child;
using quenlordb::testing::TempDir;
using quenlordb::testing::WritePath;

// The indexed tables: a document table indexed over the whole document, and a typed table indexed
// over one column.
struct Indexed {
  const char* table;
  std::vector<std::string> columns;
};
const Indexed kTables[] = {{"docs", {"doc"}}, {"t", {"body"}}};

const char* const kWords[] = {"alpha", "bravo", "charlie", "delta", "echo", "foxtrot", "golf", "hotel"};

// Small rows and many scripts of each kind the issue met: a row per call, then scripts mixing
// INSERT, UPDATE, DELETE and transactions. Each row carries a word of its own ("zork{n}"), so that
// most of its terms have short lists.
class ScriptMaker {
 public:
  explicit ScriptMaker(std::uint64_t seed) : rng_(seed) {}

  std::string next() {
    switch (rng_() % 5) {
      case 0:
        return insert_doc();
      case 1: {
        std::string script = "BEGIN;";
        for (int n = 1 + static_cast<int>(rng_() % 4); n > 0; --n) script += statement() + ";";
        return script + "COMMIT";
      }
      default: {
        std::string script;
        for (int n = 1 + static_cast<int>(rng_() % 6); n > 0; --n) script += statement() + ";";
        return script;
      }
    }
  }

 private:
  std::string words() {
    std::string out = "zork" + std::to_string(++unique_);
    for (int n = static_cast<int>(rng_() % 3); n > 0; --n) out += std::string(" ") + kWords[rng_() % 8];
    return out;
  }
  std::string key() { return std::to_string(rng_() % 200); }
  std::string insert_doc() {
    return "INSERT INTO docs (pk, doc) VALUES ('r" + key() + "', '{\"b\":\"" + words() + "\"}')";
  }
  std::string statement() {
    switch (rng_() % 6) {
      case 0:
      case 1:
        return insert_doc();
      case 2:
        return "INSERT INTO t (id, title, body) VALUES ('" + key() + "', 'x', '" + words() + "')";
      case 3:
        return "UPDATE t SET body = '" + words() + "' WHERE id = '" + key() + "'";
      case 4:
        return "UPDATE docs SET b = '" + words() + "' WHERE pk >= 'r" + key() + "' AND pk < 'r" + key() + "'";
      default:
        return "DELETE FROM docs WHERE pk = 'r" + key() + "'";
    }
  }

  std::mt19937_64 rng_;
  std::uint64_t unique_ = 0;
};

// Every row of every indexed table is in the list of each term of its indexed text; MATCH of its
// own word finds it. Returns the number of rows checked.
std::size_t check_rows_are_listed(Database& db) {
  std::size_t rows = 0;
  for (const Indexed& indexed : kTables) {
    const std::string prefix = facet::relational::row_prefix(indexed.table);
    for (const engine::PrefixScanRow& row : must(db.scan_prefix(prefix))) {
      if (row.doc.empty()) continue;
      ++rows;
      const std::string pk(row.key.substr(prefix.size()));
      for (const std::string& term : fts_terms_of_document(row.doc, indexed.columns)) {
        const std::optional<std::string> list = must(db.get(facet::fts::posting_key(indexed.table, term)));
        const facet::fts::PostingList listed(list);
        EXPECT_TRUE(listed.contains(pk)) << indexed.table << " row " << pk << " (" << row.doc
                                         << ") is missing from the list of " << term;
        if (!term.starts_with("zork")) continue;
        const std::string column = indexed.columns[0];
        const SqlResult found = must(db.sql(std::string("SELECT pk FROM ") + indexed.table + " WHERE MATCH(" +
                                            column + ", '" + term + "')"));
        const auto& out = std::get<SqlResult::Rows>(found.value).rows;
        EXPECT_NE(std::find(out.begin(), out.end(), "{\"pk\":\"" + pk + "\"}"), out.end())
            << "MATCH of " << term << " misses " << indexed.table << " row " << pk;
      }
    }
  }
  return rows;
}

TEST(FtsCrashTest, EveryRowFoundByMatchAfterKillsAtRandomMoments) {
  TempDir dir;
  const std::string root = dir.file("db");
  const Config config;  // the defaults a Python program gets
  {
    const std::unique_ptr<Database> db = engine::testing::open_db(root, config);
    must(db->sql("CREATE TABLE docs (pk TEXT PRIMARY KEY); CREATE FULLTEXT INDEX d ON docs (doc);"
                 "CREATE TABLE t (id TEXT PRIMARY KEY, title TEXT, body TEXT); CREATE FULLTEXT INDEX b ON t (body)"));
  }
  std::mt19937_64 rng(42);
  std::size_t scripts = 0;
  std::size_t rows = 0;
  for (int it = 0; it < 40 && !::testing::Test::HasFailure(); ++it) {
    SCOPED_TRACE("kill " + std::to_string(it));
    KillPlan plan;
    plan.after_acks = rng() % 40;
    plan.delay = std::chrono::microseconds(rng() % 4000);
    const std::uint64_t seed = rng();
    const ChildRun run = run_child(
        [&](ChildReporter& r) {
          auto db = Database::open(root, config);
          if (!db) r.fail("open: " + db.error().to_string());
          ScriptMaker maker(seed);
          for (std::uint64_t n = 0;; ++n) {
            const std::string script = maker.next();
            Result<SqlResult> result = (*db)->sql(script);
            if (!result) r.fail(script + ": " + result.error().to_string());
            r.acked("script", 0, n, WritePath::Unknown);
          }
        },
        plan);
    ASSERT_FALSE(run.failure) << *run.failure;
    ASSERT_TRUE(run.killed) << run.ending;
    scripts += run.acks.size();
    const std::unique_ptr<Database> db = engine::testing::open_db(root, config);
    rows = check_rows_are_listed(*db);
  }
  // The kills met scripts, and rows were there to check.
  EXPECT_GT(scripts, 200u);
  EXPECT_GT(rows, 100u);
}

}  // namespace
}  // namespace quenlordb::sql::exec::testing
