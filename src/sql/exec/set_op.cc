#include "sql/exec/set_op.h"

#include <string>
#include <string_view>
#include <unordered_set>
#include <utility>
#include <vector>

#include "sql/exec/executor.h"
#include "util/json_scan.h"

namespace quenlordb::sql::exec {

using parser::SetOpType;
using parser::Statement;

namespace {

bool is_query(const Statement& stmt) {
  if (stmt.is<Statement::Select>()) return true;
  const Statement::SetOp* s = stmt.get_if<Statement::SetOp>();
  return s && is_query(s->left) && is_query(s->right);
}

// Finds the numbers of a JSON text that read as -0 ("-0", "-0.0", "-0e3", "-1e-400").
struct NegativeZeros : util::JsonNoEvents {
  std::string_view text;
  std::vector<std::size_t> signs;  // offsets of their '-'

  bool number(std::string_view token) {
    if (token.front() == '-' && util::json_number_value(token) == 0) {
      signs.push_back(static_cast<std::size_t>(token.data() - text.data()));
    }
    return true;
  }
};

// Rows are compared and returned with -0 written as 0, so that the -0 that x % 3 gives over -3
// and the 0 it gives over 3 are one row. Only the sign byte goes: every other byte stays, and a
// row that is not a JSON text is left as it is.
void drop_negative_zero_signs(std::string& row) {
  // Such a number starts "-0", or underflows through a negative exponent.
  if (row.find("-0") == std::string::npos && row.find("e-") == std::string::npos &&
      row.find("E-") == std::string::npos) {
    return;
  }
  NegativeZeros zeros;
  zeros.text = row;
  util::JsonScanner<NegativeZeros> scanner(row, zeros);
  if (!scanner.parse_document() || zeros.signs.empty()) return;
  std::string out;
  out.reserve(row.size() - zeros.signs.size());
  std::size_t from = 0;
  for (std::size_t at : zeros.signs) {
    out.append(row, from, at - from);
    from = at + 1;
  }
  out.append(row, from, std::string::npos);
  row = std::move(out);
}

QuenlorError not_a_query() { return QuenlorError::sql_execution("set operation requires SELECT statements"); }

Result<std::vector<std::string>> rows_of(Database& db, SqlSession& session, Statement stmt) {
  SqlResult result = TRY(execute_stmt(db, session, std::move(stmt)));
  auto* rows = std::get_if<SqlResult::Rows>(&result.value);
  if (!rows) return fail(not_a_query());
  return rows->rows.strings();
}

}  // namespace

Result<SqlResult> execute_set_op(Database& db, SqlSession& session, SetOpType op, Statement left, Statement right) {
  if (!is_query(left) || !is_query(right)) return fail(not_a_query());
  std::vector<std::string> a = TRY(rows_of(db, session, std::move(left)));
  std::vector<std::string> b = TRY(rows_of(db, session, std::move(right)));
  for (std::string& row : a) drop_negative_zero_signs(row);
  for (std::string& row : b) drop_negative_zero_signs(row);
  SqlResult::Rows out;
  if (op == SetOpType::UnionAll) {
    out.rows.reserve(a.size() + b.size());
    for (const std::string& row : a) out.rows.push_back(row);
    for (const std::string& row : b) out.rows.push_back(row);
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
  out.rows.reserve(kept.size());
  for (const std::string* row : kept) out.rows.push_back(*row);
  return SqlResult{std::move(out)};
}

}  // namespace quenlordb::sql::exec
