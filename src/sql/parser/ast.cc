#include "sql/parser/ast.h"

#include "util/unicode.h"

namespace quenlordb::sql::parser {

std::optional<SqlType> SqlType::from_str_name(std::string_view word) {
  const std::string upper = util::to_upper_full(word);
  static constexpr std::pair<std::string_view, Kind> kNames[] = {
      {"INT", Integer},  {"INTEGER", Integer}, {"BIGINT", Integer}, {"REAL", Real},    {"FLOAT", Real},
      {"DOUBLE", Real},  {"TEXT", Text},       {"STRING", Text},    {"VARCHAR", Text}, {"BOOL", Boolean},
      {"BOOLEAN", Boolean}, {"BLOB", Blob},    {"BYTES", Blob},     {"JSON", Json},
  };
  for (const auto& [name, kind] : kNames) {
    if (upper == name) return SqlType(kind);
  }
  return std::nullopt;
}

// The handles' special members, defined where their boxes are complete.

Expr::Expr() : TreeHandle(std::in_place, Null{}) {}
Expr::Expr(const Expr& other) = default;
Expr& Expr::operator=(const Expr& other) = default;
Expr& Expr::operator=(Expr&& other) noexcept = default;
Expr::~Expr() = default;

Statement::Statement(const Statement& other) = default;
Statement& Statement::operator=(const Statement& other) = default;
Statement& Statement::operator=(Statement&& other) noexcept = default;
Statement::~Statement() = default;

}  // namespace quenlordb::sql::parser
