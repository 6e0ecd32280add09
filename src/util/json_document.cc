#include "util/json_document.h"

namespace quenlordb::util {

Result<nlohmann::json> parse_json_document(std::string_view text) {
  using Builder = json_tree_detail::TreeBuilder<nlohmann::json, json_tree_detail::RepeatedKeys::KeepLast>;
  return Builder().parse(text);
}

Result<nlohmann::json> parse_json_document(std::string_view text, std::size_t max_depth) {
  using Builder = json_tree_detail::TreeBuilder<nlohmann::json, json_tree_detail::RepeatedKeys::KeepLast>;
  return Builder(max_depth).parse(text);
}

}  // namespace quenlordb::util
