// The statements that begin with CREATE: tables with column definitions, CREATE TABLE ... AS,
// time-series tables with their WITH options, views (whose query must have the one shape a view
// can store), full-text indexes and indexes.

#include <string_view>

#include "sql/parser/analysis.h"
#include "sql/parser/parser.h"
#include "sql/parser/text.h"

namespace quenlordb::sql::parser {

namespace {

QuenlorError parse_error(std::string_view message) { return QuenlorError::sql_parse(std::string(message)); }

// With the cursor after "(": name type {NOT NULL | PRIMARY KEY}, ... ")". At least one column.
Result<std::vector<ColumnDef>> parse_column_defs(Parser& p) {
  std::vector<ColumnDef> columns;
  do {
    ColumnDef column{TRY(p.expect_ident()), SqlType::Text};
    const std::string type_word = TRY(p.expect_ident());
    const std::optional<SqlType> type = SqlType::from_str_name(type_word);
    if (!type) return fail(QuenlorError::sql_parse("unknown column type: " + type_word));
    column.type_name = *type;
    for (;;) {
      if (p.accept_kw("NOT")) {
        TRY(p.expect_kw("NULL"));
        column.not_null = true;
      } else if (p.accept_kw("PRIMARY")) {
        TRY(p.expect_kw("KEY"));
        column.primary_key = true;
      } else {
        break;
      }
    }
    columns.push_back(std::move(column));
  } while (p.accept_symbol(','));
  TRY(p.expect_symbol(')'));
  return columns;
}

// With the cursor after TABLE: name ( columns ) | name AS query
Result<Statement> parse_create_table(Parser& p) {
  std::string table = TRY(p.expect_ident());
  if (p.accept_symbol('(')) {
    std::vector<ColumnDef> columns = TRY(parse_column_defs(p));
    return Statement::CreateTable{std::move(table), std::move(columns)};
  }
  if (!p.accept_kw("AS")) return fail(parse_error("expected symbol ("));
  Statement query = TRY(p.nested([&] { return p.parse_select_or_cte(); }));
  return Statement::CreateTableAs{std::move(table), std::move(query)};
}

// With the cursor after TIMESERIES: TABLE name ( columns ) [WITH ( key = 'value', ... )]. Only the
// key bucket_size has a meaning; other keys are accepted and ignored.
Result<Statement> parse_create_timeseries(Parser& p) {
  TRY(p.expect_kw("TABLE"));
  Statement::CreateTimeseriesTable create;
  create.table = TRY(p.expect_ident());
  TRY(p.expect_symbol('('));
  create.columns = TRY(parse_column_defs(p));
  if (!p.accept_kw("WITH")) return create;
  TRY(p.expect_symbol('('));
  do {
    const std::string key = TRY(p.expect_ident());
    TRY(p.expect_symbol('='));
    std::string value = TRY(p.expect_string());
    if (eq_ignore_ascii_case(key, "bucket_size")) create.bucket_interval = std::move(value);
  } while (p.accept_symbol(','));
  TRY(p.expect_symbol(')'));
  return create;
}

bool is_bare_doc_item(const SelectItem& item) {
  const auto* expr_item = item.get_if<SelectItem::Expr>();
  if (expr_item == nullptr || expr_item->alias) return false;
  const auto* column = expr_item->expr.get_if<Expr::Column>();
  return column != nullptr && eq_ignore_ascii_case(column->name, "doc");
}

// With the cursor after VIEW: name AS query, where the query must read as
// SELECT doc FROM table WHERE pk = '...' with only AS OF / VALID AT after it. The checks run in a
// fixed order and the first that fails names the problem. The query's WITH list and FOR clauses are
// not part of what a view stores and are dropped.
Result<Statement> parse_create_view(Parser& p) {
  std::string view = TRY(p.expect_ident());
  TRY(p.expect_kw("AS"));
  const Statement query = TRY(p.nested([&] { return p.parse_select_or_cte(); }));
  const auto& select = *query.get_if<Statement::Select>();

  const auto* source = select.from.get_if<TableRef::Named>();
  if (source == nullptr) return fail(parse_error("CREATE VIEW requires simple table reference"));
  if (select.items.size() != 1 || !is_bare_doc_item(select.items[0])) {
    return fail(parse_error("CREATE VIEW requires SELECT doc projection"));
  }
  if (select.join) return fail(parse_error("CREATE VIEW does not support JOIN"));
  std::optional<std::string> pk = extract_pk_eq_literal(select.filter);
  if (!pk) return fail(parse_error("CREATE VIEW requires WHERE pk='...'"));
  if (select.group_by || select.order_by || select.limit) {
    return fail(parse_error("CREATE VIEW does not support GROUP BY, ORDER BY, or LIMIT"));
  }
  return Statement::CreateView{std::move(view), source->name, std::move(*pk), select.as_of, select.valid_at};
}

// With the cursor after FULLTEXT: INDEX name ON table ( column, ... )
Result<Statement> parse_create_fulltext_index(Parser& p) {
  TRY(p.expect_kw("INDEX"));
  Statement::CreateFulltextIndex create;
  create.index = TRY(p.expect_ident());
  TRY(p.expect_kw("ON"));
  create.table = TRY(p.expect_ident());
  TRY(p.expect_symbol('('));
  do {
    create.columns.push_back(TRY(p.expect_ident()));
  } while (p.accept_symbol(','));
  TRY(p.expect_symbol(')'));
  return create;
}

}  // namespace

Result<Statement> Parser::parse_create() {
  TRY(expect_kw("CREATE"));
  if (accept_kw("TABLE")) return parse_create_table(*this);
  if (accept_kw("TIMESERIES")) return parse_create_timeseries(*this);
  if (accept_kw("VIEW")) return parse_create_view(*this);
  if (accept_kw("FULLTEXT")) return parse_create_fulltext_index(*this);
  if (peek_kw("INDEX")) return parse_create_index_after_create();
  return fail(parse_error("expected TABLE, TIMESERIES TABLE, VIEW, FULLTEXT INDEX, or INDEX after CREATE"));
}

// INDEX name ON table ( column ): exactly one column.
Result<Statement> Parser::parse_create_index_after_create() {
  TRY(expect_kw("INDEX"));
  Statement::CreateIndex create;
  create.index = TRY(expect_ident());
  TRY(expect_kw("ON"));
  create.table = TRY(expect_ident());
  TRY(expect_symbol('('));
  create.column = TRY(expect_ident());
  TRY(expect_symbol(')'));
  return create;
}

}  // namespace quenlordb::sql::parser
