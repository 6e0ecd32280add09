// The top of the recursive descent: dispatch on a statement's first word, and the statements that
// are neither queries nor CREATE forms (transaction words, EXPLAIN, ALTER TABLE, INSERT, UPDATE,
// DELETE, DROP, COPY, SHOW TABLES, DESCRIBE, ANALYZE).

#include <string_view>

#include "sql/parser/parser.h"
#include "sql/parser/text.h"

namespace quenlordb::sql::parser {

namespace {

QuenlorError parse_error(std::string_view message) { return QuenlorError::sql_parse(std::string(message)); }

[[gnu::noinline]] Result<Statement> parse_explain_ai(Parser& p) {
  TRY(p.expect_kw("AI"));
  return Statement::ExplainAi{TRY(p.expect_string())};
}

// EXPLAIN AI 'key' | EXPLAIN ANALYZE statement | EXPLAIN statement. The explained statement sits one
// level deeper, so a chain of EXPLAINs ends in the depth error. This rule and parse_statement are
// the recursion path of such a chain: they keep their frames small and leave all other work to
// helpers that are not inlined into them.
Result<Statement> parse_explain(Parser& p) {
  TRY(p.expect_kw("EXPLAIN"));
  if (p.peek_kw("AI")) return parse_explain_ai(p);
  const bool analyze = p.accept_kw("ANALYZE");
  Statement explained = TRY(p.nested([&] { return p.parse_statement(); }));
  if (analyze) return Statement::ExplainAnalyze{std::move(explained)};
  return Statement::Explain{std::move(explained)};
}

// ALTER TABLE name ADD COLUMN column type; the type word is kept as written.
[[gnu::noinline]] Result<Statement> parse_alter(Parser& p) {
  TRY(p.expect_kw("ALTER"));
  TRY(p.expect_kw("TABLE"));
  Statement::AlterTableAddColumn alter;
  alter.table = TRY(p.expect_ident());
  TRY(p.expect_kw("ADD"));
  TRY(p.expect_kw("COLUMN"));
  alter.column = TRY(p.expect_ident());
  alter.column_type = TRY(p.expect_ident());
  return alter;
}

[[gnu::noinline]] Result<Statement> parse_delete(Parser& p) {
  TRY(p.expect_kw("DELETE"));
  TRY(p.expect_kw("FROM"));
  Statement::Delete del;
  del.table = TRY(p.expect_ident());
  if (p.accept_kw("WHERE")) del.filter = TRY(p.parse_expr());
  TRY(p.parse_temporal_clauses(del.as_of, del.valid_at));
  return del;
}

[[gnu::noinline]] Result<Statement> parse_analyze(Parser& p) {
  TRY(p.expect_kw("ANALYZE"));
  return Statement::Analyze{TRY(p.expect_ident())};
}

// One column = value pair of UPDATE.
Result<std::pair<std::string, Expr>> parse_assignment(Parser& p) {
  std::string column = TRY(p.expect_ident());
  TRY(p.expect_symbol('='));
  Expr value = TRY(p.parse_expr());
  return std::pair{std::move(column), std::move(value)};
}

}  // namespace

Result<Statement> Parser::parse_statement() {
  if (accept_kw("BEGIN")) return Statement::Begin{};
  if (accept_kw("COMMIT")) return Statement::Commit{};
  if (accept_kw("ROLLBACK")) return Statement::Rollback{};
  if (peek_kw("CREATE")) return parse_create();
  if (peek_kw("ANALYZE")) return parse_analyze(*this);
  if (peek_kw("EXPLAIN")) return parse_explain(*this);
  if (peek_kw("ALTER")) return parse_alter(*this);
  if (peek_kw("INSERT")) return parse_insert();
  if (peek_kw("UPDATE")) return parse_update();
  if (peek_kw("DELETE")) return parse_delete(*this);
  if (peek_kw("SELECT") || peek_kw("WITH")) return parse_select_or_cte();
  if (peek_kw("SHOW")) return parse_show();
  if (peek_kw("DESCRIBE")) return parse_describe();
  if (peek_kw("DROP")) return parse_drop();
  if (peek_kw("COPY")) return parse_copy();
  return fail(parse_error("unsupported SQL statement"));
}

// INSERT INTO name ( column, ... ) VALUES ( value, ... ) [RETURNING item, ...]. Exactly the columns
// pk, doc (in that order, any case) take two string literals and give Insert; any other column list
// takes expressions. One row only.
Result<Statement> Parser::parse_insert() {
  TRY(expect_kw("INSERT"));
  TRY(expect_kw("INTO"));
  std::string table = TRY(expect_ident());
  TRY(expect_symbol('('));
  // The list (pk, doc) is told from its four tokens, without building it.
  const bool pk_doc = peek_kw("pk") && peek_symbol(',', 1) && peek_kw("doc", 2) && peek_symbol(')', 3);
  std::vector<std::string> columns;
  if (pk_doc) {
    pos_ += 4;
  } else {
    do {
      columns.push_back(TRY(expect_ident()));
    } while (accept_symbol(','));
    TRY(expect_symbol(')'));
  }
  TRY(expect_kw("VALUES"));
  TRY(expect_symbol('('));

  if (pk_doc) {
    std::string pk = TRY(expect_string());
    TRY(expect_symbol(','));
    std::string doc = TRY(expect_string());
    TRY(expect_symbol(')'));
    return Statement::Insert{std::move(table), std::move(pk), std::move(doc)};
  }

  std::vector<Expr> values;
  do {
    values.push_back(TRY(parse_expr()));
  } while (accept_symbol(','));
  TRY(expect_symbol(')'));
  if (values.size() != columns.size()) return fail(parse_error("column count does not match value count"));

  if (!accept_kw("RETURNING")) return Statement::InsertTyped{std::move(table), std::move(columns), std::move(values)};
  std::vector<SelectItem> returning;
  do {
    returning.push_back(TRY(parse_select_item()));
  } while (accept_symbol(','));
  return Statement::InsertReturning{std::move(table), std::move(columns), std::move(values), std::move(returning)};
}

// UPDATE name SET column = value, ... [WHERE condition] {AS OF n | VALID AT n}. Only the first
// assignment is tested for doc; a later one to doc is an ordinary assignment.
Result<Statement> Parser::parse_update() {
  TRY(expect_kw("UPDATE"));
  Statement::Update update;
  update.table = TRY(expect_ident());
  TRY(expect_kw("SET"));
  auto first = TRY(parse_assignment(*this));
  if (eq_ignore_ascii_case(first.first, "doc")) {
    update.set_doc = std::move(first.second);
  } else {
    update.set_assignments.push_back(std::move(first));
  }
  while (accept_symbol(',')) update.set_assignments.push_back(TRY(parse_assignment(*this)));
  if (accept_kw("WHERE")) update.filter = TRY(parse_expr());
  TRY(parse_temporal_clauses(update.as_of, update.valid_at));
  return update;
}

Result<Statement> Parser::parse_drop() {
  TRY(expect_kw("DROP"));
  if (accept_kw("TABLE")) return Statement::DropTable{TRY(expect_ident())};
  if (accept_kw("VIEW")) return Statement::DropView{TRY(expect_ident())};
  const bool fulltext = accept_kw("FULLTEXT");
  if (fulltext) {
    TRY(expect_kw("INDEX"));
  } else if (!accept_kw("INDEX")) {
    return fail(parse_error("expected TABLE, VIEW, FULLTEXT INDEX, or INDEX after DROP"));
  }
  std::string index = TRY(expect_ident());
  TRY(expect_kw("ON"));
  std::string table = TRY(expect_ident());
  if (fulltext) return Statement::DropFulltextIndex{std::move(index), std::move(table)};
  return Statement::DropIndex{std::move(index), std::move(table)};
}

// COPY name TO 'path' [format] | COPY name FROM 'path' [format]
Result<Statement> Parser::parse_copy() {
  TRY(expect_kw("COPY"));
  std::string table = TRY(expect_ident());
  bool to = false;
  if (accept_kw("TO")) {
    to = true;
  } else if (!accept_kw("FROM")) {
    return fail(parse_error("expected TO or FROM after COPY table"));
  }
  std::string path = TRY(expect_string());
  const CopyFormat format = parse_copy_format();
  if (to) return Statement::CopyTo{std::move(table), std::move(path), format};
  return Statement::CopyFrom{std::move(table), std::move(path), format};
}

// WITH and FORMAT are each optional; an unrecognised format word is left for the caller.
CopyFormat Parser::parse_copy_format() {
  accept_kw("WITH");
  accept_kw("FORMAT");
  static constexpr std::pair<std::string_view, CopyFormat> kFormats[] = {
      {"CSV", CopyFormat::Csv},
      {"JSON", CopyFormat::Json},
      {"NDJSON", CopyFormat::Ndjson},
      {"PARQUET", CopyFormat::Parquet},
  };
  for (const auto& [word, format] : kFormats) {
    if (accept_kw(word)) return format;
  }
  return CopyFormat::Csv;
}

Result<Statement> Parser::parse_show() {
  TRY(expect_kw("SHOW"));
  TRY(expect_kw("TABLES"));
  return Statement::ShowTables{};
}

Result<Statement> Parser::parse_describe() {
  TRY(expect_kw("DESCRIBE"));
  return Statement::Describe{TRY(expect_ident())};
}

}  // namespace quenlordb::sql::parser
