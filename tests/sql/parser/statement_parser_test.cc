#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "parse_outcome.h"

namespace quenlordb::sql::parser {
namespace {

using testing::expect_outcomes;
using testing::select_text;

TEST(StatementParserTest, TransactionWordsAnalyzeShowDescribe) {
  expect_outcomes({
      {"begin", "Begin"},
      {"Commit", "Commit"},
      {"ROLLBACK;", "Rollback"},
      {"BEGIN TRANSACTION", "error: unexpected trailing tokens"},
      {"ANALYZE Events", R"(Analyze { table: "Events" })"},
      {"ANALYZE 't'", "error: expected identifier"},
      {"SHOW TABLES", "ShowTables"},
      {"show tables x", "error: unexpected trailing tokens"},
      {"SHOW VIEWS", "error: expected keyword TABLES"},
      {"DESCRIBE t", R"(Describe { table: "t" })"},
      {"DESCRIBE", "error: expected identifier"},
  });
}

TEST(StatementParserTest, UnknownFirstTokenIsUnsupported) {
  expect_outcomes({
      {"MERGE INTO t", "error: unsupported SQL statement"},
      {"'SELECT'", "error: unsupported SQL statement"},
      {"(SELECT * FROM t)", "error: unsupported SQL statement"},
      {";", "error: unsupported SQL statement"},
  });
}

TEST(StatementParserTest, ExplainForms) {
  expect_outcomes({
      {"EXPLAIN AI 'k'", R"(ExplainAi { key: "k" })"},
      {"explain ai 'k' 'l'", "error: unexpected trailing tokens"},
      {"EXPLAIN AI k", "error: expected string literal"},
      {"EXPLAIN ANALYZE SELECT * FROM t", "ExplainAnalyze(" + select_text({}) + ")"},
      {"EXPLAIN ANALYZE t", "error: unsupported SQL statement"},
      {"EXPLAIN ANALYZE ANALYZE t", R"(ExplainAnalyze(Analyze { table: "t" }))"},
      {"EXPLAIN EXPLAIN EXPLAIN ANALYZE SHOW TABLES", "Explain(Explain(ExplainAnalyze(ShowTables)))"},
      {"EXPLAIN", "error: unsupported SQL statement"},
      // A set operation after EXPLAIN attaches outside it.
      {"EXPLAIN SHOW TABLES UNION SELECT * FROM t",
       "SetOp { op: Union, left: Explain(ShowTables), right: " + select_text({}) + " }"},
  });
}

TEST(StatementParserTest, AlterTableAddColumn) {
  expect_outcomes({
      {"ALTER TABLE t ADD COLUMN c NOPE", R"(AlterTableAddColumn { table: "t", column: "c", column_type: "NOPE" })"},
      {"alter table T add column C int", R"(AlterTableAddColumn { table: "T", column: "C", column_type: "int" })"},
      {"ALTER t ADD COLUMN c INT", "error: expected keyword TABLE"},
      {"ALTER TABLE 't'", "error: expected identifier"},
      {"ALTER TABLE t DROP COLUMN c", "error: expected keyword ADD"},
      {"ALTER TABLE t ADD c INT", "error: expected keyword COLUMN"},
      {"ALTER TABLE t ADD COLUMN c", "error: expected identifier"},
  });
}

// What the token list and the grammar read from sql (a trailing ";" dropped, then one statement, a
// set operation's tail and nothing more), or their failure.
Result<Statement> by_grammar(std::string_view sql) {
  std::vector<Token> tokens = TRY(tokenize(sql));
  std::span<const Token> list = tokens;
  if (!list.empty() && list.back().is_symbol(';')) list = list.first(list.size() - 1);
  Parser p(list);
  Statement stmt = TRY(p.parse_statement());
  stmt = TRY(p.try_parse_set_op(std::move(stmt)));
  if (!p.at_end()) return fail(QuenlorError::sql_parse("unexpected trailing tokens"));
  return stmt;
}

// The (pk, doc) INSERT is read straight from its text; every text must parse as the token list
// and the grammar read it, to the same statement or the same error. Spelt with every spacing,
// case, name, literal and ending that the two ways could read differently.
TEST(StatementParserTest, RowInsertReadFromTheTextAgreesWithTheGrammar) {
  const auto outcome_by_grammar = [](std::string_view sql) -> std::string {
    Result<Statement> stmt = by_grammar(sql);
    return stmt ? debug_text(*stmt) : "error: " + stmt.error().message();
  };
  const std::vector<std::string> space = {"", " ", "  ", "\t", "\n ", "\u00a0", "\u3000"};
  const std::vector<std::string> insert = {"INSERT", "insert", "InSeRt", "INSERTS", "INSER"};
  const std::vector<std::string> into = {"INTO", "into", "INTOx", "IN"};
  const std::vector<std::string> table = {"users", "t-1", "_t9", "$1", "1t", "VALUES", "t.x", "'t'", ""};
  const std::vector<std::string> pk = {"pk", "PK", "pkx", "doc", "p-k"};
  const std::vector<std::string> doc = {"doc", "DOC", "docs", "pk", "doc,x"};
  const std::vector<std::string> values = {"VALUES", "values", "VALUE", "VALUES("};
  const std::vector<std::string> literal = {
      "'a'", "'{\"k\":1}'", "''", "'it\\'s'", "'a\\\\'", "'\\n\\\\\\''", "'é€'", "'\\é'", "'a''b'", "'a", "'a\\",
      "'a;b'", "\"a\"", "5", "'a' 'b'",
  };
  const std::vector<std::string> ending = {"", ";", " ;", "; ", ";;", "; ;", " UNION SELECT * FROM t", " x", ")",
                                           "\u00a0", " ; -- x"};
  std::mt19937 rng(3);
  const auto pick = [&](const std::vector<std::string>& from) { return from[rng() % from.size()]; };
  const auto pick_mostly = [&](const std::vector<std::string>& from) { return rng() % 3 ? from[0] : pick(from); };
  for (int n = 0; n < 6000; ++n) {
    const auto s = [&] { return rng() % 2 ? std::string(" ") : pick(space); };
    const std::string sql = s() + pick_mostly(insert) + " " + s() + pick_mostly(into) + " " + s() + pick_mostly(table) + s() +
                            "(" + s() + pick_mostly(pk) + s() + "," + s() + pick_mostly(doc) + s() + ")" + s() +
                            pick_mostly(values) + s() + "(" + s() + pick(literal) + s() + "," + s() + pick(literal) + s() +
                            ")" + pick_mostly(ending);
    EXPECT_EQ(testing::parse_outcome(sql), outcome_by_grammar(sql)) << sql;
  }
}

// The point SELECT is read straight from its text too, to the statement the grammar reads or to
// nothing (the grammar then reads it).
TEST(StatementParserTest, PkSelectReadFromTheTextAgreesWithTheGrammar) {
  const std::vector<std::string> space = {"", " ", "  ", "\t", "\n ", "\u00a0"};
  const std::vector<std::string> select = {"SELECT", "select", "SeLeCt", "SELECTS", "SELEC"};
  const std::vector<std::string> item = {"doc", "DOC", "pk", "Pk", "*", "docs", "d-oc", "doc AS x", "doc x", "doc, pk",
                                         "count(*)", "true", "null", "t.doc", "'doc'", "* , doc", ""};
  const std::vector<std::string> from = {"FROM", "from", "FROMx", "FRO"};
  const std::vector<std::string> table = {"users", "t-1", "_t9", "$1", "1t", "WHERE", "JOIN", "AS", "t.x", "'t'",
                                          "read_csv('f')", "t AS u", "t u", "t JOIN u ON t.pk = u.pk", ""};
  const std::vector<std::string> where = {"WHERE", "where", "WHEREx", "WHER"};
  const std::vector<std::string> pk = {"pk", "PK", "pkx", "doc", "p-k", "t.pk", "'pk'", "pk.x"};
  const std::vector<std::string> op = {"=", "==", "!=", "<", "= =", "IS", "LIKE"};
  const std::vector<std::string> literal = {"'a'", "''", "'it\\'s'", "'a\\\\'", "'é€'", "'a''b'", "'a",
                                            "'a;b'", "\"a\"", "5", "'a' 'b'", "x", "'a' || 'b'"};
  const std::vector<std::string> ending = {"", ";", " ;", "; ", ";;", " AND x = 1", " OR pk = 'b'", " LIMIT 1",
                                           " AS OF 3", " ORDER BY pk", " UNION SELECT * FROM t", " x", ")",
                                           "\u00a0", " ; -- x", " -- x"};
  std::mt19937 rng(4);
  const auto pick = [&](const std::vector<std::string>& from) { return from[rng() % from.size()]; };
  const auto pick_mostly = [&](const std::vector<std::string>& from) { return rng() % 3 ? from[0] : pick(from); };
  int fast = 0;
  for (int n = 0; n < 6000; ++n) {
    const auto s = [&] { return rng() % 2 ? std::string(" ") : pick(space); };
    const std::string sql = s() + pick_mostly(select) + " " + s() + pick_mostly(item) + " " + s() + pick_mostly(from) +
                            " " + s() + pick_mostly(table) + " " + s() + pick_mostly(where) + " " + s() +
                            pick_mostly(pk) + s() + pick_mostly(op) + s() + pick(literal) + pick_mostly(ending);
    const std::optional<Statement> read = parse_pk_select(sql);
    if (!read) continue;
    ++fast;
    const Result<Statement> grammar = by_grammar(sql);
    ASSERT_TRUE(grammar) << sql << ": " << grammar.error().message();
    EXPECT_EQ(*read, *grammar) << sql;
  }
  EXPECT_GT(fast, 100);
  EXPECT_TRUE(parse_pk_select("SELECT doc FROM users WHERE pk = 'u1'"));
  EXPECT_FALSE(parse_pk_select("SELECT doc FROM users WHERE pk = 'u1' AND 1 = 1"));
}

// The point UPDATE is read straight from its text too, to the statement the grammar reads or to
// nothing (the grammar then reads it).
TEST(StatementParserTest, PkUpdateReadFromTheTextAgreesWithTheGrammar) {
  const std::vector<std::string> space = {"", " ", "  ", "\t", "\n ", "\u00a0"};
  const std::vector<std::string> update = {"UPDATE", "update", "UpDaTe", "UPDATES", "UPDAT"};
  const std::vector<std::string> table = {"users", "t-1", "_t9", "$1", "1t", "SET", "WHERE", "t.x", "'t'", "t AS u", ""};
  const std::vector<std::string> set = {"SET", "set", "SETS", "SE"};
  const std::vector<std::string> column = {"status", "doc", "DOC", "pk", "WHERE", "a-b", "t.x", "'a'", "a.b", "", "1a"};
  // Values the text form reads, then others.
  const std::vector<std::string> value = {"'x'", "''", "'it\\'s'", "'a\\\\'", "'é€'", "'{\"k\":1}'", "7", "007",
                                          "2.5", "99999999999999999999999999", "1.0000000000000001", "'a''b'", "'a",
                                          "2.", "2.x", ".5", "1e5", "5x", "-1", "1 + 1", "NULL", "true", "x",
                                          "'a' || 'b'", "'a' 'b'"};
  const std::vector<std::string> read_values(value.begin(), value.begin() + 11);
  const std::vector<std::string> where = {"WHERE", "where", "WHEREx", "WHER"};
  const std::vector<std::string> pk = {"pk", "PK", "pkx", "doc", "p-k", "t.pk", "'pk'"};
  const std::vector<std::string> op = {"=", "==", "!=", "<", "= =", "IS"};
  const std::vector<std::string> literal = {"'a'", "''", "'it\\'s'", "'é€'", "'a''b'", "'a", "\"a\"", "5", "x",
                                            "'a' || 'b'"};
  const std::vector<std::string> ending = {"", ";", " ;", "; ", ";;", " AND x = 1", " OR pk = 'b'", " AS OF 3",
                                           " VALID AT 3", " x", ")", "\u00a0", " ; -- x", " -- x"};
  std::mt19937 rng(5);
  const auto pick = [&](const std::vector<std::string>& from) { return from[rng() % from.size()]; };
  const auto pick_mostly = [&](const std::vector<std::string>& from) { return rng() % 3 ? from[0] : pick(from); };
  int fast = 0;
  for (int n = 0; n < 8000; ++n) {
    const auto s = [&] { return rng() % 2 ? std::string(" ") : pick(space); };
    std::string sql = s() + pick_mostly(update) + " " + s() + pick_mostly(table) + " " + s() + pick_mostly(set);
    for (std::size_t i = 0, count = 1 + rng() % 3; i < count; ++i) {
      sql += (i ? s() + "," : std::string(" ")) + s() + pick_mostly(column) + s() + "=" + s() +
             pick(rng() % 4 ? read_values : value);
    }
    sql += " " + s() + pick_mostly(where) + " " + s() + pick_mostly(pk) + s() + pick_mostly(op) + s() + pick(literal) +
           pick_mostly(ending);
    const std::optional<Statement> read = parse_pk_update(sql);
    if (!read) continue;
    ++fast;
    const Result<Statement> grammar = by_grammar(sql);
    ASSERT_TRUE(grammar) << sql << ": " << grammar.error().message();
    EXPECT_EQ(*read, *grammar) << sql;
  }
  EXPECT_GT(fast, 100) << "texts read straight";
  EXPECT_TRUE(parse_pk_update("UPDATE users SET status = 'x' WHERE pk = 'u1'"));
  EXPECT_TRUE(parse_pk_update("UPDATE users SET doc = '{}', doc = 'x', n = 2.5 WHERE PK = 'u1';"));
  EXPECT_FALSE(parse_pk_update("UPDATE users SET status = 'x' WHERE pk = 'u1' AND 1 = 1"));
}

TEST(StatementParserTest, InsertForms) {
  expect_outcomes({
      {"INSERT INTO t (PK, Doc) VALUES ('a', '{}')", R"(Insert { table: "t", pk: "a", doc: "{}" })"},
      {"INSERT INTO t (doc, pk) VALUES ('{}', 'a')",
       R"(InsertTyped { table: "t", columns: ["doc", "pk"], values: [StringLit("{}"), StringLit("a")] })"},
      {"INSERT INTO t (a) VALUES (1) RETURNING *, a AS x",
       R"(InsertReturning { table: "t", columns: ["a"], values: [NumberLit(1.0)], )"
       R"(returning: [AllColumns, Expr { expr: Column("a"), alias: Some("x") }] })"},
      {"INSERT INTO t (pk, doc, n) VALUES ('a', '{}', 2)",
       R"(InsertTyped { table: "t", columns: ["pk", "doc", "n"], values: [StringLit("a"), StringLit("{}"), NumberLit(2.0)] })"},
      // The pk/doc form takes literals only and reads no RETURNING.
      {"INSERT INTO t (pk, doc) VALUES ('a', 5)", "error: expected string literal"},
      {"INSERT INTO t (pk, doc) VALUES ('a' '{}')", "error: expected symbol ,"},
      {"INSERT INTO t (pk, doc) VALUES ('a', '{}') RETURNING *", "error: unexpected trailing tokens"},
      {"INSERT INTO t (a, b) VALUES (1)", "error: column count does not match value count"},
      {"INSERT INTO t (a) VALUES (1, 2)", "error: column count does not match value count"},
      {"INSERT INTO t (a) VALUES (1), (2)", "error: unexpected trailing tokens"},
      {"INSERT t (a) VALUES (1)", "error: expected keyword INTO"},
      {"INSERT INTO (a) VALUES (1)", "error: expected identifier"},
      {"INSERT INTO t a VALUES (1)", "error: expected symbol ("},
      {"INSERT INTO t () VALUES ()", "error: expected identifier"},
      {"INSERT INTO t (a b) VALUES (1)", "error: expected symbol )"},
      {"INSERT INTO t (a) (1)", "error: expected keyword VALUES"},
      {"INSERT INTO t (a) VALUES 1", "error: expected symbol ("},
      {"INSERT INTO t (a) VALUES (1", "error: expected symbol )"},
      {"INSERT INTO t (a) VALUES (1) RETURNING a AS", "error: expected identifier"},
  });
}

TEST(StatementParserTest, UpdateAssignmentsAndClauses) {
  expect_outcomes({
      {"UPDATE t SET a = 1",
       R"(Update { table: "t", set_doc: Null, set_assignments: [("a", NumberLit(1.0))], filter: None, as_of: None, valid_at: None })"},
      {"UPDATE t SET doc = '{}', a = 1",
       R"(Update { table: "t", set_doc: StringLit("{}"), set_assignments: [("a", NumberLit(1.0))], filter: None, as_of: None, valid_at: None })"},
      // Only the first assignment is looked at for doc.
      {"UPDATE t SET a = 1, DOC = '{}'",
       R"(Update { table: "t", set_doc: Null, set_assignments: [("a", NumberLit(1.0)), ("DOC", StringLit("{}"))], filter: None, as_of: None, valid_at: None })"},
      {"UPDATE t SET a = 1 WHERE pk = 'x' VALID AT 10 AS OF 20",
       R"(Update { table: "t", set_doc: Null, set_assignments: [("a", NumberLit(1.0))], )"
       R"(filter: Some(BinOp { left: Column("pk"), op: Eq, right: StringLit("x") }), as_of: Some(20), valid_at: Some(10) })"},
      // Temporal clauses repeat and the last of each wins.
      {"UPDATE t SET a = 1 AS OF 5 VALID AT 1 AS OF 7",
       R"(Update { table: "t", set_doc: Null, set_assignments: [("a", NumberLit(1.0))], filter: None, as_of: Some(7), valid_at: Some(1) })"},
      {"UPDATE t SET a = 1 AS OF 5 WHERE x", "error: unexpected trailing tokens"},
      {"UPDATE t SET a = 1 AS 5", "error: unexpected trailing tokens"},
      {"UPDATE t SET a = 1 VALID 5", "error: expected keyword AT"},
      {"UPDATE t SET a = 1 AS OF x", "error: expected numeric literal"},
      {"UPDATE t SET a = 1 VALID AT 2.5", "error: invalid number"},
      {"UPDATE t SET a = 1 FOR SYSTEM_TIME ALL", "error: unexpected trailing tokens"},
      {"UPDATE t a = 1", "error: expected keyword SET"},
      {"UPDATE t SET a 1", "error: expected symbol ="},
      {"UPDATE t SET a = 1,", "error: expected identifier"},
      {"UPDATE t SET 'a' = 1", "error: expected identifier"},
  });
}

TEST(StatementParserTest, DeleteForms) {
  expect_outcomes({
      {"DELETE FROM t", R"(Delete { table: "t", filter: None, as_of: None, valid_at: None })"},
      {"delete from t where pk = 'a' as of 3 valid at 4 valid at 5",
       R"(Delete { table: "t", filter: Some(BinOp { left: Column("pk"), op: Eq, right: StringLit("a") }), as_of: Some(3), valid_at: Some(5) })"},
      {"DELETE t", "error: expected keyword FROM"},
      {"DELETE FROM", "error: expected identifier"},
      {"DELETE FROM t VALID AT 1 WHERE x", "error: unexpected trailing tokens"},
  });
}

TEST(StatementParserTest, DropForms) {
  expect_outcomes({
      {"DROP TABLE t", R"(DropTable { table: "t" })"},
      {"DROP VIEW v", R"(DropView { view: "v" })"},
      {"DROP INDEX i ON t", R"(DropIndex { index: "i", table: "t" })"},
      {"drop fulltext index f on t", R"(DropFulltextIndex { index: "f", table: "t" })"},
      {"DROP INDEX i", "error: expected keyword ON"},
      {"DROP FULLTEXT f ON t", "error: expected keyword INDEX"},
      {"DROP FULLTEXT INDEX f ON", "error: expected identifier"},
      {"DROP SCHEMA s", "error: expected TABLE, VIEW, FULLTEXT INDEX, or INDEX after DROP"},
      {"DROP", "error: expected TABLE, VIEW, FULLTEXT INDEX, or INDEX after DROP"},
      {"DROP TABLE IF EXISTS t", "error: unexpected trailing tokens"},
      {"DROP TABLE", "error: expected identifier"},
  });
}

TEST(StatementParserTest, CopyFormsAndFormats) {
  expect_outcomes({
      {"COPY t TO '/tmp/a.json' FORMAT json", R"(CopyTo { table: "t", path: "/tmp/a.json", format: Json })"},
      {"COPY t TO '/tmp/a.json' WITH json", R"(CopyTo { table: "t", path: "/tmp/a.json", format: Json })"},
      {"COPY t TO '/tmp/a.json' json", R"(CopyTo { table: "t", path: "/tmp/a.json", format: Json })"},
      {"COPY t TO '/tmp/a' WITH FORMAT NDJSON", R"(CopyTo { table: "t", path: "/tmp/a", format: Ndjson })"},
      {"COPY t FROM '/tmp/a' Parquet", R"(CopyFrom { table: "t", path: "/tmp/a", format: Parquet })"},
      {"COPY t FROM '/tmp/a' WITH FORMAT csv", R"(CopyFrom { table: "t", path: "/tmp/a", format: Csv })"},
      {"COPY t TO '/tmp/a'", R"(CopyTo { table: "t", path: "/tmp/a", format: Csv })"},
      {"COPY t TO '/tmp/a' WITH", R"(CopyTo { table: "t", path: "/tmp/a", format: Csv })"},
      {"COPY t TO '/tmp/a' WITH FORMAT xml", "error: unexpected trailing tokens"},
      {"COPY t TO '/tmp/a' FORMAT WITH json", "error: unexpected trailing tokens"},
      {"COPY t INTO '/tmp/a'", "error: expected TO or FROM after COPY table"},
      {"COPY t", "error: expected TO or FROM after COPY table"},
      {"COPY t TO a", "error: expected string literal"},
      {"COPY '/tmp/a' TO t", "error: expected identifier"},
  });
}

// parse_sql offers a set operation after every statement, not only after queries.
TEST(StatementParserTest, SetOperationTailAttachesToAnyStatement) {
  expect_outcomes({
      {"INSERT INTO t (pk, doc) VALUES ('a', '{}') UNION SELECT * FROM t",
       R"(SetOp { op: Union, left: Insert { table: "t", pk: "a", doc: "{}" }, right: )" + select_text({}) + " }"},
      {"BEGIN EXCEPT SELECT * FROM t", "SetOp { op: Except, left: Begin, right: " + select_text({}) + " }"},
      {"COMMIT UNION ROLLBACK", "error: expected keyword SELECT"},
  });
}

}  // namespace
}  // namespace quenlordb::sql::parser
