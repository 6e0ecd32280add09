#include "sql/exec/match_filter.h"

namespace quenlordb::sql::exec {

Result<std::optional<std::vector<std::string>>> extract_match_filter(const parser::Expr&, std::string_view,
                                                                     Database&) {
  return std::optional<std::vector<std::string>>();
}

}  // namespace quenlordb::sql::exec
