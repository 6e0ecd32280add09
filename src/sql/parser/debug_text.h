// The one-line debug text of every tree type, as EXPLAIN shows it to users. Its form is fixed:
//   - a variant without fields is its name:                 Null, Begin, Eq, Integer, UnionAll
//   - unnamed fields in parentheses:                        Column("a"), SystemTimeFromTo(1, 5)
//   - named fields in declaration order:                    IsNull { expr: Column("a"), negated: false }
//   - text in double quotes with \" \\ \n \r \t \0 escaped, other control characters, non-printable
//     characters beyond ASCII and combining marks as \u{hex}; everything else as itself
//   - optional values as None / Some(v), lists as [a, b], pairs as (a, b), owned children as
//     themselves, booleans as true / false, unsigned numbers in decimal
//   - floats in the shortest form that reads back: plain decimal with at least one fractional
//     digit when 0 or 1e-4 <= |x| < 1e16 (0.0, 2.5, 0.0001), otherwise scientific (1e16, 1.5e-5,
//     1.2345678901234568e17); NaN, inf, -inf
// The append forms write into one buffer, so rendering a deep tree makes no text per level.
#pragma once

#include <string>
#include <string_view>

#include "sql/parser/ast.h"

namespace quenlordb::sql::parser {

std::string_view debug_name(BinOperator op);
std::string_view debug_name(SqlType type);
std::string_view debug_name(JoinType type);
std::string_view debug_name(OrderDirection direction);
std::string_view debug_name(SetOpType op);
std::string_view debug_name(CopyFormat format);

void append_debug_text(std::string& out, const Statement& stmt);
void append_debug_text(std::string& out, const Expr& expr);
void append_debug_text(std::string& out, const TableRef& ref);
void append_debug_text(std::string& out, const ColumnDef& column);
void append_debug_text(std::string& out, const JoinSpec& join);
void append_debug_text(std::string& out, const SelectItem& item);
void append_debug_text(std::string& out, const CteClause& cte);
void append_debug_text(std::string& out, const TemporalClause& clause);

template <typename T>
std::string debug_text(const T& value) {
  std::string out;
  append_debug_text(out, value);
  return out;
}

}  // namespace quenlordb::sql::parser
