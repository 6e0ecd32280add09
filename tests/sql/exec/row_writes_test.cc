#include "sql/exec/row_writes.h"

#include <gtest/gtest.h>

#include <thread>

#include "facet/relational/keys.h"
#include "facet/relational/records.h"
#include "sql/exec/exec_fixture.h"
#include "util/json_document.h"
#include "util/json_record.h"

namespace quenlordb::sql::exec {
namespace {

namespace rel = facet::relational;
using testing::affected;
using testing::must;

class RowWritesTest : public testing::ExecFixture {
 protected:
  void SetUp() override {
    ExecFixture::SetUp();
    create("docs", rel::TableSchemaMetadata{});
    create("typed", rel::TableSchemaMetadata{"id", "typed", {{"id", "INTEGER"}, {"n", "REAL"}}, "typed"});
  }
  void create(std::string_view table, const rel::TableSchemaMetadata& schema) {
    put_catalog(rel::schema_key(table), must(rel::encode_schema_metadata(schema)));
  }
  std::optional<std::string> row(std::string_view table, std::string_view pk) { return live(rel::row_key(table, pk)); }
};

TEST_F(RowWritesTest, InsertStoresTheDocumentAsWritten) {
  SqlResult result = must(run("INSERT INTO docs (pk, doc) VALUES ('a', '[1,  2]')"));
  const auto& a = std::get<SqlResult::Affected>(result.value);
  EXPECT_EQ(a.rows, 1u);
  EXPECT_EQ(a.message, "inserted 1 row");
  ASSERT_TRUE(a.commit_ts);
  EXPECT_EQ(must(db->get(rel::row_key("docs", "a"), *a.commit_ts)), "[1,  2]");
  // Any kind of table takes this form; a primary key may hold "/".
  must(run("INSERT INTO typed (pk, doc) VALUES ('x/y', '{}')"));
  EXPECT_EQ(row("typed", "x/y"), "{}");

  expect_error("INSERT INTO docs (pk, doc) VALUES ('', '{}')", "pk cannot be empty");
  expect_error("INSERT INTO nope (pk, doc) VALUES ('a', '{}')", "table nope does not exist");
  auto bad = run("INSERT INTO docs (pk, doc) VALUES ('b', 'oops')");
  ASSERT_FALSE(bad);
  EXPECT_EQ(bad.error().kind(), ErrorKind::SerdeJson);
  EXPECT_EQ(row("docs", "b"), std::nullopt);
}

TEST_F(RowWritesTest, TypedInsertBuildsAnObject) {
  EXPECT_EQ(std::get<SqlResult::Affected>(must(run("INSERT INTO typed (ID, n) VALUES (7, 1)")).value).message,
            "inserted 1 row");
  EXPECT_EQ(row("typed", "7"), R"({"ID":7.0,"n":1.0})");
  must(run("INSERT INTO typed (id, x, y, x) VALUES ('a', 1 / 0, name, 'later')"));
  EXPECT_EQ(row("typed", "a"), R"({"id":"a","x":"later","y":null})");
  must(run("INSERT INTO typed (n, id) VALUES (2.5, 2.5)"));
  EXPECT_EQ(row("typed", "2.5"), R"({"id":2.5,"n":2.5})");
  // On a document table, a column list other than (pk, doc) takes the typed path.
  must(run("INSERT INTO docs (pk, a) VALUES ('k', 'v')"));
  EXPECT_EQ(row("docs", "k"), R"({"a":"v","pk":"k"})");

  expect_error("INSERT INTO typed (id, n) VALUES (NULL, 1)", "primary key must be text or number");
  expect_error("INSERT INTO typed (id) VALUES (TRUE)", "primary key must be text or number");
  expect_error("INSERT INTO typed (n) VALUES (1)", "INSERT must include primary key column 'id'");
  expect_error("INSERT INTO typed (id) VALUES ('')", "pk cannot be empty");
}

// Numbers are doubles: from 2^53 on a key number would share its key with its neighbours (the row
// of 2^53 + 1 would replace that of 2^53). The refusal names the number as the statement writes it.
TEST_F(RowWritesTest, TypedInsertRefusesAKeyNumberADoubleCannotHoldExactly) {
  must(run("INSERT INTO typed (id) VALUES (9007199254740991)"));
  must(run("INSERT INTO typed (id) VALUES (-9007199254740991)"));
  must(run("INSERT INTO typed (id, v) VALUES ('9007199254740992', 'a')"));
  EXPECT_EQ(row("typed", "9007199254740991"), R"({"id":9.007199254740991e+15})");
  for (const auto& [value, shown] : std::vector<std::pair<std::string, std::string>>{
           {"9007199254740993", "9007199254740993"},
           {"9007199254740992", "9007199254740992"},
           {"-9007199254740993", "-9007199254740993"},
           {"9007199254740991.5", "9007199254740991.5"},  // rounds up to 2^53
           {"1234567890123456789", "1234567890123456789"},
           {"9007199254740992 + 1", "9007199254740992"},  // no literal: the value's text
       }) {
    expect_error("INSERT INTO typed (id, v) VALUES (" + value + ", 'b')",
                 "primary key number " + shown + " cannot be stored exactly; write it as a text");
    expect_error("INSERT INTO typed (id, v) VALUES (" + value + ", 'b') RETURNING *",
                 "primary key number " + shown + " cannot be stored exactly; write it as a text");
  }
  EXPECT_EQ(row("typed", "9007199254740992"), R"({"id":"9007199254740992","v":"a"})");
  // As a text it is stored under its digits; only the last value given for the key counts.
  must(run("INSERT INTO typed (id, id) VALUES (1234567890123456789, '1234567890123456789')"));
  EXPECT_EQ(row("typed", "1234567890123456789"), R"({"id":"1234567890123456789"})");
  EXPECT_EQ(scan("table/typed/").size(), 4u);
}

TEST_F(RowWritesTest, InsertsInsideATransactionAreStaged) {
  EXPECT_EQ(must(execute_sql(*db, "BEGIN; INSERT INTO docs (pk, doc) VALUES ('a', '1'); "
                                  "INSERT INTO typed (id) VALUES ('b'); COMMIT"))
                .value.index(),
            0u);
  EXPECT_EQ(row("docs", "a"), "1");
  EXPECT_EQ(row("typed", "b"), R"({"id":"b"})");

  must(run("BEGIN"));
  EXPECT_EQ(must(run("INSERT INTO docs (pk, doc) VALUES ('c', '2')")), affected(1, std::nullopt, "inserted 1 row"));
  EXPECT_EQ(row("docs", "c"), "2");
  EXPECT_EQ(must(db->get(rel::row_key("docs", "c"))), std::nullopt);
  // A table created in the transaction takes inserts at once.
  must(write_put(*db, session, rel::schema_key("fresh"), "{}"));
  must(run("INSERT INTO fresh (pk, doc) VALUES ('d', '3')"));
  EXPECT_EQ(row("fresh", "d"), "3");
}

TEST_F(RowWritesTest, ScriptFailureKeepsEarlierWritesAndDiscardsStagedOnes) {
  auto r = execute_sql(*db, "INSERT INTO docs (pk, doc) VALUES ('a', '1'); INSERT INTO docs (pk, doc) VALUES ('', '2')");
  ASSERT_FALSE(r);
  EXPECT_EQ(must(db->get(rel::row_key("docs", "a"))), "1");

  r = execute_sql(*db, "BEGIN; INSERT INTO docs (pk, doc) VALUES ('b', '1')");
  ASSERT_FALSE(r);
  EXPECT_EQ(r.error(), QuenlorError::sql_execution("transaction left open; issue COMMIT or ROLLBACK"));
  EXPECT_EQ(must(db->get(rel::row_key("docs", "b"))), std::nullopt);

  // Two staged inserts: COMMIT reports both and the second put's timestamp.
  SqlResult commit = must(execute_sql(
      *db, "BEGIN; INSERT INTO docs (pk, doc) VALUES ('c', '1'); INSERT INTO docs (pk, doc) VALUES ('d', '2'); COMMIT"));
  const auto& a = std::get<SqlResult::Affected>(commit.value);
  EXPECT_EQ(a.rows, 2u);
  EXPECT_EQ(a.message, "COMMIT (2 writes)");
  ASSERT_TRUE(a.commit_ts);
  EXPECT_EQ(must(db->get(rel::row_key("docs", "d"), *a.commit_ts)), "2");
  EXPECT_EQ(must(db->get(rel::row_key("docs", "d"), *a.commit_ts - 1)), std::nullopt);
}

// A script reads a table's schema record at each statement, so a table made anew in the same
// script is written by its new record.
TEST_F(RowWritesTest, EachStatementReadsTheSchemaRecordAsItIsThen) {
  must(execute_sql(*db, "CREATE TABLE s (a TEXT PRIMARY KEY, b TEXT); INSERT INTO s (a, b) VALUES ('x', 'y'); "
                        "DROP TABLE s; CREATE TABLE s (b TEXT PRIMARY KEY, a TEXT); INSERT INTO s (a, b) VALUES ('p', 'q')"));
  EXPECT_EQ(row("s", "q"), R"({"a":"p","b":"q"})");
  EXPECT_EQ(row("s", "p"), std::nullopt);
  EXPECT_EQ(execute_sql(*db, "DROP TABLE s; INSERT INTO s (pk, doc) VALUES ('k', '{}')").error(),
            QuenlorError::sql_execution("table s does not exist"));
}

// Between calls, each in a session of its own, a thread remembers a table's schema record while no
// shard commits anything but its own writes of other keys: any other change of the record is seen
// by the next call. That call first writes a row of another table into the record's shard, so that
// taking this write for the only one there since the record was read would keep the old record.
TEST(RowWritesBetweenCalls, FollowTheSchemaRecord) {
  enum class Put { None, Record, Tombstone, Broken };
  struct Case {
    const char* name;
    bool created;        // whether the table is made before the first UPDATE
    std::string change;  // the statements of one call between the two UPDATEs
    bool other_thread;   // whether another thread makes that call
    Put put;             // a put of the schema record between the two UPDATEs
    bool staged;         // whether the change is staged in the second UPDATE's transaction
    const char* outcome; // of the second UPDATE
  };
  const std::vector<Case> cases = {
      {"DROP TABLE", true, "DROP TABLE {t}", false, Put::None, false, "missing"},
      {"another thread's DROP TABLE", true, "DROP TABLE {t}", true, Put::None, false, "missing"},
      {"a DROP TABLE staged before", true, "DROP TABLE {t}", false, Put::None, true, "missing"},
      {"a put of a tombstone", true, "", false, Put::Tombstone, false, "missing"},
      {"a put of a record that does not parse", true, "", false, Put::Broken, false, "broken"},
      {"CREATE TABLE", false, "CREATE TABLE {t} (id TEXT PRIMARY KEY)", false, Put::None, false, "updated"},
      {"another thread's CREATE TABLE", false, "CREATE TABLE {t} (id TEXT PRIMARY KEY)", true, Put::None, false,
       "updated"},
      {"a put of a record", false, "", false, Put::Record, false, "updated"},
  };
  quenlordb::testing::TempDir dir;
  auto db = engine::testing::open_db(dir.file("db"), engine::testing::test_config(2));
  must(execute_sql(*db, "CREATE TABLE side (id TEXT PRIMARY KEY)"));
  int n = 0;
  for (const Case& c : cases) {
    const std::string t = "t" + std::to_string(n++);
    const std::string schema = rel::schema_key(t);
    std::string r = "r";
    while (db->shard_of_key(rel::row_key("side", r)) != db->shard_of_key(schema)) r += "r";
    const auto with = [&](std::string sql) {
      for (std::size_t at; (at = sql.find("{t}")) != std::string::npos;) sql.replace(at, 3, t);
      return sql;
    };
    if (c.created) must(execute_sql(*db, with("CREATE TABLE {t} (id TEXT PRIMARY KEY)")));
    for (const std::string pk : {"w", "r"}) {
      must(db->put(rel::row_key(t, pk), R"({"n":1})", 0, testing::kMax, 1));
    }
    const Result<SqlResult> first = execute_sql(*db, with("UPDATE {t} SET n = 2 WHERE pk = 'w'"));
    EXPECT_EQ(first.has_value(), c.created) << c.name;
    if (c.other_thread) {
      std::thread([&] { must(execute_sql(*db, with(c.change))); }).join();
    } else if (!c.change.empty() && !c.staged) {
      must(execute_sql(*db, with(c.change)));
    }
    if (c.put != Put::None) {
      const std::string record = c.put == Put::Record    ? must(rel::encode_schema_metadata(rel::TableSchemaMetadata{}))
                                 : c.put == Put::Broken ? "{"
                                                        : "";
      must(db->put(schema, record, 0, testing::kMax, 1));
    }
    const std::string update =
        "INSERT INTO side (pk, doc) VALUES ('" + r + "', '{}'); " + with("UPDATE {t} SET n = 3 WHERE pk = 'r'");
    const Result<SqlResult> second =
        execute_sql(*db, c.staged ? "BEGIN; " + with(c.change) + "; " + update + "; COMMIT" : update);
    const std::string outcome = second                                          ? std::get<SqlResult::Affected>(second->value).message
                                : second.error().kind() == ErrorKind::SerdeJson ? std::string("broken")
                                : second.error().message() == "table " + t + " does not exist" ? std::string("missing")
                                                                                            : second.error().to_string();
    EXPECT_EQ(outcome, c.outcome == std::string("updated") ? "updated 1 row(s)" : c.outcome) << c.name;
  }
}

TEST_F(RowWritesTest, UpdateAssignmentsReadTheRowAsItWas) {
  for (auto [pk, doc] : {std::pair{"arr", "[1, 2]"}, {"bad", "not json"}, {"nul", "null"}, {"obj", R"({"a":1,"b":"x"})"}}) {
    must(db->put(rel::row_key("docs", pk), doc, 0, testing::kMax));
  }
  SqlResult result = must(run("UPDATE docs SET a = b, b = a"));
  const auto& a = std::get<SqlResult::Affected>(result.value);
  EXPECT_EQ(a.rows, 4u);
  EXPECT_EQ(a.message, "updated 4 row(s)");
  EXPECT_TRUE(a.commit_ts);
  EXPECT_EQ(row("docs", "arr"), "[1,2]");  // not an object: written back compactly, still counted
  EXPECT_EQ(row("docs", "bad"), R"({"a":null,"b":null})");
  EXPECT_EQ(row("docs", "nul"), "null");
  EXPECT_EQ(row("docs", "obj"), R"({"a":"x","b":1.0})");

  // With assignments, a first assignment to doc is unused; a later one sets a member named doc.
  must(run(R"(UPDATE docs SET doc = '{"z":1}', c = pk WHERE pk = 'obj')"));
  EXPECT_EQ(row("docs", "obj"), R"({"a":"x","b":1.0,"c":"obj"})");
  must(run("UPDATE docs SET c = 1, doc = 'x' WHERE pk = 'obj'"));
  EXPECT_EQ(row("docs", "obj"), R"({"a":"x","b":1.0,"c":1.0,"doc":"x"})");
}

TEST_F(RowWritesTest, QualifiedNamesReadTheRowInUpdateAndDelete) {
  struct Case {
    const char* sql;
    std::uint64_t rows;                  // the rows the statement reports
    std::optional<std::string> a, b, c;  // the rows after it; none when deleted
  };
  const std::string a = R"({"k":1.0,"x":1.0,"y":1.0})";
  const std::string b = R"({"k":3.0,"y":2.0})";
  const std::string c = R"({"k":3.0,"x":5.0,"y":5.0})";
  const Case cases[] = {
      // Only b lacks x; a NULL read for docs.x would touch every row.
      {"UPDATE docs SET x = 0 WHERE docs.x IS NULL", 1, a, R"({"k":3.0,"x":0.0,"y":2.0})", c},
      {"DELETE FROM docs WHERE docs.k = 3", 2, a, {}, {}},
      // NULL = NULL is true: read as NULL, both sides would match every row.
      {"DELETE FROM docs WHERE docs.x = docs.y", 2, {}, b, {}},
      // Values set read the row too, each as the row was before the statement.
      {"UPDATE docs SET x = docs.y + 1, y = docs.x WHERE pk = 'c'", 1, a, b, R"({"k":3.0,"x":6.0,"y":5.0})"},
      {R"(UPDATE docs SET doc = CONCAT('{"was":"', docs.pk, '"}') WHERE docs.k = 1)", 1, R"({"was":"a"})", b, c},
      {"DELETE FROM docs WHERE docs.pk = 'b'", 1, a, {}, c},
      // The qualifier matches in any ASCII letter case (member names keep theirs: Docs.X is NULL).
      {"UPDATE docs SET w = Docs.x WHERE dOcS.pK IN ('a', 'c')", 2, R"({"k":1.0,"w":1.0,"x":1.0,"y":1.0})", b,
       R"({"k":3.0,"w":5.0,"x":5.0,"y":5.0})"},
      // A qualifier naming another table reads NULL, so IS NULL holds for every row.
      {"UPDATE docs SET w = typed.x WHERE typed.x IS NULL AND typed.pk IS NULL", 3,
       R"({"k":1.0,"w":null,"x":1.0,"y":1.0})", R"({"k":3.0,"w":null,"y":2.0})",
       R"({"k":3.0,"w":null,"x":5.0,"y":5.0})"},
      {"DELETE FROM docs WHERE typed.k = 3", 0, a, b, c},
  };
  for (const Case& t : cases) {
    put_row("docs", "a", a);
    put_row("docs", "b", b);
    put_row("docs", "c", c);
    EXPECT_EQ(std::get<SqlResult::Affected>(must(run(t.sql)).value).rows, t.rows) << t.sql;
    EXPECT_EQ(row("docs", "a"), t.a) << t.sql;
    EXPECT_EQ(row("docs", "b"), t.b) << t.sql;
    EXPECT_EQ(row("docs", "c"), t.c) << t.sql;
  }
}

TEST_F(RowWritesTest, UpdateSetDocStoresTheTextAsWritten) {
  must(run("INSERT INTO docs (pk, doc) VALUES ('k', '{}')"));
  must(run("INSERT INTO docs (pk, doc) VALUES ('other', '{}')"));
  EXPECT_EQ(std::get<SqlResult::Affected>(must(run(R"(UPDATE docs SET doc = '{ "z" : 1 }' WHERE pk = 'k')")).value).rows,
            1u);
  EXPECT_EQ(row("docs", "k"), R"({ "z" : 1 })");
  EXPECT_EQ(row("docs", "other"), "{}");
  expect_error("UPDATE docs SET doc = 5", "UPDATE SET doc must evaluate to a string");
  auto bad = run("UPDATE docs SET doc = 'nope'");
  ASSERT_FALSE(bad);
  EXPECT_EQ(bad.error().kind(), ErrorKind::SerdeJson);
  EXPECT_EQ(must(run("UPDATE docs SET a = 1 WHERE pk = 'none'")), affected(0, std::nullopt, "updated 0 row(s)"));
  EXPECT_EQ(must(run("DELETE FROM docs WHERE pk = 'none'")), affected(0, std::nullopt, "deleted 0 row(s)"));
  expect_error("UPDATE nope SET a = 1", "table nope does not exist");
  expect_error("DELETE FROM nope", "table nope does not exist");
}

TEST_F(RowWritesTest, UpdateFailingPartWayKeepsTheRowsBefore) {
  for (const char* pk : {"a", "b", "c"}) must(db->put(rel::row_key("docs", pk), "{}", 0, testing::kMax));
  auto r = run("UPDATE docs SET doc = CASE WHEN pk = 'b' THEN 5 ELSE '[0]' END");
  ASSERT_FALSE(r);
  EXPECT_EQ(row("docs", "a"), "[0]");
  EXPECT_EQ(row("docs", "b"), "{}");
  EXPECT_EQ(row("docs", "c"), "{}");
  // WHERE runs over every row before the first write: failing on the last row, it writes none.
  ASSERT_FALSE(run("UPDATE docs SET x = 1 WHERE CASE WHEN pk = 'c' THEN nofn() ELSE 1 END"));
  EXPECT_EQ(row("docs", "a"), "[0]");
  EXPECT_EQ(row("docs", "b"), "{}");
}

TEST_F(RowWritesTest, DeleteAsOfDeletesTheRowsLiveThen) {
  const std::uint64_t then =
      *std::get<SqlResult::Affected>(must(run("INSERT INTO docs (pk, doc) VALUES ('b', '2')")).value).commit_ts;
  must(run("INSERT INTO docs (pk, doc) VALUES ('a', '1')"));
  EXPECT_EQ(std::get<SqlResult::Affected>(must(run("DELETE FROM docs WHERE pk = 'b'")).value).rows, 1u);
  EXPECT_EQ(std::get<SqlResult::Affected>(must(run("DELETE FROM docs WHERE pk = 'b'")).value).rows, 0u);
  // At `then` b was live: it is deleted again (a new tombstone), and counted.
  SqlResult result = must(run("DELETE FROM docs WHERE pk = 'b' AS OF " + std::to_string(then)));
  EXPECT_EQ(std::get<SqlResult::Affected>(result.value).message, "deleted 1 row(s)");
  EXPECT_EQ(row("docs", "b"), std::nullopt);
  EXPECT_EQ(row("docs", "a"), "1");
  EXPECT_EQ(std::get<SqlResult::Affected>(must(run("DELETE FROM docs")).value).rows, 1u);
  EXPECT_EQ(row("docs", "a"), std::nullopt);
}

TEST_F(RowWritesTest, WritesInsideATransactionSeeEachOther) {
  must(run("INSERT INTO docs (pk, doc) VALUES ('stored', '{}')"));
  must(run("BEGIN"));
  must(run("INSERT INTO docs (pk, doc) VALUES ('new', '{\"n\":1}')"));
  EXPECT_EQ(must(run("UPDATE docs SET n = n + 1 WHERE pk = 'new'")), affected(1, std::nullopt, "updated 1 row(s)"));
  EXPECT_EQ(row("docs", "new"), R"({"n":2.0})");
  EXPECT_EQ(must(run("DELETE FROM docs")), affected(2, std::nullopt, "deleted 2 row(s)"));
  EXPECT_EQ(must(run("UPDATE docs SET n = 1")), affected(0, std::nullopt, "updated 0 row(s)"));
  EXPECT_EQ(must(db->get(rel::row_key("docs", "stored"))), "{}");
  EXPECT_EQ(std::get<SqlResult::Affected>(must(run("COMMIT")).value).rows, 4u);
  EXPECT_EQ(must(db->get(rel::row_key("docs", "stored"))), "");  // a tombstone
  EXPECT_EQ(must(db->get(rel::row_key("docs", "new"))), "");
}

TEST_F(RowWritesTest, InsertReturningBuildsItsRowFromTheWrittenRow) {
  struct Case {
    const char* sql;
    const char* row;  // the returned row
  };
  const Case cases[] = {
      // `*` gives the stored document's members; an alias names its item.
      {"INSERT INTO typed (id, n) VALUES ('a', 2) RETURNING *, id AS key", R"({"id":"a","key":"a","n":2.0})"},
      // An unaliased item is named as a SELECT names it; operators all share "?".
      {"INSERT INTO typed (id, n) VALUES ('b', 2) RETURNING n + 1", R"({"?":3.0})"},
      {"INSERT INTO typed (id, n) VALUES ('c', 2) RETURNING upper(id), doc.n, pk, missing",
       R"j({"doc.n":2.0,"missing":null,"pk":"c","upper(id)":"C"})j"},
      // A name qualified by the table reads the row written, in any letter case; another
      // qualifier reads NULL.
      {"INSERT INTO typed (id, n) VALUES ('h', 2) RETURNING typed.n, TYPED.pk, Typed.id, docs.n",
       R"({"TYPED.pk":"h","Typed.id":"h","docs.n":null,"typed.n":2.0})"},
      // The primary key as the row is keyed: a number's positional text.
      {"INSERT INTO typed (ID, n) VALUES (7, 1) RETURNING pk, ID", R"({"ID":7.0,"pk":"7"})"},
      // A later member of the same name replaces an earlier one, `*`'s members included.
      {"INSERT INTO typed (id, n) VALUES ('d', 2) RETURNING *, n AS id", R"({"id":2.0,"n":2.0})"},
      {"INSERT INTO typed (id, n) VALUES ('e', 2) RETURNING n AS n, *", R"({"id":"e","n":2.0})"},
      {"INSERT INTO typed (id, n) VALUES ('f', 2) RETURNING id AS x, n AS x", R"({"x":2.0})"},
      {"INSERT INTO typed (id, n) VALUES ('g', 1 / 0) RETURNING *, doc",
       R"({"doc":"{\"id\":\"g\",\"n\":null}","id":"g","n":null})"},
      // On a document table RETURNING takes the typed path (the (pk, doc) form has no RETURNING),
      // so a doc column is a member like any other.
      {"INSERT INTO docs (doc, pk) VALUES ('{}', 'k') RETURNING *", R"({"doc":"{}","pk":"k"})"},
  };
  for (const Case& c : cases) EXPECT_EQ(rows(c.sql), std::vector<std::string>{c.row}) << c.sql;
  // The row is written as the typed INSERT writes it.
  EXPECT_EQ(row("typed", "a"), R"({"id":"a","n":2.0})");
  EXPECT_EQ(row("typed", "7"), R"({"ID":7.0,"n":1.0})");
  EXPECT_EQ(row("docs", "k"), R"({"doc":"{}","pk":"k"})");

  // The typed INSERT's errors, before anything is written.
  expect_error("INSERT INTO typed (id, n) VALUES (NULL, 1) RETURNING *", "primary key must be text or number");
  expect_error("INSERT INTO typed (n) VALUES (1) RETURNING *", "INSERT must include primary key column 'id'");
  expect_error("INSERT INTO nope (id) VALUES ('a') RETURNING *", "table nope does not exist");
}

TEST_F(RowWritesTest, FailingReturningExpressionKeepsTheRow) {
  expect_error("INSERT INTO typed (id, n) VALUES ('a', 1) RETURNING *, CAST(n AS BLOB)",
               "unsupported CAST target type: BLOB");
  EXPECT_EQ(must(db->get(rel::row_key("typed", "a"))), R"({"id":"a","n":1.0})");
  // Inside a transaction the failure ends the script, and the staged row goes with it.
  auto r = execute_sql(*db, "BEGIN; INSERT INTO typed (id) VALUES ('b') RETURNING nope(id); COMMIT");
  ASSERT_FALSE(r);
  EXPECT_EQ(r.error(), QuenlorError::sql_execution("unknown function: nope"));
  EXPECT_EQ(must(db->get(rel::row_key("typed", "b"))), std::nullopt);
}

TEST_F(RowWritesTest, InsertReturningInsideATransactionIsStaged) {
  must(run("BEGIN"));
  EXPECT_EQ(rows("INSERT INTO typed (id, n) VALUES ('a', 1) RETURNING *"),
            std::vector<std::string>{R"({"id":"a","n":1.0})"});
  EXPECT_EQ(must(db->get(rel::row_key("typed", "a"))), std::nullopt);
  EXPECT_EQ(row("typed", "a"), R"({"id":"a","n":1.0})");  // the transaction reads its staged row
  EXPECT_EQ(std::get<SqlResult::Affected>(must(run("COMMIT")).value).message, "COMMIT (1 writes)");
  EXPECT_EQ(must(db->get(rel::row_key("typed", "a"))), R"({"id":"a","n":1.0})");
}


namespace point_writes {

// A world of its own: a database loaded with the same rows each time, so that two worlds given the
// same statements write the same versions under the same timestamps.
struct World {
  explicit World(const std::string& path) : db(engine::testing::open_db(path, engine::testing::test_config(2))) {
    put(rel::schema_key("docs"), must(rel::encode_schema_metadata(rel::TableSchemaMetadata{})));
    put(rel::schema_key("typed"),
        must(rel::encode_schema_metadata(rel::TableSchemaMetadata{"id", "typed", {{"id", "INTEGER"}}, "typed"})));
    put(rel::view_key("v"), must(rel::encode_view_metadata({"v", "SELECT doc FROM docs WHERE pk = 'b'", {}})));
    put(rel::row_key("docs", "a"), R"({"n":1})");
    put(rel::row_key("docs", "b"), R"({"n":2,"s":"x"})");
    put(rel::row_key("docs", "c"), R"({"n":3})");
    d_live = put(rel::row_key("docs", "d"), R"({"n":4})");
    put(rel::row_key("docs", "d"), "");
    put(rel::row_key("docs", "e"), "[1, 2]");
    put(rel::row_key("typed", "7"), R"({"id":7.0})");
  }
  std::uint64_t put(std::string_view key, std::string value) { return must(db->put(key, std::move(value), 0, testing::kMax, 1)); }

  // Each statement's result (or error) in turn, then every stored row with the timestamp of its
  // newest version.
  std::vector<std::string> outcome(const std::vector<std::string>& statements) {
    std::vector<std::string> out;
    for (const std::string& sql : statements) {
      Result<SqlResult> r = [&]() -> Result<SqlResult> { return execute_stmt(*db, session, TRY(parser::parse_sql(sql))); }();
      if (!r) {
        out.push_back(r.error().to_string());
        continue;
      }
      const auto& a = std::get<SqlResult::Affected>(r->value);
      out.push_back(std::to_string(a.rows) + " " + (a.commit_ts ? std::to_string(*a.commit_ts) : "-") + " " + a.message);
    }
    for (const auto& row : must(db->scan_prefix("table/", std::nullopt, std::nullopt))) {
      out.push_back(std::string(row.key) + "@" + std::to_string(row.commit_ts) + "=" + std::string(row.doc));
    }
    return out;
  }

  std::unique_ptr<engine::Database> db;
  SqlSession session;
  std::uint64_t d_live = 0;
};

// The statement with each KEY(k) written as the condition pk = 'k', which fixes the row, or as the
// same condition in a form that scans the table.
std::string with_keys(std::string sql, bool point) {
  for (std::size_t at; (at = sql.find("KEY(")) != std::string::npos;) {
    const std::size_t end = sql.find(')', at);
    const std::string k = sql.substr(at + 4, end - at - 4);
    sql.replace(at, end + 1 - at, point ? "pk = '" + k + "'" : "(pk = '" + k + "' OR FALSE)");
  }
  return sql;
}

}  // namespace point_writes

// UPDATE and DELETE whose WHERE fixes the primary key read that one row instead of scanning the
// table: results, errors and the versions written are those of the scan and filter.
TEST(PointWrites, AgreeWithTheScan) {
  const std::vector<std::vector<std::string>> cases = {
      {"UPDATE docs SET n = n + 10 WHERE KEY(b)"},
      {"UPDATE docs SET m = n WHERE 'b' = pk"},
      {"UPDATE docs SET n = 0 WHERE KEY(b) AND n = 2", "UPDATE docs SET n = 0 WHERE KEY(c) AND n = 2"},
      // The key's condition need not come first when those before it cannot fail.
      {"UPDATE docs SET n = 0 WHERE n = 2 AND KEY(b)", "DELETE FROM docs WHERE (n > 1 OR s IS NULL) AND KEY(c)"},
      {"UPDATE docs SET n = 0 WHERE KEY(b) AND KEY(c)"},
      // Missing and deleted rows; a deleted row seen as it was live.
      {"UPDATE docs SET n = 0 WHERE KEY(zz)", "DELETE FROM docs WHERE KEY(d)", "UPDATE docs SET n = 0 WHERE KEY(d)"},
      {"DELETE FROM docs WHERE KEY(b)", "DELETE FROM docs WHERE KEY(b)", "UPDATE docs SET n = 0 WHERE KEY(b)"},
      {"DELETE FROM docs WHERE KEY(d) AS OF D_LIVE", "UPDATE docs SET n = 9 WHERE KEY(d) AS OF D_LIVE"},
      // A document that is not an object is written back compactly.
      {"UPDATE docs SET a = 1 WHERE KEY(e)"},
      {"UPDATE docs SET doc = '{\"z\": 1}' WHERE KEY(b)"},
      // Errors: of the new document, of a value, of WHERE on the row; none where no row is read.
      {"UPDATE docs SET doc = 'nope' WHERE KEY(b)"},
      {"UPDATE docs SET doc = 5 WHERE KEY(b)"},
      {"UPDATE docs SET n = nofn() WHERE KEY(b)", "UPDATE docs SET n = nofn() WHERE KEY(zz)"},
      {"DELETE FROM docs WHERE KEY(b) AND nofn() = 1", "DELETE FROM docs WHERE KEY(zz) AND nofn() = 1"},
      {"DELETE FROM docs WHERE nofn() = 1 AND KEY(zz)", "UPDATE docs SET n = 1 WHERE CAST(n AS FOO) = 1 AND KEY(zz)"},
      // Typed tables; a view or a missing table is no table to write.
      {"UPDATE typed SET n = 1 WHERE KEY(7)", "DELETE FROM typed WHERE KEY(7)"},
      {"UPDATE v SET n = 1 WHERE KEY(b)", "DELETE FROM nope WHERE KEY(b)"},
      // Inside a transaction the staged writes are what is read.
      {"BEGIN", "INSERT INTO docs (pk, doc) VALUES ('new', '{\"n\":5}')", "UPDATE docs SET n = n + 1 WHERE KEY(new)",
       "DELETE FROM docs WHERE KEY(a)", "UPDATE docs SET n = 0 WHERE KEY(a)", "UPDATE docs SET n = 7 WHERE KEY(b)",
       "DELETE FROM docs WHERE KEY(b) AND n = 7", "DELETE FROM docs WHERE KEY(b)", "COMMIT"},
  };
  quenlordb::testing::TempDir dir;
  int n = 0;
  for (const std::vector<std::string>& statements : cases) {
    point_writes::World point(dir.file("p" + std::to_string(n))), scan(dir.file("s" + std::to_string(n)));
    ++n;
    std::vector<std::string> as_point, as_scan;
    for (std::string sql : statements) {
      if (const std::size_t at = sql.find("D_LIVE"); at != std::string::npos) sql.replace(at, 6, std::to_string(point.d_live));
      as_point.push_back(point_writes::with_keys(sql, true));
      as_scan.push_back(point_writes::with_keys(sql, false));
    }
    EXPECT_EQ(point.outcome(as_point), scan.outcome(as_scan)) << statements.front();
  }
}

// UPDATE ... SET writes the bytes the document's tree gives with the members set, whether the
// stored text is written as that tree writes (names in order, plain strings and integers), which
// is rewritten on its text, or in any other form: unordered, spaced, repeated names, numbers the
// writer spells otherwise, escapes, nested values, not an object, not JSON.
TEST_F(RowWritesTest, UpdatedDocumentsAreThoseOfTheTree) {
  const std::vector<std::string> docs = {
      R"({"bio":"ka po","city":"Oslo","id":"u000001","name":"user1","score":123,"status":"idle"})",
      R"({"status":"idle","a":1})", R"({ "a": 1 })", R"({"a":1,"a":2})", R"({"a":true,"b":false,"m":null,"z":-7})",
      R"({"a":1.5})", R"({"a":1e2})", R"({"a":-0})", R"({"a":123456789012345678901})", R"({"a":-123456789012345678})",
      R"({"a":"x\ny"})", R"({"\u0061b":1})", R"({"a":"\u00e9"})", R"({"a":{"b":1},"c":[1,2]})", "{}",
      R"({"zz":"\u00e9x","\u00e9":1})", "{\"zz\":\"\xc3\xa9\",\"\xc3\xa9\":1}", "[1,2]", "5", "null", "not json"};
  struct Set {
    std::string sql;
    std::vector<std::pair<std::string, nlohmann::json>> members;
  };
  const std::vector<Set> sets = {
      {"status = 'x'", {{"status", "x"}}},
      {"a = 1, zz = NULL, aa = 'q\"\xc3\xa9'", {{"a", 1.0}, {"zz", nullptr}, {"aa", "q\"\xc3\xa9"}}},
      {"m = 'one', m = TRUE, zzz = 2.5", {{"m", "one"}, {"m", true}, {"zzz", 2.5}}},
      // Controls, quotes, backslashes and DEL in a text, escaped as the tree's writer escapes them.
      {"b = '\x01\n\t\"\\\\\x7f', a = 'z', b = 'y', a = 'x'", {{"b", "\x01\n\t\"\\\x7f"}, {"a", "z"}, {"b", "y"}, {"a", "x"}}},
  };
  for (const std::string& doc : docs) {
    for (const Set& set : sets) {
      put_row("docs", "k", doc);
      must(run("UPDATE docs SET " + set.sql + " WHERE pk = 'k'"));
      Result<nlohmann::json> parsed = util::parse_json_document(doc);
      nlohmann::json want = parsed ? *parsed : nlohmann::json::object();
      if (want.is_object()) {
        for (const auto& [name, value] : set.members) want[name] = value;
      }
      EXPECT_EQ(row("docs", "k"), must(util::dump_json_compact(want))) << doc << " SET " << set.sql;
    }
  }
}

// Only the row is read: another row whose key is not UTF-8 fails the scan but not the point write.
TEST_F(RowWritesTest, PointWritesReadOnlyTheirRow) {
  put_row("docs", "b", R"({"n":2})");
  put_row("docs", "\xff", "{}");
  EXPECT_EQ(std::get<SqlResult::Affected>(must(run("UPDATE docs SET n = 3 WHERE pk = 'b'")).value).rows, 1u);
  EXPECT_EQ(row("docs", "b"), R"({"n":3.0})");
  EXPECT_EQ(std::get<SqlResult::Affected>(must(run("DELETE FROM docs WHERE pk = 'b' AND n = 3")).value).rows, 1u);
  EXPECT_EQ(row("docs", "b"), std::nullopt);
  expect_error("UPDATE docs SET n = 3 WHERE (pk = 'b' OR FALSE)", "row key contains non-utf8 pk");
}

}  // namespace
}  // namespace quenlordb::sql::exec
