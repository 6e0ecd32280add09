// The full-text and time-series upkeep of written rows, and MATCH in a table query's WHERE.
#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "facet/fts/analysis.h"
#include "facet/fts/postings.h"
#include "facet/relational/keys.h"
#include "facet/relational/records.h"
#include "facet/timeseries/bucket.h"
#include "sql/exec/exec_fixture.h"
#include "sql/exec/facet_upkeep.h"
#include "sql/parser/text.h"
#include "util/json_document.h"
#include "util/utf8.h"

namespace quenlordb::sql::exec::testing {
namespace {

namespace rel = facet::relational;
using Keys = std::vector<std::string>;

class FtsTest : public ExecFixture {
 protected:
  void SetUp() override {
    ExecFixture::SetUp();
    must(run("CREATE TABLE docs (pk TEXT PRIMARY KEY)"));
  }
  // Definitions are written directly so that any member name can be indexed.
  void index(std::string_view name, Keys columns, std::string_view table = "docs") {
    const std::string bytes = must(rel::encode_fts_index_metadata({std::string(name), std::string(table), columns}));
    put_catalog(rel::fts_index_meta_key(table, name), bytes);
  }
  void insert(std::string_view pk, std::string_view doc) {
    must(run("INSERT INTO docs (pk, doc) VALUES ('" + std::string(pk) + "', '" + std::string(doc) + "')"));
  }
  Keys list(std::string_view term) {
    std::optional<std::string> bytes = live(rel::posting_key("docs", term));
    return bytes ? must(facet::fts::decode_posting_list(*bytes)) : Keys{};
  }
  Keys pks(std::string_view where) {
    Result<SqlResult> r = run("SELECT pk FROM docs WHERE " + std::string(where));
    if (!r) {
      ADD_FAILURE() << where << ": " << r.error().to_string();
      return {};
    }
    Keys out;
    for (const std::string& row : std::get<SqlResult::Rows>(r->value).rows) {
      out.push_back(nlohmann::json::parse(row).at("pk").get<std::string>());
    }
    return out;
  }
};

TEST_F(FtsTest, InsertAddsTheRowToEveryTermsList) {
  index("f", {"doc", "title"});
  insert("r1", R"({"title":"Running Dogs","tags":["alpha","beta"],"n":3.25,"ok":true,"z":null})");
  insert("r2", R"({"title":"dogs, again","body":"x"})");
  insert("r1", R"({"title":"dogs"})");  // an overwrite keeps one entry per list
  EXPECT_EQ(list("runn"), Keys{"r1"});  // "running" stems to "runn"
  EXPECT_EQ(list("dog"), (Keys{"r1", "r2"}));
  EXPECT_EQ(list("alpha"), Keys{"r1"});
  EXPECT_EQ(list("325"), Keys{"r1"});
  EXPECT_EQ(list("true"), Keys{"r1"});
  EXPECT_EQ(list("again"), Keys{"r2"});
  EXPECT_EQ(list("null"), Keys{});
  // Only the title is indexed by a second definition; a table without definitions writes nothing.
  must(run("CREATE TABLE other (pk TEXT PRIMARY KEY)"));
  must(run("INSERT INTO other (pk, doc) VALUES ('o', '{\"title\":\"dogs\"}')"));
  EXPECT_EQ(scan("__fts/other/").size(), 0u);
}

TEST_F(FtsTest, InsertReturningKeepsTheListsUpAlsoWhenAnItemFails) {
  index("f", {"title"});
  must(run("INSERT INTO docs (pk, title) VALUES ('r1', 'dogs') RETURNING pk"));
  // The row and its lists are written before the RETURNING items are evaluated.
  EXPECT_EQ(error("INSERT INTO docs (pk, title) VALUES ('r2', 'dogs again') RETURNING nope()"),
            "sql execution error: unknown function: nope");
  EXPECT_EQ(list("dog"), (Keys{"r1", "r2"}));
  EXPECT_EQ(list("again"), Keys{"r2"});
  EXPECT_EQ(pks("MATCH(doc, 'dogs')"), (Keys{"r1", "r2"}));
}

TEST_F(FtsTest, IndexesColumnsAsTheDefinitionNamesThem) {
  struct Case {
    std::string_view doc;
    Keys columns;
    Keys terms;
  };
  const Case cases[] = {
      {R"({"title":"big cat","body":"red fox"})", {"title"}, {"big", "cat"}},
      {R"({"title":"big cat","body":"red fox"})", {"DOC"}, {"red", "fox", "big", "cat"}},  // members in name order
      {R"({"Title":"big"})", {"title"}, {}},                                               // exact member names
      {R"(["big cat"])", {"title"}, {}},                                                   // not an object
      {R"({"t":{"b":"two","a":["one",12]}})", {"t"}, {"one", "12", "two"}},
      {"big cat {", {"title"}, {"big", "cat"}},        // not JSON: the whole text, whatever the columns
      {"caf\xff tea", {"title"}, {"caf", "tea"}},  // the U+FFFD put in place of \xff is no letter
  };
  for (const Case& c : cases) EXPECT_EQ(fts_terms_of_document(c.doc, c.columns), c.terms) << c.doc;

  // The named members are found without a tree; the terms are those of the text the tree gives.
  auto tree_text = [](std::string_view doc, const Keys& columns) {
    Result<nlohmann::json> tree = util::parse_json_document(doc);
    if (!tree) return util::decode_utf8_lossy(doc);
    Keys pieces;
    for (const std::string& column : columns) {
      if (parser::eq_ignore_ascii_case(column, "doc")) collect_json_strings(*tree, pieces);
      else if (tree->is_object() && tree->contains(column)) collect_json_strings((*tree)[column], pieces);
    }
    std::string text;
    for (const std::string& piece : pieces) text += (text.empty() ? "" : " ") + piece;
    return text;
  };
  const std::string_view tricky[] = {
      R"({"title":"old words","title":"new words"})", R"({"t\u0069tle":"esc","title":"xx","tit\u006ce":"yy"})",
      R"({"title":"caf\u00e9 \"quoted\" \ud83d\ude00 tail"})", R"({"a":3.25,"b":null,"c":false,"d":1e2,"e":-0})",
      R"({"title":"big","x":1e400})", "\xEF\xBB\xBF{\"title\":\"bom\"}", R"({"title":"a b"} trailing)",
      R"({"title":{"z":"zed","a":["one",{"k":"kay"}]},"a":[true,"two"]})", R"(["title","words"])", "\"title\"",
  };
  const Keys column_lists[] = {{"title"}, {"a", "title"}, {"d", "b", "c", "a", "e"}, {"doc"}, {"title", "DOC"}};
  for (std::string_view doc : tricky) {
    for (const Keys& columns : column_lists) {
      EXPECT_EQ(fts_terms_of_document(doc, columns), facet::fts::query_terms(tree_text(doc, columns))) << doc;
    }
  }

  index_row_for_fts(*db, session, "docs", "raw", "plain words", {"x"}).value();
  EXPECT_EQ(list("plain"), Keys{"raw"});
}

// The check of a matched row: every term must come from the row's text under some index; the
// terms may come from different indexes.
TEST_F(FtsTest, RowsHoldTermsUnderAnyOfTheIndexes) {
  using Indexes = std::vector<Keys>;
  struct Case {
    std::string_view doc;
    Indexes indexes;
    Keys terms;
    bool held;
  };
  const Case cases[] = {
      {R"({"title":"Alpha","body":"betas"})", {{"title"}, {"body"}}, {"alpha", "beta"}, true},
      {R"({"title":"Alpha","body":"betas"})", {{"title"}}, {"alpha", "beta"}, false},
      {R"({"title":"Alpha","body":"betas"})", {{"DOC"}}, {"beta", "alpha", "beta"}, true},
      {R"({"title":"Alpha"})", {{"body"}, {"title"}}, {"alpha"}, true},
      {R"({"title":"Alpha"})", {{"title"}}, {}, true},
      {R"({"n":3.25,"ok":true})", {{"n", "ok"}}, {"325", "true"}, true},
      {"alpha beta {", {{"title"}, {"body"}}, {"beta"}, true},  // not JSON: the whole text
      {"alpha beta {", {{"title"}}, {"gamma"}, false},
  };
  for (const Case& c : cases) EXPECT_EQ(document_holds_terms(c.doc, c.indexes, c.terms), c.held) << c.doc;
}

TEST_F(FtsTest, CreateFulltextIndexIndexesTheExistingRows) {
  // A definition staged in a transaction does not index rows inserted after it in the same one.
  must(run("BEGIN"));
  must(run("CREATE FULLTEXT INDEX g ON docs (doc)"));
  insert("c", R"({"t":"gamma"})");
  must(run("COMMIT"));
  EXPECT_EQ(list("gamma"), Keys{});

  insert("b", R"({"t":"alpha beta alpha"})");  // g indexes b and a as they are inserted
  insert("a", R"({"t":"alpha"})");
  must(db->put(rel::posting_key("docs", "beta"), "[broken", 0, kMax));
  must(db->put(rel::posting_key("docs", "alpha"), R"(["old"])", 0, kMax));
  EXPECT_EQ(std::get<SqlResult::Affected>(must(run("CREATE FULLTEXT INDEX f ON docs (doc)")).value).message,
            "created fulltext index f on docs(doc) \u2014 indexed 3 rows");
  EXPECT_EQ(list("alpha"), (Keys{"old", "a", "b"}));  // rows in primary-key order after what was listed
  EXPECT_EQ(list("beta"), Keys{"b"});
  EXPECT_EQ(list("gamma"), Keys{"c"});
}

// Rows added together leave each list as adding them one at a time would: keys out of order and
// repeated, a term from several indexes or twice in a row, lists there before (one of them broken),
// texts that are not JSON.
TEST_F(FtsTest, RowsAddedTogetherListAsRowByRow) {
  const std::vector<std::string> words = {"red", "cars", "car", "blue", "fast", "running", "runs", "x"};
  const std::vector<Keys> indexes = {{"title"}, {"body", "title"}, {"doc"}};
  std::mt19937 rng(5);
  const auto pick = [&](const std::vector<std::string>& from) { return from[rng() % from.size()]; };
  for (const char* table : {"together", "one_by_one"}) {
    must(db->put(rel::posting_key(table, "red"), R"(["k3","old"])", 0, kMax));
    must(db->put(rel::posting_key(table, "car"), "[broken", 0, kMax));
  }
  std::vector<eval::VisibleRow> rows;
  for (int i = 0; i < 60; ++i) {
    const std::string pk = "k" + std::to_string(rng() % 25);
    std::string doc;
    if (rng() % 10 == 0) {
      doc = pick(words) + " {" + pick(words);
    } else {
      doc = "{\"title\":\"" + pick(words) + " " + pick(words) + "\",\"body\":\"" + pick(words) + "\"}";
    }
    rows.push_back({pk, doc});
  }
  must(index_rows_for_fts(*db, session, "together", rows, indexes));
  for (const eval::VisibleRow& row : rows) {
    for (const Keys& columns : indexes) must(index_row_for_fts(*db, session, "one_by_one", row.pk, row.doc, columns));
  }
  for (const std::string& word : words) {
    const std::string term = facet::fts::stem(word);
    EXPECT_EQ(live(rel::posting_key("together", term)), live(rel::posting_key("one_by_one", term))) << term;
  }
  // Keys in ascending order, each once, as a table's scan gives them.
  std::vector<eval::VisibleRow> ascending;
  for (int i = 0; i < 30; ++i) ascending.push_back({"a" + std::to_string(100 + i), "{\"title\":\"" + pick(words) + "\"}"});
  must(index_rows_for_fts(*db, session, "together", ascending, indexes));
  for (const eval::VisibleRow& row : ascending) {
    for (const Keys& columns : indexes) must(index_row_for_fts(*db, session, "one_by_one", row.pk, row.doc, columns));
  }
  for (const std::string& word : words) {
    const std::string term = facet::fts::stem(word);
    EXPECT_EQ(live(rel::posting_key("together", term)), live(rel::posting_key("one_by_one", term))) << term;
  }
}

TEST_F(FtsTest, MatchSelectsRowsHoldingEveryTermInListOrder) {
  index("f", {"doc"});
  insert("b", R"({"t":"alpha beta","year":2020})");
  insert("a", R"({"t":"alpha","year":2020})");
  insert("c", R"({"t":"beta alpha gamma","year":2021})");
  EXPECT_EQ(pks("MATCH(doc, 'alpha beta')"), (Keys{"b", "c"}));
  EXPECT_EQ(pks("MATCH(body, 'ALPHA')"), (Keys{"b", "a", "c"}));  // the column does not restrict
  EXPECT_EQ(pks("MATCH(doc, 'alpha') AND year = 2020"), (Keys{"b", "a"}));
  EXPECT_EQ(pks("year = 2021 AND MATCH(doc, 'alpha')"), Keys{"c"});
  EXPECT_EQ(pks("MATCH(doc, 'a b ?')"), Keys{});  // one-character words give no terms
  EXPECT_EQ(pks("MATCH(doc, 'delta')"), Keys{});
  // Every MATCH of the chain narrows, in the first one's order.
  EXPECT_EQ(pks("MATCH(doc, 'alpha') AND MATCH(doc, 'gamma')"), Keys{"c"});
  EXPECT_EQ(pks("MATCH(doc, 'beta') AND year > 0 AND MATCH(doc, 'alpha')"), (Keys{"b", "c"}));
  EXPECT_EQ(run("SELECT COUNT(*) FROM docs WHERE MATCH(doc, 'alpha') AND MATCH(doc, 'beta')").value(),
            (SqlResult{SqlResult::Rows{{"2"}}}));
}

TEST_F(FtsTest, MatchOutsideTheAndChainFails) {
  index("f", {"doc"});
  insert("a", R"({"t":"alpha","year":2020})");
  must(run("CREATE TABLE docs2 (pk TEXT PRIMARY KEY)"));
  const std::string placement = "MATCH() is only supported in the WHERE clause of a table query, joined by AND";
  for (std::string_view sql : {
           "SELECT pk FROM docs WHERE year = 2020 OR MATCH(doc, 'alpha')",
           "SELECT pk FROM docs WHERE NOT MATCH(doc, 'alpha')",
           "SELECT pk FROM docs WHERE MATCH(doc, 'alpha') AND (year = 1 OR MATCH(doc, 'x'))",
           "SELECT MATCH(doc, 'alpha') FROM docs",
           "WITH c AS (SELECT * FROM docs) SELECT pk FROM c WHERE MATCH(doc, 'alpha')",
           "SELECT pk FROM (SELECT * FROM docs) AS s WHERE MATCH(doc, 'alpha')",
           "SELECT docs.pk FROM docs JOIN docs2 ON docs.pk = docs2.pk WHERE MATCH(doc, 'alpha')",
       }) {
    expect_error(sql, placement);
  }
  EXPECT_EQ(error("SELECT pk FROM docs WHERE MATCH(doc)"), "sql execution error: MATCH() requires exactly 2 arguments: MATCH(column, 'query')");
  EXPECT_EQ(error("SELECT pk FROM docs WHERE MATCH('doc', 'x')"), "sql execution error: MATCH() first argument must be a column name");
  EXPECT_EQ(error("SELECT pk FROM docs WHERE MATCH(doc, x)"), "sql execution error: MATCH() second argument must be a string literal");
}

TEST_F(FtsTest, UpdateIsReflectedInMatch) {
  index("f", {"t"});
  insert("a", R"({"t":"alpha beta"})");
  insert("b", R"({"t":"alpha"})");
  must(run("UPDATE docs SET t = 'gamma' WHERE pk = 'a'"));
  // The lists still name a, but its document no longer holds alpha; the new term is found.
  EXPECT_EQ(list("alpha"), (Keys{"a", "b"}));
  EXPECT_EQ(pks("MATCH(doc, 'alpha')"), Keys{"b"});
  EXPECT_EQ(pks("MATCH(doc, 'gamma')"), Keys{"a"});
  must(run("DELETE FROM docs WHERE pk = 'b'"));
  EXPECT_EQ(pks("MATCH(doc, 'alpha')"), Keys{});
}

// The listed rows are read as the query reads any row: at its AS OF, and inside a transaction
// with its staged writes, whose documents are checked in turn.
TEST_F(FtsTest, MatchChecksTheDocumentsTheQueryReads) {
  index("f", {"t"});
  insert("a", R"({"t":"alpha"})");
  insert("b", R"({"t":"alpha beta"})");
  const std::uint64_t held = put_row("docs", "a", R"({"t":"alpha again"})");
  put_row("docs", "a", R"({"t":"gamma"})");
  EXPECT_EQ(pks("MATCH(doc, 'alpha')"), Keys{"b"});
  // (Timestamps are per shard: only a's row is asked for at a's.)
  EXPECT_EQ(pks("MATCH(doc, 'alpha') AND pk = 'a' AS OF " + std::to_string(held)), Keys{"a"});
  put_row("docs", "a", R"({"t":"alpha"})");
  must(run("BEGIN"));
  must(run("UPDATE docs SET t = 'delta' WHERE pk = 'b'"));
  EXPECT_EQ(pks("MATCH(doc, 'alpha')"), Keys{"a"});
  must(run("DELETE FROM docs WHERE pk = 'a'"));
  EXPECT_EQ(pks("MATCH(doc, 'alpha')"), Keys{});
  must(run("ROLLBACK"));
  EXPECT_EQ(pks("MATCH(doc, 'alpha')"), (Keys{"a", "b"}));
}

// A script lists a table's index definitions once, until it writes a definition or ends a
// transaction: each INSERT is indexed by the definitions committed when it runs.
TEST_F(FtsTest, InsertsFollowTheDefinitionsAScriptChanges) {
  must(execute_sql(*db, "INSERT INTO docs (pk, doc) VALUES ('a', '{\"t\":\"alpha\"}');"
                        "CREATE FULLTEXT INDEX f ON docs (doc);"
                        "INSERT INTO docs (pk, doc) VALUES ('b', '{\"t\":\"alpha\"}');"
                        "BEGIN; DROP FULLTEXT INDEX f ON docs;"
                        "INSERT INTO docs (pk, doc) VALUES ('c', '{\"t\":\"alpha\"}'); COMMIT;"
                        "INSERT INTO docs (pk, doc) VALUES ('d', '{\"t\":\"alpha\"}')"));
  EXPECT_EQ(list("alpha"), (Keys{"a", "b", "c"}));
  must(execute_sql(*db, "INSERT INTO docs (pk, doc) VALUES ('x', '{\"t\":\"gamma\"}');"
                        "CREATE FULLTEXT INDEX g ON docs (doc);"
                        "INSERT INTO docs (pk, doc) VALUES ('e', '{\"t\":\"beta\"}')"));
  EXPECT_EQ(list("beta"), Keys{"e"});
}

// A view selects its one row; MATCH over it narrows that row, never the table's others.
TEST_F(FtsTest, MatchOverAViewKeepsOnlyTheViewsRows) {
  index("f", {"title"});
  insert("5", R"({"title":"viewed five"})");
  insert("6", R"({"title":"viewed six"})");
  must(run("CREATE VIEW v AS SELECT doc FROM docs WHERE pk = '5'"));
  create_view("whole", "SELECT doc FROM docs");  // a stored view over every row
  const auto view_pks = [&](std::string_view sql) {
    Keys out;
    for (const std::string& row : rows(sql)) out.push_back(nlohmann::json::parse(row).at("pk").get<std::string>());
    return out;
  };
  EXPECT_EQ(view_pks("SELECT pk FROM v WHERE MATCH(title, 'viewed')"), Keys{"5"});
  EXPECT_EQ(view_pks("SELECT pk FROM v WHERE MATCH(title, 'six')"), Keys{});
  EXPECT_EQ(view_pks("SELECT pk FROM v WHERE MATCH(title, 'viewed') AND pk = '6'"), Keys{});
  EXPECT_EQ(rows("SELECT count(*) FROM v WHERE MATCH(title, 'viewed')"), Keys{"1"});
  EXPECT_EQ(view_pks("SELECT pk FROM whole WHERE MATCH(title, 'viewed')"), (Keys{"5", "6"}));
}

// With every definition dropped the lists stay, and the rows they name are checked against the
// whole document's text.
TEST_F(FtsTest, MatchWithoutDefinitionsChecksTheWholeDocument) {
  must(run("CREATE FULLTEXT INDEX f ON docs (doc)"));
  insert("a", R"({"title":"alpha"})");
  insert("b", R"({"title":"alpha"})");
  must(run("DROP FULLTEXT INDEX f ON docs"));
  must(run("UPDATE docs SET title = 'beta' WHERE pk = 'a'"));
  EXPECT_EQ(pks("MATCH(title, 'alpha')"), Keys{"b"});
  must(run("UPDATE docs SET note = 'alpha again' WHERE pk = 'a'"));  // any member of the document counts
  EXPECT_EQ(pks("MATCH(title, 'alpha')"), (Keys{"a", "b"}));
  put_row("docs", "b", "not json: alpha");  // a document that is not JSON is read as its text
  EXPECT_EQ(pks("MATCH(title, 'alpha')"), (Keys{"a", "b"}));
  put_row("docs", "b", "not json");
  EXPECT_EQ(pks("MATCH(title, 'alpha')"), Keys{"a"});
}

TEST_F(FtsTest, TransactionsStageTheListsAndMatchReadsCommittedOnes) {
  index("f", {"doc"});
  insert("a", R"({"t":"shared"})");
  must(run("BEGIN"));
  insert("b", R"({"t":"shared"})");
  insert("c", R"({"t":"shared"})");
  EXPECT_EQ(pks("MATCH(doc, 'shared')"), Keys{"a"});
  must(run("COMMIT"));
  EXPECT_EQ(list("shar"), (Keys{"a", "b", "c"}));  // "shared" stems to "shar"
  EXPECT_EQ(pks("MATCH(doc, 'shared')"), (Keys{"a", "b", "c"}));
}

TEST_F(FtsTest, CorruptListFailsMatchAndIsResetByTheNextWrite) {
  index("f", {"doc"});
  insert("a", R"({"t":"word"})");
  must(db->put(rel::posting_key("docs", "word"), "[oops", 0, kMax));
  Result<SqlResult> r = run("SELECT pk FROM docs WHERE MATCH(doc, 'word')");
  ASSERT_FALSE(r);
  EXPECT_EQ(r.error().kind(), ErrorKind::SqlExecution);
  insert("b", R"({"t":"word"})");
  EXPECT_EQ(list("word"), Keys{"b"});
}

class TimeseriesTest : public ExecFixture {
 protected:
  void SetUp() override {
    ExecFixture::SetUp();
    must(run("CREATE TIMESERIES TABLE m (id TEXT PRIMARY KEY, ts DOUBLE, temp DOUBLE, hum DOUBLE)"));
    meta = rel::parse_timeseries_metadata(*live(rel::timeseries_meta_key("m"))).value();
  }
  void set_meta() { put_catalog(rel::timeseries_meta_key("m"), must(rel::encode_timeseries_metadata(meta))); }
  Result<SqlResult> insert(std::string_view id, std::string_view ts, std::string_view temp) {
    return run("INSERT INTO m (id, ts, temp) VALUES ('" + std::string(id) + "', " + std::string(ts) + ", " +
               std::string(temp) + ")");
  }
  std::vector<facet::timeseries::DataPoint> points(std::string_view column, std::uint64_t bucket) {
    std::optional<std::string> bytes = live(rel::bucket_key("m", column, bucket));
    return bytes ? facet::timeseries::Bucket::decode(*bytes).value().points
                 : std::vector<facet::timeseries::DataPoint>{};
  }
  rel::TimeseriesMetadata meta;
};

TEST_F(TimeseriesTest, AppendsEachRowsPointsToItsBucket) {
  ASSERT_EQ(meta.bucket_seconds, 3600u);
  ASSERT_EQ(meta.value_columns, (Keys{"temp", "hum"}));
  must(insert("a", "7200", "21"));
  must(insert("b", "7200", "22.5"));
  must(insert("c", "7199.9", "1"));   // truncated to 7199: bucket 1
  must(insert("d", "-5", "2"));       // saturated to 0
  must(insert("e", "'7200'", "3"));   // a text timestamp writes no point
  must(insert("f", "9007199254740993", "4"));  // rounded to the nearest double first
  using P = facet::timeseries::DataPoint;
  EXPECT_EQ(points("temp", 2), (std::vector<P>{{7200, 21.0}, {7200, 22.5}}));
  EXPECT_EQ(*live("__ts/m/temp/0000000000000002"), R"({"points":[{"timestamp":7200,"value":21.0},{"timestamp":7200,"value":22.5}]})");
  EXPECT_EQ(points("temp", 1), (std::vector<P>{{7199, 1.0}}));
  EXPECT_EQ(points("temp", 0), (std::vector<P>{{0, 2.0}}));
  EXPECT_EQ(points("temp", 9007199254740992 / 3600), (std::vector<P>{{9007199254740992, 4.0}}));
  EXPECT_EQ(scan("__ts/m/hum/").size(), 0u);  // no row holds hum
  EXPECT_EQ(scan("__ts/m/").size(), 4u);
  EXPECT_TRUE(live(rel::row_key("m", "e")));  // the row itself is stored
}

TEST_F(TimeseriesTest, TwoRowsInOneTransactionShareTheStagedBucket) {
  must(run("BEGIN"));
  must(insert("a", "10", "1"));
  must(insert("b", "20", "2"));
  EXPECT_EQ(db->get(rel::bucket_key("m", "temp", 0)).value(), std::nullopt);
  must(run("COMMIT"));
  EXPECT_EQ(points("temp", 0).size(), 2u);
}

TEST_F(TimeseriesTest, InsertReturningStagesItsPointsInATransaction) {
  must(run("BEGIN"));
  const SqlResult r = must(run("INSERT INTO m (id, ts, temp) VALUES ('a', 7200, 21) RETURNING temp"));
  EXPECT_EQ(std::get<SqlResult::Rows>(r.value).rows, std::vector<std::string>{R"({"temp":21.0})"});
  EXPECT_EQ(db->get(rel::bucket_key("m", "temp", 2)).value(), std::nullopt);
  must(run("COMMIT"));
  EXPECT_EQ(points("temp", 2), (std::vector<facet::timeseries::DataPoint>{{7200, 21.0}}));
}

// A session keeps what its row writes read of a table's catalog only until it changes the
// catalog, also by staging: a plain table dropped and made again as a time-series table is written
// as one.
TEST_F(TimeseriesTest, RowWritesFollowTheCatalogTheSessionChanges) {
  for (std::string_view table : {"p", "q"}) {
    const bool staged = table == "q";
    const std::string t(table);
    if (staged) must(run("BEGIN"));
    must(run("CREATE TABLE " + t + " (id TEXT PRIMARY KEY, ts DOUBLE, temp DOUBLE)"));
    must(run("INSERT INTO " + t + " (id, ts, temp) VALUES ('a', 10, 1)"));
    must(run("DROP TABLE " + t));
    must(run("CREATE TIMESERIES TABLE " + t + " (id TEXT PRIMARY KEY, ts DOUBLE, temp DOUBLE)"));
    must(run("INSERT INTO " + t + " (id, ts, temp) VALUES ('b', 20, 2)"));
    if (staged) must(run("COMMIT"));
    EXPECT_EQ(live(rel::bucket_key(table, "temp", 0)), R"({"points":[{"timestamp":20,"value":2.0}]})") << table;
  }
}

TEST_F(TimeseriesTest, BadBucketsAndMetadataFailTheInsert) {
  must(db->put(rel::bucket_key("m", "temp", 0), R"({"pts":[]})", 0, kMax));
  Result<SqlResult> r = insert("a", "10", "1");
  ASSERT_FALSE(r);
  EXPECT_EQ(r.error(), QuenlorError::sql_execution("missing field `points`"));
  EXPECT_TRUE(live(rel::row_key("m", "a")));  // the row's own write stays

  meta.bucket_seconds = 0;
  set_meta();
  EXPECT_EQ(insert("b", "10", "1").error(),
            QuenlorError::sql_execution("invalid timeseries metadata: bucket_seconds must be at least 1"));
  put_catalog(rel::timeseries_meta_key("m"), "{}");
  EXPECT_EQ(insert("c", "10", "1").error(),
            QuenlorError::sql_execution("invalid timeseries metadata: missing field `table`"));

  meta.bucket_seconds = 60;
  meta.value_columns = {};
  set_meta();
  must(insert("d", "7200", "1"));
  EXPECT_EQ(points("temp", 120).size(), 0u);
}

}  // namespace
}  // namespace quenlordb::sql::exec::testing
