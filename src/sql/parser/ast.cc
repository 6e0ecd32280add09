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

// Copies and comparisons tolerate empty (moved-from) handles so that no walker dereferences null.

Expr::Expr() : node_(std::make_unique<Node>(Null{})) {}

Expr::Expr(const Expr& other) : node_(other.node_ ? std::make_unique<Node>(*other.node_) : nullptr) {}

Expr& Expr::operator=(const Expr& other) {
  if (this != &other) node_ = other.node_ ? std::make_unique<Node>(*other.node_) : nullptr;
  return *this;
}

Expr& Expr::operator=(Expr&& other) noexcept = default;

Expr::~Expr() = default;

bool operator==(const Expr& a, const Expr& b) {
  if (!a.node_ || !b.node_) return a.node_ == b.node_;
  return *a.node_ == *b.node_;
}

Statement::Statement(const Statement& other)
    : node_(other.node_ ? std::make_unique<Node>(*other.node_) : nullptr) {}

Statement& Statement::operator=(const Statement& other) {
  if (this != &other) node_ = other.node_ ? std::make_unique<Node>(*other.node_) : nullptr;
  return *this;
}

Statement& Statement::operator=(Statement&& other) noexcept = default;

Statement::~Statement() = default;

bool operator==(const Statement& a, const Statement& b) {
  if (!a.node_ || !b.node_) return a.node_ == b.node_;
  return *a.node_ == *b.node_;
}

}  // namespace quenlordb::sql::parser
