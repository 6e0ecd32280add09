#include "util/json_tree.h"

namespace quenlordb::util::json_tree_detail {

std::string parser_message(const char* what) {
  std::string_view text(what);
  if (text.starts_with("[json.exception.")) {
    const std::size_t close = text.find("] ");
    if (close != std::string_view::npos) text.remove_prefix(close + 2);
  }
  return std::string(text);
}

}  // namespace quenlordb::util::json_tree_detail
