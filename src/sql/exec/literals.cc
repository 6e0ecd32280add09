#include "sql/exec/literals.h"

namespace quenlordb::sql::exec {

std::string escape_sql_literal(std::string_view text) {
  std::string out;
  out.reserve(text.size() + 2);
  for (char c : text) {
    if (c == '\\' || c == '\'') out.push_back('\\');
    out.push_back(c);
  }
  return out;
}

}  // namespace quenlordb::sql::exec
