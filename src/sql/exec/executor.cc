#include "sql/exec/executor.h"

#include <optional>
#include <string>
#include <utility>
#include <variant>
#include <vector>

#include "sql/exec/copy.h"
#include "sql/exec/create_table_as.h"
#include "sql/exec/ddl.h"
#include "sql/exec/explain.h"
#include "sql/exec/explain_ai.h"
#include "sql/exec/facet_upkeep.h"
#include "sql/exec/row_writes.h"
#include "sql/exec/select.h"
#include "sql/exec/set_op.h"
#include "sql/exec/table_stats.h"
#include "sql/exec/transaction.h"
#include "sql/parser/parser.h"
#include "sql/parser/splitter.h"

namespace quenlordb::sql::exec {

namespace {

using parser::Statement;

// The code that runs each kind of statement, one overload per kind: a kind without one does not
// compile.
struct StatementArms {
  Database& db;
  SqlSession& session;

  Result<SqlResult> operator()(Statement::Begin&&) const { return execute_begin(session); }
  Result<SqlResult> operator()(Statement::Commit&&) const { return execute_commit(db, session); }
  Result<SqlResult> operator()(Statement::Rollback&&) const { return execute_rollback(session); }
  Result<SqlResult> operator()(Statement::Insert&& s) const { return execute_insert(db, session, std::move(s)); }
  Result<SqlResult> operator()(Statement::InsertTyped&& s) const { return execute_insert_typed(db, session, s); }
  Result<SqlResult> operator()(Statement::InsertReturning&& s) const {
    return execute_insert_returning(db, session, s);
  }
  Result<SqlResult> operator()(Statement::Update&& s) const { return execute_update(db, session, s); }
  Result<SqlResult> operator()(Statement::Delete&& s) const { return execute_delete(db, session, s); }
  Result<SqlResult> operator()(Statement::Explain&& n) const { return execute_explain(db, session, n.statement); }
  Result<SqlResult> operator()(Statement::ExplainAnalyze&& n) const {
    return execute_explain_analyze(db, session, std::move(n.statement));
  }
  Result<SqlResult> operator()(Statement::ExplainAi&& n) const { return execute_explain_ai(db, n.key); }
  Result<SqlResult> operator()(Statement::Analyze&& n) const { return execute_analyze(db, session, n.table); }
  Result<SqlResult> operator()(Statement::Select&& select) const { return execute_select(db, session, select); }
  Result<SqlResult> operator()(Statement::SetOp&& s) const {
    return execute_set_op(db, session, s.op, std::move(s.left), std::move(s.right));
  }
  Result<SqlResult> operator()(Statement::CreateTable&& s) const { return execute_create_table(db, session, s); }
  Result<SqlResult> operator()(Statement::CreateView&& s) const { return execute_create_view(db, session, s); }
  Result<SqlResult> operator()(Statement::CreateIndex&& s) const { return execute_create_index(db, session, s); }
  Result<SqlResult> operator()(Statement::DropIndex&& s) const { return execute_drop_index(db, session, s); }
  Result<SqlResult> operator()(Statement::CreateFulltextIndex&& s) const {
    return execute_create_fulltext_index(db, session, s);
  }
  Result<SqlResult> operator()(Statement::DropFulltextIndex&& s) const {
    return execute_drop_fulltext_index(db, session, s);
  }
  Result<SqlResult> operator()(Statement::CreateTimeseriesTable&& s) const {
    return execute_create_timeseries_table(db, session, s);
  }
  Result<SqlResult> operator()(Statement::AlterTableAddColumn&& s) const {
    return execute_alter_add_column(db, session, s);
  }
  Result<SqlResult> operator()(Statement::DropTable&& s) const { return execute_drop_table(db, session, s); }
  Result<SqlResult> operator()(Statement::DropView&& s) const { return execute_drop_view(db, session, s); }
  Result<SqlResult> operator()(Statement::ShowTables&&) const { return execute_show_tables(db, session); }
  Result<SqlResult> operator()(Statement::Describe&& s) const { return execute_describe(db, session, s); }
  Result<SqlResult> operator()(Statement::CopyTo&& s) const { return execute_copy_to(db, session, s.table, s.path, s.format); }
  Result<SqlResult> operator()(Statement::CopyFrom&& s) const { return execute_copy_from(db, session, s.table, s.path, s.format); }
  Result<SqlResult> operator()(Statement::CreateTableAs&& s) const {
    return execute_create_table_as(db, session, std::move(s));
  }
};

// The statements of a script, run in session; the result of the last, whose deferred_mark is left
// in mark.
Result<SqlResult> run_script(Database& db, std::string_view script, SqlSession& session,
                             std::optional<std::uint64_t>& mark) {
  const std::vector<std::string_view> pieces = TRY(parser::split_sql_statements(script));
  std::optional<SqlResult> last;
  std::vector<parser::Token> tokens;  // one statement's at a time
  for (const std::string_view piece : pieces) {
    mark = session.deferred_total();
    // The INSERT of a bulk load goes straight from its text to the row write.
    if (const std::optional<parser::RowInsert> row = parser::parse_row_insert(piece)) {
      last = TRY(execute_row_insert(db, session, *row));
      continue;
    }
    if (const std::optional<parser::PkSelect> select = parser::read_pk_select(piece)) {
      last = TRY(execute_pk_select(db, session, *select));
      continue;
    }
    // The UPDATE of one row to constant values is run as read, without a statement around it: it
    // gathers its upkeep, so nothing gathered is written before it (execute_stmt).
    if (const std::optional<parser::Statement::Update> update = parser::read_pk_update(piece)) {
      last = TRY(execute_update(db, session, *update));
      continue;
    }
    if (tokens.capacity() == 0) tokens.reserve(32);
    Statement stmt = TRY(parser::parse_valid_utf8_sql_by_grammar(piece, tokens));
    mark = deferred_mark(session, stmt);
    last = TRY(execute_stmt(db, session, std::move(stmt)));
  }
  if (session.in_transaction()) {
    return fail(QuenlorError::sql_execution("transaction left open; issue COMMIT or ROLLBACK"));
  }
  if (!last) return fail(QuenlorError::sql_execution("no statements executed"));
  return std::move(*last);
}

}  // namespace

Result<SqlResult> execute_stmt(Database& db, SqlSession& session, Statement stmt) {
  TRY(write_gathered_upkeep_before(db, session, stmt));
  return std::visit(StatementArms{db, session}, std::move(stmt.node()));
}

Result<SqlResult> execute_sql(Database& db, std::string_view script) {
  SqlSession session;
  return execute_sql(db, script, session);
}

Result<SqlResult> execute_sql(Database& db, std::string_view script, SqlSession& session) {
  std::optional<std::uint64_t> mark;
  Result<SqlResult> result = run_script(db, script, session, mark);
  return finish_script(db, session, std::move(result), mark);
}

std::optional<std::uint64_t> deferred_mark(const SqlSession& session, const parser::Statement& stmt) {
  if (std::holds_alternative<Statement::CreateTableAs>(stmt.node())) return std::nullopt;
  return session.deferred_total();
}

Result<SqlResult> finish_script(Database& db, SqlSession& session, Result<SqlResult> result,
                                std::optional<std::uint64_t> mark) {
  // The lists and buckets gathered outside a transaction, and the rows held back behind them, are
  // written before the call returns, also after a failure (the failure is still the result).
  Result<std::optional<std::uint64_t>> written = write_gathered_upkeep(db, session);
  if (!result) return result;
  if (!written) return fail(std::move(written.error()));
  // The last statement's rows were written only now: its commit timestamp is that of its last.
  if (auto* affected = std::get_if<SqlResult::Affected>(&result->value);
      affected != nullptr && *written && mark && session.deferred_total() > *mark) {
    affected->commit_ts = *written;
  }
  return result;
}

}  // namespace quenlordb::sql::exec
