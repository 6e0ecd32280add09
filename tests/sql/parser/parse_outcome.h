// Test helpers for the statement grammar: what a statement text parses to, as one comparable line.
// The debug text is the oracle for a parse result; a failure shows as "error: " and its message.
#pragma once

#include <gtest/gtest.h>

#include <initializer_list>
#include <string>
#include <string_view>
#include <utility>

#include "sql/parser/debug_text.h"
#include "sql/parser/parser.h"

namespace quenlordb::sql::parser::testing {

// The debug text of the statement, or "error: {message}" for a parse failure (which must be of the
// SqlParse kind).
inline std::string parse_outcome(std::string_view sql) {
  auto parsed = parse_sql(sql);
  if (parsed) return debug_text(*parsed);
  EXPECT_EQ(parsed.error().kind(), ErrorKind::SqlParse) << sql;
  return "error: " + parsed.error().message();
}

struct ParseCase {
  std::string_view sql;
  std::string expected;  // debug text, or "error: " and the message
};

inline void expect_outcomes(std::initializer_list<ParseCase> cases) {
  for (const ParseCase& c : cases) EXPECT_EQ(parse_outcome(c.sql), c.expected) << c.sql;
}

// The debug text of a Select whose fields are those given (by name, as debug text) and otherwise
// those of SELECT * FROM t.
inline std::string select_text(std::initializer_list<std::pair<std::string_view, std::string_view>> fields) {
  static constexpr std::pair<std::string_view, std::string_view> kDefaults[] = {
      {"ctes", "[]"},        {"from", "Named(\"t\")"}, {"items", "[AllColumns]"}, {"join", "None"},
      {"filter", "None"},    {"as_of", "None"},        {"valid_at", "None"},      {"temporal", "[]"},
      {"group_by", "None"},  {"having", "None"},       {"order_by", "None"},      {"limit", "None"},
  };
  for (const auto& field : fields) {
    bool known = false;
    for (const auto& d : kDefaults) known = known || d.first == field.first;
    EXPECT_TRUE(known) << "no Select field " << field.first;
  }
  std::string out = "Select { ";
  bool first = true;
  for (const auto& [name, default_value] : kDefaults) {
    std::string_view value = default_value;
    for (const auto& field : fields) {
      if (field.first == name) value = field.second;
    }
    if (!first) out += ", ";
    first = false;
    out.append(name).append(": ").append(value);
  }
  return out + " }";
}

}  // namespace quenlordb::sql::parser::testing
