#include "sql/eval/text_search.h"

#include <string.h>

namespace quenlordb::sql::eval {

std::size_t find_text(std::string_view text, std::string_view needle, std::size_t from) {
  if (from > text.size()) return std::string_view::npos;
  if (needle.empty()) return from;
  if (needle.size() > text.size() - from) return std::string_view::npos;
  const void* at = ::memmem(text.data() + from, text.size() - from, needle.data(), needle.size());
  if (at == nullptr) return std::string_view::npos;
  return static_cast<std::size_t>(static_cast<const char*>(at) - text.data());
}

}  // namespace quenlordb::sql::eval
