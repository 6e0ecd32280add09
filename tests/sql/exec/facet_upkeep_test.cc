// The full-text and time-series upkeep of written rows, and MATCH in a table query's WHERE.
#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include <nlohmann/json.hpp>

#include "config.h"
#include "facet/fts/analysis.h"
#include "facet/fts/postings.h"
#include "facet/relational/keys.h"
#include "facet/relational/records.h"
#include "facet/timeseries/bucket.h"
#include "sql/exec/exec_fixture.h"
#include "sql/exec/facet_upkeep.h"
#include "sql/exec/literals.h"
#include "sql/parser/text.h"
#include "support/fault_hook.h"
#include "util/file.h"
#include "util/json_document.h"
#include "util/utf8.h"

namespace quenlordb::sql::exec::testing {
namespace {

namespace rel = facet::relational;
using Keys = std::vector<std::string>;

// The text an index over columns reads from a document, as the tree of the document gives it.
std::string tree_text(std::string_view doc, const Keys& columns) {
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
}

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
  // The commit timestamp of the key's newest version.
  std::uint64_t version(std::string_view key) {
    const engine::PrefixScanRows rows = must(db->scan_prefix(key));
    EXPECT_EQ(rows.size(), 1u) << key;
    return rows.size() == 1 ? rows[0].commit_ts : 0;
  }
  Keys pks(std::string_view where) {
    Result<SqlResult> r = run("SELECT pk FROM docs WHERE " + std::string(where));
    if (!r) {
      ADD_FAILURE() << where << ": " << r.error().to_string();
      return {};
    }
    Keys out;
    for (const std::string_view row : std::get<SqlResult::Rows>(r->value).rows) {
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
  // A definition staged in a transaction indexes the rows inserted after it in the same one.
  must(run("BEGIN"));
  must(run("CREATE FULLTEXT INDEX g ON docs (doc)"));
  insert("c", R"({"t":"gamma"})");
  must(run("COMMIT"));
  EXPECT_EQ(list("gamma"), Keys{"c"});
  EXPECT_EQ(pks("MATCH(doc, 'gamma')"), Keys{"c"});

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
  must(write_gathered_upkeep(*db, session));
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
  must(write_gathered_upkeep(*db, session));
  for (const eval::VisibleRow& row : ascending) {
    for (const Keys& columns : indexes) must(index_row_for_fts(*db, session, "one_by_one", row.pk, row.doc, columns));
  }
  for (const std::string& word : words) {
    const std::string term = facet::fts::stem(word);
    EXPECT_EQ(live(rel::posting_key("together", term)), live(rel::posting_key("one_by_one", term))) << term;
  }
}

// The check of a matched row against tokenising the text the tree gives, over documents whose
// strings hold their words in either case, with suffixes, punctuation and letters beyond ASCII,
// written with every kind of JSON escape (\n between words, \" and \\ inside them, \u for
// letters, surrogate pairs, a Kelvin sign that lowers to k), and documents that are not JSON.
TEST_F(FtsTest, RowsHoldTermsAsTheirTokenisedTextDoes) {
  const std::vector<std::string> words = {"Fix", "fixes", "prefix", "f\\\"ix", "fix\\\\", "runNING", "caf\\u00e9",
                                          "caf\u00e9", "\\u212aings", "kings", "t\\u006F", "to", "\\ud83d\\ude00",
                                          "na\\u00efve", "42", "\\/fix", "fix\\b", "x", "\u00a0"};
  const std::vector<std::string> gaps = {" ", "\\n", "\\t", "\\r\\n", "\\f", " - ", "\\u00a0", "\\u3000", ""};
  const std::vector<std::string> extra_terms = {"fix", "king", "runn", "to", "caf\u00e9", "absent", "42"};
  const std::vector<std::vector<Keys>> index_lists = {{{"body"}}, {{"title"}, {"body"}}, {{"doc"}}, {{"body", "n"}}};
  std::mt19937_64 rng(140);
  auto text = [&] {
    std::string out;
    for (std::size_t n = rng() % 8; n > 0; --n) out += words[rng() % words.size()] + gaps[rng() % gaps.size()];
    return out;
  };
  for (int round = 0; round < 3000; ++round) {
    std::string doc = "{\"body\":\"" + text() + "\",\"n\":" + std::to_string(rng() % 100) + ",\"title\":\"" +
                      text() + "\"}";
    if (round % 10 == 0) doc.insert(rng() % doc.size(), 1, '{');  // mostly not JSON any more
    const std::vector<Keys>& indexes = index_lists[rng() % index_lists.size()];
    std::vector<Keys> yielded;
    for (const Keys& columns : indexes) yielded.push_back(facet::fts::query_terms(tree_text(doc, columns)));
    Keys terms;
    for (std::size_t n = 1 + rng() % 2; n > 0; --n) {
      const Keys& from = yielded[rng() % yielded.size()];
      const bool from_text = !from.empty() && rng() % 3 != 0;
      terms.push_back(from_text ? from[rng() % from.size()] : extra_terms[rng() % extra_terms.size()]);
    }
    bool want = true;
    for (const std::string& term : terms) {
      want = want && std::any_of(yielded.begin(), yielded.end(), [&](const Keys& ts) {
               return std::find(ts.begin(), ts.end(), term) != ts.end();
             });
    }
    EXPECT_EQ(document_holds_terms(doc, indexes, terms), want) << doc << " " << ::testing::PrintToString(terms);
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

// An UPDATE adds its row to the lists only when an index reads another text from the new document
// than from the version the UPDATE read, which was indexed when it was written. So a row written by
// put, which no upkeep sees, stays unindexed until an UPDATE changes its indexed text.
TEST_F(FtsTest, UpdateIndexesTheRowOnlyWhenItsIndexedTextChanges) {
  index("f", {"t"});
  insert("a", R"({"n":1,"t":"alpha"})");
  put_row("docs", "p", R"({"n":1,"t":"alpha"})");
  const auto lists = [&] {
    std::vector<std::pair<std::string, std::uint64_t>> out;
    for (const engine::PrefixScanRow& row : must(db->scan_prefix("__fts/"))) out.emplace_back(row.key, row.commit_ts);
    return out;
  };
  const auto before = lists();
  must(run("UPDATE docs SET n = 2"));
  must(run("UPDATE docs SET t = 'alpha', n = 3 WHERE pk = 'p'"));
  EXPECT_EQ(lists(), before);
  EXPECT_EQ(pks("MATCH(doc, 'alpha')"), Keys{"a"});
  must(run("UPDATE docs SET t = 'beta alpha' WHERE pk = 'p'"));
  EXPECT_EQ(pks("MATCH(doc, 'alpha')"), (Keys{"a", "p"}));
  EXPECT_EQ(pks("MATCH(doc, 'beta')"), Keys{"p"});
}

// A version read AS OF an earlier time may never have been indexed (here it is older than the
// index, which indexed the row's later version): the row is indexed whatever its text.
TEST_F(FtsTest, UpdateAsOfIndexesTheRowAgain) {
  insert("a", R"({"t":"alpha"})");
  const std::uint64_t old = version(rel::row_key("docs", "a"));
  insert("a", R"({"t":"beta"})");
  must(run("CREATE FULLTEXT INDEX f ON docs (doc)"));
  EXPECT_EQ(pks("MATCH(doc, 'alpha')"), Keys{});
  must(run("UPDATE docs SET t = 'alpha' WHERE pk = 'a' AS OF " + std::to_string(old)));
  EXPECT_EQ(pks("MATCH(doc, 'alpha')"), Keys{"a"});
}

// Whether a new version can add its row to a list is decided on the texts the indexes read, not
// on the documents' bytes.
TEST(FtsUpkeepAdds, ComparesTheTextsTheIndexesRead) {
  struct Case {
    const char* name;
    std::vector<Keys> indexes;
    std::optional<std::string_view> old_doc;
    std::string_view new_doc;
    bool adds;
  };
  const std::vector<Case> cases = {
      {"no version before", {{"t"}}, std::nullopt, R"({"t":"a"})", true},
      {"no index", {}, std::nullopt, R"({"t":"a"})", false},
      {"an unindexed member changed", {{"t"}}, R"({"n":1,"t":"a b"})", R"({"n":2,"t":"a b"})", false},
      {"the indexed member changed", {{"t"}}, R"({"t":"a b"})", R"({"t":"b a"})", true},
      {"a member of the second index changed", {{"t"}, {"u", "v"}}, R"({"t":"a","v":"x"})", R"({"t":"a","v":"y"})",
       true},
      {"the whole document, a member changed", {{"DOC"}}, R"({"n":1,"t":"a"})", R"({"n":2,"t":"a"})", true},
      {"the whole document, members reordered", {{"doc"}}, R"({"t":"a","u":"b"})", R"({"u":"b","t":"a"})", false},
      {"an escaped text read as written plainly", {{"t"}}, R"({"t":"say \"a\""})", R"({"t":"say \u0022a\u0022"})",
       false},
      {"an array read as the text of its leaves", {{"t"}}, R"({"t":["a","b"]})", R"({"t":"a b"})", false},
      {"null read as a missing member", {{"t"}}, R"({"n":1,"t":null})", R"({"n":1})", false},
      {"text that is not JSON read whole", {{"t"}}, "a b", R"({"t":"a b"})", false},
      {"text that is not JSON changed", {{"t"}}, "a b", "a b c", true},
      {"an object becoming an array", {{"t"}}, R"({"t":"a"})", R"(["a"])", true},
  };
  for (const Case& c : cases) EXPECT_EQ(fts_upkeep_adds(c.indexes, c.old_doc, c.new_doc), c.adds) << c.name;
}

// Random UPDATEs on one database; on the other, every version they write is written by an INSERT,
// whose upkeep always runs. The lists come out byte for byte the same, and so do MATCH's answers:
// UPDATEs of one row and of many, of indexed and unindexed members and of the whole document, to
// texts with escapes, arrays and documents that are not objects, inside transactions too.
TEST(UpdateUpkeep, ListsAsIfTheUpkeepAlwaysRan) {
  quenlordb::testing::TempDir dir;
  struct Side {
    std::unique_ptr<engine::Database> db;
    SqlSession session;
    Result<SqlResult> run(const std::string& sql) {
      Result<parser::Statement> stmt = parser::parse_sql(sql);
      if (!stmt) return fail(std::move(stmt.error()));
      Result<SqlResult> result = execute_stmt(*db, session, std::move(*stmt));
      if (auto written = write_gathered_upkeep(*db, session); result && !written) return fail(written.error());
      return result;
    }
    std::vector<LiveEntry> entries(std::string_view prefix) {
      return must(collect_visible_by_prefix(*db, session, prefix));
    }
  };
  const std::vector<std::string> words = {"alpha", "beta", "gamma", "delta", "epsilon", "zeta"};
  for (const std::vector<Keys>& indexes : {std::vector<Keys>{{"title"}, {"tags", "body"}}, std::vector<Keys>{{"doc"}}}) {
    Side updated{engine::testing::open_db(dir.file("u" + std::to_string(indexes.size())), engine::testing::test_config(2)), {}};
    Side inserted{engine::testing::open_db(dir.file("i" + std::to_string(indexes.size())), engine::testing::test_config(2)), {}};
    std::mt19937 rng(41);
    const auto pick = [&](std::size_t n) { return rng() % n; };
    // A few words, some behind a double quote (escaped in JSON).
    const auto text = [&] {
      std::string out = words[pick(words.size())];
      for (std::size_t i = pick(3); i > 0; --i) out += (pick(4) == 0 ? " \"" : " ") + words[pick(words.size())];
      return out;
    };
    const auto literal = [](std::string_view raw) { return "'" + escape_sql_literal(raw) + "'"; };
    const auto json = [](std::string_view raw) { return nlohmann::json(raw).dump(); };
    for (Side* side : {&updated, &inserted}) {
      must(side->run("CREATE TABLE t (pk TEXT PRIMARY KEY, body TEXT, n INTEGER, tags TEXT, title TEXT)"));
      for (std::size_t i = 0; i < indexes.size(); ++i) {
        std::string columns;
        for (const std::string& c : indexes[i]) columns += (columns.empty() ? "" : ", ") + c;
        must(side->run("CREATE FULLTEXT INDEX f" + std::to_string(i) + " ON t (" + columns + ")"));
      }
      // Half the rows in the writer's form (names in order, plain strings and integers), which an
      // UPDATE rewrites on the stored text; the others hold an array.
      for (int k = 0; k < 12; ++k) {
        const std::string tags = k % 2 ? "\"" + words[(k + 1) % 6] + "\"" : "[\"" + words[(k + 1) % 6] + "\"]";
        must(side->run("INSERT INTO t (pk, doc) VALUES ('k" + std::to_string(k) + "', '{\"body\":\"" + words[k % 6] +
                       "\",\"n\":" + std::to_string(k) + ",\"tags\":" + tags + ",\"title\":\"" +
                       words[(k + 2) % 6] + "\"}')"));
      }
    }
    // The rows the INSERTs mirror: what the updated side held after its last statement.
    std::vector<LiveEntry> mirrored = updated.entries("table/t/");
    for (int step = 0; step < 300; ++step) {
      const std::string k = "'k" + std::to_string(pick(12)) + "'";
      std::string sql;
      switch (pick(9)) {
        case 0: sql = "UPDATE t SET title = " + literal(text()) + " WHERE pk = " + k; break;
        case 1: sql = "UPDATE t SET body = " + literal(text()) + ", n = n + 1 WHERE pk = " + k; break;
        case 2: sql = "UPDATE t SET n = n + 1 WHERE pk = " + k; break;
        case 3: sql = "UPDATE t SET n = " + std::to_string(pick(5)) + " WHERE n > 6"; break;
        case 4: sql = "UPDATE t SET title = title WHERE pk = " + k; break;
        case 5: sql = "UPDATE t SET tags = body, body = tags WHERE pk = " + k; break;
        case 6: {
          const std::string docs[] = {"{\"title\":" + json(text()) + ",\"n\":1}", "[" + json(text()) + "]",
                                      json(text()), "{\"tags\":[" + json(text()) + ",7],\"z\":null}"};
          sql = "UPDATE t SET doc = " + literal(docs[pick(4)]) + " WHERE pk = " + k;
          break;
        }
        case 7: sql = "BEGIN"; break;
        default: sql = "COMMIT"; break;
      }
      const Result<SqlResult> answer = updated.run(sql);
      if (sql == "BEGIN" || sql == "COMMIT") {
        if (answer) must(inserted.run(sql));
        continue;
      }
      ASSERT_TRUE(answer) << sql << ": " << answer.error().to_string();
      std::vector<LiveEntry> now = updated.entries("table/t/");
      ASSERT_EQ(now.size(), mirrored.size());
      for (std::size_t i = 0; i < now.size(); ++i) {
        if (now[i].value == mirrored[i].value) continue;
        must(inserted.run("INSERT INTO t (pk, doc) VALUES (" + literal(now[i].key.substr(8)) + ", " +
                          literal(now[i].value) + ")"));
      }
      mirrored = std::move(now);
    }
    if (updated.session.in_transaction()) {
      must(updated.run("COMMIT"));
      must(inserted.run("COMMIT"));
    }
    EXPECT_EQ(updated.entries("__fts/"), inserted.entries("__fts/"));
    for (const std::string& word : words) {
      const std::string match = "SELECT pk FROM t WHERE MATCH(doc, '" + word + "')";
      EXPECT_EQ(must(updated.run(match)), must(inserted.run(match))) << word;
    }
  }
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

// A script lists a table's index definitions once, until it writes or stages a definition or ends a
// transaction: each INSERT is indexed by the definitions as the script sees them when it runs.
TEST_F(FtsTest, InsertsFollowTheDefinitionsAScriptChanges) {
  must(execute_sql(*db, "INSERT INTO docs (pk, doc) VALUES ('a', '{\"t\":\"alpha\"}');"
                        "CREATE FULLTEXT INDEX f ON docs (doc);"
                        "INSERT INTO docs (pk, doc) VALUES ('b', '{\"t\":\"alpha\"}');"
                        "BEGIN; DROP FULLTEXT INDEX f ON docs;"
                        "INSERT INTO docs (pk, doc) VALUES ('c', '{\"t\":\"alpha\"}'); COMMIT;"
                        "INSERT INTO docs (pk, doc) VALUES ('d', '{\"t\":\"alpha\"}')"));
  EXPECT_EQ(list("alpha"), (Keys{"a", "b"}));  // c followed the drop staged before it
  must(execute_sql(*db, "INSERT INTO docs (pk, doc) VALUES ('x', '{\"t\":\"gamma\"}');"
                        "CREATE FULLTEXT INDEX g ON docs (doc);"
                        "INSERT INTO docs (pk, doc) VALUES ('e', '{\"t\":\"beta\"}')"));
  EXPECT_EQ(list("beta"), Keys{"e"});
}

// Between calls, each in a session of its own, a thread remembers a table's definitions while no
// shard commits anything but its own writes outside them: any other change is seen by the next
// call. The row written after the change goes to the shard the change wrote to, so that taking the
// row's own write for the only one there would keep the old definitions.
TEST_F(FtsTest, CallsFollowDefinitionsChangedBetweenThem) {
  enum class Put { None, Definition, Tombstone };
  struct Case {
    const char* name;
    bool indexed_before;  // whether definition f over t exists before the change
    std::string change;   // the statements of one call between the two writes
    bool other_thread;    // whether another thread makes that call
    Put put;              // a put of definition g, or of a tombstone over f, between the two writes
    std::string write;    // the statement writing the text alpha into row {r} (first into row w)
    std::string staged;   // when not empty, the row {r} is written after it, in one transaction
    bool listed;          // whether row {r} is then in the list of alpha
  };
  const std::string insert = "INSERT INTO {t} (pk, doc) VALUES ('{r}', '{\"t\":\"alpha\"}')";
  const std::string update = "UPDATE {t} SET t = 'alpha' WHERE pk = '{r}'";
  const std::vector<Case> cases = {
      {"CREATE FULLTEXT INDEX", false, "CREATE FULLTEXT INDEX g ON {t} (t)", false, Put::None, insert, "", true},
      {"DROP FULLTEXT INDEX", true, "DROP FULLTEXT INDEX f ON {t}", false, Put::None, update, "", false},
      {"a put of a definition", false, "", false, Put::Definition, update, "", true},
      {"a put of a tombstone", true, "", false, Put::Tombstone, insert, "", false},
      {"DROP TABLE and CREATE TABLE, which leave the definitions", true,
       "DROP TABLE {t}; CREATE TABLE {t} (id TEXT PRIMARY KEY, t TEXT)", false, Put::None, insert, "", true},
      {"another thread's CREATE FULLTEXT INDEX", false, "CREATE FULLTEXT INDEX g ON {t} (t)", true, Put::None, update,
       "", true},
      {"another thread's DROP FULLTEXT INDEX", true, "DROP FULLTEXT INDEX f ON {t}", true, Put::None, insert, "", false},
      {"a definition staged before the row", false, "", false, Put::None, update, "CREATE FULLTEXT INDEX g ON {t} (t)",
       true},
      {"a drop staged before the row", true, "", false, Put::None, insert, "DROP FULLTEXT INDEX f ON {t}", false},
  };
  int n = 0;
  for (const Case& c : cases) {
    const std::string t = "t" + std::to_string(n++);
    // The key the change writes: the definition's, or (DROP TABLE) the schema's.
    const std::string changed = c.change.starts_with("DROP TABLE") ? rel::schema_key(t)
                                : c.indexed_before                 ? rel::fts_index_meta_key(t, "f")
                                                                   : rel::fts_index_meta_key(t, "g");
    std::string r = "r";
    while (db->shard_of_key(rel::row_key(t, r)) != db->shard_of_key(changed)) r += "r";
    const auto sql = [&](std::string script, std::string_view row) {
      for (auto [from, to] : {std::pair<std::string_view, std::string_view>{"{t}", t}, {"{r}", row}}) {
        for (std::size_t at; (at = script.find(from)) != std::string::npos;) script.replace(at, from.size(), to);
      }
      must(execute_sql(*db, script));
    };
    sql("CREATE TABLE {t} (id TEXT PRIMARY KEY, t TEXT)", r);
    if (c.indexed_before) sql("CREATE FULLTEXT INDEX f ON {t} (t)", r);
    for (std::string_view row : {std::string_view("w"), std::string_view(r)}) {
      sql("INSERT INTO {t} (pk, doc) VALUES ('{r}', '{\"t\":\"beta\"}')", row);
    }
    sql(c.write, "w");  // the definitions this thread then remembers
    if (c.other_thread) {
      std::thread([&] { sql(c.change, r); }).join();
    } else if (!c.change.empty()) {
      sql(c.change, r);
    }
    if (c.put == Put::Definition) {
      must(db->put(changed, must(rel::encode_fts_index_metadata({"g", t, {"t"}})), 0, kMax, 1));
    } else if (c.put == Put::Tombstone) {
      must(db->put(changed, "", 0, kMax, 1));
    }
    sql(c.staged.empty() ? c.write : "BEGIN; " + c.staged + "; " + c.write + "; COMMIT", r);
    const std::optional<std::string> list = live(rel::posting_key(t, "alpha"));
    const Keys listed = list ? must(facet::fts::decode_posting_list(*list)) : Keys{};
    EXPECT_EQ(std::ranges::find(listed, r) != listed.end(), c.listed) << c.name;
  }
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

// MATCH over rows in table files and in the memtable, read on the calling thread and on threads,
// with and without a block cache (kept documents then lie in blocks the rows hold, or in copies):
// the rows are those of the list, in its order, that are there and whose text yields every term
// as the tree gives it, with their documents as stored; the rest of the WHERE applies to them.
TEST_F(FtsTest, MatchReadsTheListedRowsWhereverTheyLie) {
  const std::vector<std::string> words = {"Fix", "fixes", "prefix", "crash", "Crashed", "t\\u006f", "To", "the",
                                          "caf\\u00e9", "memory", "\\\"memory\\\""};
  auto sql_text = [](std::string_view text) {
    std::string out = "'";
    for (const char c : text) {
      if (c == '\\' || c == '\'') out.push_back('\\');
      out.push_back(c);
    }
    return out + "'";
  };
  for (const std::uint64_t cache_bytes : {Config().block_cache_bytes, std::uint64_t{0}}) {
    SCOPED_TRACE("block cache " + std::to_string(cache_bytes));
    Config c = engine::testing::test_config(2);
    c.memtable_max_bytes = 16 << 10;
    c.sstable_block_bytes = 1024;
    c.block_cache_bytes = cache_bytes;
    db = engine::testing::open_db(dir.file("files" + std::to_string(cache_bytes)), c);
    session.forget_metadata();
    must(run("CREATE TABLE docs (pk TEXT PRIMARY KEY)"));
    index("f", {"body"});
    std::mt19937_64 rng(141);
    std::string script = "BEGIN;";
    for (int i = 0; i < 1200; ++i) {
      std::string body;
      for (std::size_t n = 1 + rng() % 6; n > 0; --n) body += words[rng() % words.size()] + (rng() % 3 ? " " : "\\n");
      script += "INSERT INTO docs (pk, doc) VALUES ('r" + std::to_string(1000 + (i * 7919) % 1200) + "', " +
                sql_text("{\"body\":\"" + body + "\",\"n\":" + std::to_string(i % 10) + "}") + ");";
    }
    must(execute_sql(*db, script + "COMMIT;"));
    // Rows that lose their words, are deleted, or are no JSON any more, some after the last flush.
    must(run("UPDATE docs SET body = 'none' WHERE n = 3"));
    must(run("DELETE FROM docs WHERE n = 4"));
    put_row("docs", "r1005", "crash fix, not JSON");
    ASSERT_GT(must(db->stats()).flushes, 2u);
    const auto check_queries = [&] {
      for (const std::string query : {"fix", "crash memory", "to", "caf\u00e9 the"}) {
        Keys want_pks;
        std::vector<std::string> want_rows;
        const Keys terms = facet::fts::query_terms(query);
        const std::optional<std::string> listed = must(db->get(rel::posting_key("docs", terms[0])));
        for (const std::string& pk : must(facet::fts::decode_posting_list(listed.value_or("[]")))) {
          const std::optional<std::string> doc = live(rel::row_key("docs", pk));
          if (!doc || doc->empty()) continue;
          const Keys yielded = facet::fts::query_terms(tree_text(*doc, {"body"}));
          if (!std::all_of(terms.begin(), terms.end(), [&](const std::string& term) {
                return std::find(yielded.begin(), yielded.end(), term) != yielded.end();
              })) {
            continue;
          }
          want_pks.push_back(pk);
          for (std::string& row : rows("SELECT pk, doc FROM docs WHERE pk = '" + pk + "'")) {
            want_rows.push_back(std::move(row));
          }
        }
        EXPECT_GT(want_pks.size(), 10u) << query;
        const std::string match = "MATCH(body, '" + query + "')";
        EXPECT_EQ(pks(match), want_pks) << query;
        EXPECT_EQ(rows("SELECT pk, doc FROM docs WHERE " + match), want_rows) << query;
        Keys low;
        for (const std::string& pk : want_pks) {
          const std::optional<std::string> doc = live(rel::row_key("docs", pk));
          const Result<nlohmann::json> tree = util::parse_json_document(*doc);
          if (tree && tree->is_object() && tree->contains("n") && (*tree)["n"].get<double>() < 5) low.push_back(pk);
        }
        EXPECT_EQ(pks(match + " AND n < 5"), low) << query;
        EXPECT_EQ(rows("SELECT count(*) FROM docs WHERE " + match), Keys{std::to_string(want_pks.size())}) << query;
      }
    };
    for (const engine::BatchReadThreads threads : {engine::BatchReadThreads{0, 0}, engine::BatchReadThreads{8, 16}}) {
      SCOPED_TRACE("threads " + std::to_string(threads.max_threads));
      engine::set_batch_read_threads(threads);
      check_queries();
      // Inside a transaction the staged writes of rows stand in for their reads.
      must(run("BEGIN"));
      must(run("UPDATE docs SET body = 'none' WHERE n = 5"));
      must(run("DELETE FROM docs WHERE n = 6"));
      must(run("INSERT INTO docs (pk, doc) VALUES ('r1007', '{\"body\":\"fix to the crash memory caf\u00e9\"}')"));
      check_queries();
      must(run("ROLLBACK"));
      engine::set_batch_read_threads(std::nullopt);
    }
  }
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

// CREATE FULLTEXT INDEX writes its definition after the lists of the rows already there: a failure
// (or a crash) between the two leaves no index whose rows are unlisted.
TEST_F(FtsTest, IndexDefinitionIsWrittenAfterTheListsOfExistingRows) {
  insert("a", R"({"t":"red car"})");
  insert("b", R"({"t":"red"})");
  using quenlordb::testing::FaultRule;
  for (int failing = 1; failing <= 3; ++failing) {
    SCOPED_TRACE(failing);
    const std::string name = "f" + std::to_string(failing);
    Result<SqlResult> r = [&] {
      quenlordb::testing::ScopedFaultHook hook(
          {FaultRule({util::FileOp::Write, util::FaultPhase::Before, ".wal"}, failing, FaultRule::Action::Fail, EIO)});
      return run("CREATE FULLTEXT INDEX " + name + " ON docs (doc)");
    }();
    // The lists "red" and "car" come first (the second is written only by the first index), then
    // the definition.
    const bool defined = live(rel::fts_index_meta_key("docs", name)).has_value();
    EXPECT_EQ(static_cast<bool>(r), defined);
    if (defined) {
      EXPECT_TRUE(std::get<SqlResult::Affected>(r->value).commit_ts.has_value());
    }
    if (defined || failing > 1) {
      EXPECT_EQ(list("red"), (Keys{"a", "b"}));
    }
  }
  EXPECT_EQ(pks("MATCH(doc, 'car')"), Keys{"a"});
}

// A script writes each list and bucket its rows add to once, before the rows, and a transaction
// once at COMMIT, which counts the puts it applies (ROLLBACK those it would have applied). What a
// script gathered is written before a later statement reads the lists, and before its error.
TEST_F(FtsTest, ScriptsAndTransactionsWriteEachListOnce) {
  index("f", {"t"});
  must(run("CREATE TIMESERIES TABLE m (id TEXT PRIMARY KEY, ts DOUBLE, v DOUBLE)"));
  auto one_version = [&](std::string_view key) { return !must(db->get(key, version(key) - 1)); };
  must(execute_sql(*db, "INSERT INTO docs (pk, doc) VALUES ('a', '{\"t\":\"shared one\"}');"
                        "INSERT INTO docs (pk, doc) VALUES ('b', '{\"t\":\"shared two\"}');"
                        "INSERT INTO m (id, ts, v) VALUES ('1', 10, 1); INSERT INTO m (id, ts, v) VALUES ('2', 20, 2)"));
  EXPECT_EQ(list("shar"), (Keys{"a", "b"}));
  EXPECT_TRUE(one_version(rel::posting_key("docs", "shar")));
  EXPECT_TRUE(one_version(rel::bucket_key("m", "v", 0)));

  EXPECT_EQ(must(execute_sql(*db, "INSERT INTO docs (pk, doc) VALUES ('c', '{\"t\":\"shared\"}');"
                                  "SELECT pk FROM docs WHERE MATCH(doc, 'shared')")),
            (SqlResult{SqlResult::Rows{{R"({"pk":"a"})", R"({"pk":"b"})", R"({"pk":"c"})"}}}));
  EXPECT_FALSE(execute_sql(*db, "INSERT INTO docs (pk, doc) VALUES ('d', '{\"t\":\"late\"}');"
                                "INSERT INTO docs (pk, doc) VALUES ('e', 'oops')"));
  EXPECT_EQ(list("late"), Keys{"d"});

  // Three rows, two lists (one of them new) and a bucket; the timestamp is the last row's, put
  // after the lists and the bucket.
  const SqlResult commit = must(execute_sql(*db, "BEGIN; INSERT INTO docs (pk, doc) VALUES ('f', '{\"t\":\"shared\"}');"
                                                 "INSERT INTO docs (pk, doc) VALUES ('g', '{\"t\":\"fresh shared\"}');"
                                                 "INSERT INTO m (id, ts, v) VALUES ('3', 30, 3); COMMIT"));
  EXPECT_EQ(commit, affected(6, version(rel::row_key("m", "3")), "COMMIT (6 writes)"));
  EXPECT_TRUE(one_version(rel::posting_key("docs", "fresh")));
  EXPECT_EQ(must(execute_sql(*db, "BEGIN; INSERT INTO docs (pk, doc) VALUES ('h', '{\"t\":\"shared\"}');"
                                  "INSERT INTO docs (pk, doc) VALUES ('i', '{\"t\":\"shared\"}'); ROLLBACK")),
            affected(3, std::nullopt, "ROLLBACK (3 staged writes discarded)"));
  EXPECT_EQ(list("shar"), (Keys{"a", "b", "c", "f", "g"}));
}

// A list that already holds the row is not written again (its bytes would not change): after an
// UPDATE that leaves the text as it was, or an INSERT that overwrites a listed row. A list stored in
// another form is still written, compactly, as before.
TEST_F(FtsTest, ListsAlreadyHoldingTheRowAreNotWrittenAgain) {
  index("f", {"t"});
  insert("a", R"({"t":"alpha beta"})");
  insert("b", R"({"t":"alpha"})");
  must(db->put(rel::posting_key("docs", "beta"), R"([ "a" ])", 0, kMax));
  const std::uint64_t alpha = version(rel::posting_key("docs", "alpha"));
  must(run("UPDATE docs SET n = 1"));
  insert("a", R"({"t":"alpha beta","n":2})");
  EXPECT_EQ(version(rel::posting_key("docs", "alpha")), alpha);
  EXPECT_EQ(live(rel::posting_key("docs", "beta")), R"(["a"])");
  EXPECT_EQ(pks("MATCH(doc, 'alpha')"), (Keys{"a", "b"}));
}

// A term whose list key would be longer than a key may be is left out of the index: the row still
// writes, and a query for the term finds nothing. The longest key that fits is kept.
TEST_F(FtsTest, TermsTooLongForAKeyAreLeftOut) {
  index("f", {"t"});
  const std::string longest(kMaxKeyBytes - rel::posting_key("docs", "").size(), 'x');
  const std::string huge(100'000, 'y');
  for (const std::string& token : {longest, longest + "x", huge}) {
    must(run("INSERT INTO docs (pk, doc) VALUES ('" + std::to_string(token.size()) + "', '{\"t\":\"" + token +
             " short\"}')"));
  }
  must(run("CREATE FULLTEXT INDEX g ON docs (doc)"));  // the rows there are indexed alike
  const std::vector<LiveEntry> lists = scan("__fts/docs/");
  ASSERT_EQ(lists.size(), 2u);
  EXPECT_EQ(lists[0].key, "__fts/docs/short");
  EXPECT_EQ(lists[1].key.size(), kMaxKeyBytes);
  EXPECT_EQ(pks("MATCH(doc, '" + huge + "')"), Keys{});
  EXPECT_EQ(pks("MATCH(doc, '" + longest + "x')"), Keys{});
  EXPECT_EQ(pks("MATCH(doc, '" + longest + "')"), Keys{std::to_string(longest.size())});
  EXPECT_EQ(pks("MATCH(doc, 'short')").size(), 3u);
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
  EXPECT_FALSE(live(rel::row_key("m", "a")));  // the row is written after its buckets: not at all

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


// Random scripts run on two databases, one whose sessions gather the upkeep and one whose sessions
// write each row's lists and buckets as the row is written: inserts, overwrites and updates of rows
// under several indexes and columns, points in several buckets and columns, COPY FROM and CREATE
// TABLE AS, MATCH between writes, transactions committed, rolled back and left open, and
// statements failing part-way (also on a broken bucket). Every script answers the same (but for
// the write counts of COMMIT and ROLLBACK), and afterwards both hold the same keys with the same
// bytes.
class GatheredUpkeepTest : public ::testing::Test {
 protected:
  using Mode = SqlSession::UpkeepMode;

  static std::string normalized(const Result<SqlResult>& r) {
    if (!r) return "error " + r.error().to_string();
    if (const auto* a = std::get_if<SqlResult::Affected>(&r->value)) {
      std::string message = a->message;
      if (message.starts_with("COMMIT") || message.starts_with("ROLLBACK")) return message.substr(0, 6);
      return std::to_string(a->rows) + (a->commit_ts ? " ts " : " ") + message;
    }
    if (const auto* rows = std::get_if<SqlResult::Rows>(&r->value)) {
      std::string out = "rows";
      for (const std::string_view row : rows->rows) (out += " ") += row;
      return out;
    }
    return "explain";
  }

  struct Side {
    std::unique_ptr<engine::Database> db;
    Mode mode;
    std::string run(const std::string& script) {
      SqlSession session;
      session.set_upkeep_mode(mode);
      return normalized(execute_sql(*db, script, session));
    }
    std::vector<std::pair<std::string, std::string>> dump() {
      std::vector<std::pair<std::string, std::string>> out;
      for (const engine::PrefixScanRow& row : must(db->scan_prefix(""))) out.emplace_back(row.key, row.doc);
      return out;
    }
  };

  quenlordb::testing::TempDir dir;
};

TEST_F(GatheredUpkeepTest, LeavesTheListsAndBucketsOfRowAtATimeUpkeep) {
  Side gathered{engine::testing::open_db(dir.file("gathered"), engine::testing::test_config(2)), Mode::Gathered};
  Side reference{engine::testing::open_db(dir.file("reference"), engine::testing::test_config(2)), Mode::RowAtATime};
  Side* sides[] = {&gathered, &reference};

  const std::string docs_file = dir.file("docs.ndjson"), t_file = dir.file("t.csv");
  {
    std::ofstream(docs_file) << "{\"pk\":\"k1\",\"doc\":{\"title\":\"red car\",\"body\":\"fast\"}}\n"
                                "{\"pk\":\"n1\",\"doc\":{\"title\":\"new words\"}}\n"
                                "{\"pk\":\"k1\",\"doc\":{\"title\":\"blue\",\"n\":3.25}}\n";
    std::ofstream(t_file) << "id,title,body\n9,red,slow cars\n3,blue,\n";
  }
  const std::string setup =
      "CREATE TABLE docs (pk TEXT PRIMARY KEY);"
      "CREATE TABLE t (id TEXT PRIMARY KEY, title TEXT, body TEXT);"
      "CREATE FULLTEXT INDEX g ON t (body, title);"
      "CREATE TIMESERIES TABLE m (id TEXT PRIMARY KEY, ts DOUBLE, temp DOUBLE, hum DOUBLE) WITH (bucket_size = '1m')";
  for (Side* side : sides) {
    const std::string answer = side->run(setup);
    ASSERT_FALSE(answer.starts_with("error")) << answer;
    // Lists and buckets there before: plain, in another form, broken; a bucket that fails its rows.
    must(side->db->put(rel::posting_key("docs", "red"), R"(["k9","k0"])", 0, kMax, 1));
    must(side->db->put(rel::posting_key("docs", "car"), R"([ "k3" ])", 0, kMax, 1));
    must(side->db->put(rel::posting_key("t", "blue"), "[broken", 0, kMax, 1));
    must(side->db->put(rel::bucket_key("m", "temp", 3), R"({"points":[{"value":1,"timestamp":180}]})", 0, kMax, 1));
    must(side->db->put(rel::bucket_key("m", "hum", 9), R"({"pts":[]})", 0, kMax, 1));
    // Definitions over any members, and one left behind for a table CREATE TABLE AS makes.
    for (const rel::FtsIndexMetadata& index : {rel::FtsIndexMetadata{"f1", "docs", {"title"}},
                                               rel::FtsIndexMetadata{"f2", "docs", {"doc"}},
                                               rel::FtsIndexMetadata{"h", "made", {"title"}}}) {
      must(side->db->put(rel::fts_index_meta_key(index.table, index.name), must(rel::encode_fts_index_metadata(index)),
                         0, kMax, 1));
    }
  }

  std::mt19937 rng(32);
  const auto pick = [&](int n) { return static_cast<int>(rng() % static_cast<unsigned>(n)); };
  const std::vector<std::string> words = {"red", "car", "cars", "blue", "fast", "running", "new", "x", "words"};
  const auto text = [&] {
    std::string out = words[pick(words.size())];
    for (int i = pick(3); i > 0; --i) out += " " + words[pick(words.size())];
    return out;
  };
  int made = 0;
  const auto statement = [&]() -> std::string {
    const std::string k = std::to_string(pick(150));
    switch (pick(16)) {
      case 0: case 1: case 2:
        return "INSERT INTO docs (pk, doc) VALUES ('k" + k + "', '{\"title\":\"" + text() + "\",\"body\":\"" + text() + "\"}')";
      case 3:
        return "INSERT INTO docs (pk, doc) VALUES ('k" + k + "', 'not json')";  // fails
      case 4:
        return "INSERT INTO t (id, title, body) VALUES ('" + k + "', '" + text() + "', '" + text() + "')";
      case 5:
        return "INSERT INTO t (id, title) VALUES ('" + k + "', '" + text() + "') RETURNING id";
      case 6:
        return "UPDATE docs SET title = '" + text() + "' WHERE pk >= 'k" + k + "'";
      case 7:
        return pick(2) ? "UPDATE t SET body = title" : "UPDATE t SET doc = 5 WHERE id = '" + k + "'";
      case 8: case 9: {
        const int ts = pick(10) == 0 ? 540 + pick(60) : pick(300);  // buckets 0 to 4, rarely the broken 9
        return "INSERT INTO m (id, ts, temp" + std::string(pick(3) ? ", hum" : "") + ") VALUES ('" + k + "', " +
               std::to_string(ts) + ", " + std::to_string(pick(50)) + ".5" + (pick(3) ? ", 7" : "") + ")";
      }
      case 10:
        return pick(2) ? "COPY docs FROM '" + docs_file + "' FORMAT NDJSON" : "COPY t FROM '" + t_file + "'";
      case 11:
        return pick(2) ? "SELECT pk FROM docs WHERE MATCH(doc, '" + text() + "')"
                       : "SELECT pk FROM t WHERE MATCH(title, '" + words[pick(words.size())] + "')";
      case 12:
        return pick(2) ? "DELETE FROM docs WHERE pk = 'k" + k + "'" : "SELECT count(*) FROM m";
      case 13:
        if (made++ % 2 == 0) return "CREATE TABLE made AS SELECT id, title FROM t";
        return "DROP TABLE made";
      case 14:
        return pick(2) ? "CREATE FULLTEXT INDEX x" + k + " ON docs (doc)" : "DROP FULLTEXT INDEX x" + k + " ON docs";
      default:
        return "INSERT INTO docs (pk, doc) VALUES ('n" + k + "', '[\"" + text() + "\"]')";
    }
  };

  int failed = 0, transactions = 0;
  for (int round = 0; round < 250; ++round) {
    std::string script;
    const bool transaction = pick(3) == 0;
    if (transaction) script += "BEGIN;\n";
    for (int n = 1 + pick(8); n > 0; --n) script += statement() + ";\n";
    if (transaction) script += pick(4) == 0 ? "ROLLBACK" : pick(8) == 0 ? "SELECT 1" : "COMMIT";
    const std::string answer = gathered.run(script);
    ASSERT_EQ(answer, reference.run(script)) << script;
    failed += answer.starts_with("error");
    transactions += transaction;
    ASSERT_EQ(gathered.dump(), reference.dump()) << script;
  }
  // The scripts did what they were made for.
  EXPECT_GT(failed, 40);
  EXPECT_GT(transactions, 50);
  EXPECT_GT(must(gathered.db->scan_prefix("__ts/m/")).size(), 8u);
  EXPECT_GT(must(gathered.db->scan_prefix("__fts/made/")).size(), 0u);
}
}  // namespace
}  // namespace quenlordb::sql::exec::testing
