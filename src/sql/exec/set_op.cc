#include "sql/exec/set_op.h"

#include <string>
#include <string_view>
#include <unordered_set>
#include <utility>
#include <vector>

#include "sql/exec/executor.h"

namespace quenlordb::sql::exec {

using parser::SetOpType;
using parser::Statement;

namespace {

bool is_query(const Statement& stmt) {
  if (stmt.is<Statement::Select>()) return true;
  const Statement::SetOp* s = stmt.get_if<Statement::SetOp>();
  return s && is_query(s->left) && is_query(s->right);
}

QuenlorError not_a_query() { return QuenlorError::sql_execution("set operation requires SELECT statements"); }

Result<std::vector<std::string>> rows_of(Database& db, SqlSession& session, Statement stmt) {
  SqlResult result = TRY(execute_stmt(db, session, std::move(stmt)));
  auto* rows = std::get_if<SqlResult::Rows>(&result.value);
  if (!rows) return fail(not_a_query());
  return std::move(rows->rows);
}

}  // namespace

Result<SqlResult> execute_set_op(Database& db, SqlSession& session, SetOpType op, Statement left, Statement right) {
  if (!is_query(left) || !is_query(right)) return fail(not_a_query());
  std::vector<std::string> a = TRY(rows_of(db, session, std::move(left)));
  std::vector<std::string> b = TRY(rows_of(db, session, std::move(right)));
  SqlResult::Rows out;
  if (op == SetOpType::UnionAll) {
    out.rows = std::move(a);
    out.rows.reserve(out.rows.size() + b.size());
    for (std::string& row : b) out.rows.push_back(std::move(row));
    return SqlResult{std::move(out)};
  }
  std::unordered_set<std::string_view> right_rows;
  if (op != SetOpType::Union) right_rows.insert(b.begin(), b.end());
  std::unordered_set<std::string_view> seen;
  std::vector<std::string*> kept;
  auto emit = [&](std::string& row) {
    if (seen.insert(row).second) kept.push_back(&row);
  };
  for (std::string& row : a) {
    if (op == SetOpType::Intersect && !right_rows.contains(row)) continue;
    if (op == SetOpType::Except && right_rows.contains(row)) continue;
    emit(row);
  }
  if (op == SetOpType::Union) {
    for (std::string& row : b) emit(row);
  }
  // The sets hold views of the rows, so the rows move out only once every check is done.
  out.rows.reserve(kept.size());
  for (std::string* row : kept) out.rows.push_back(std::move(*row));
  return SqlResult{std::move(out)};
}

}  // namespace quenlordb::sql::exec
