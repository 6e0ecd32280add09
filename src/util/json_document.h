// Reading a stored document (or any JSON text read as a generic value) under the system's JSON
// rules: exactly one value, nesting at most kJsonMaxDepth deep, object keys in byte order, and the
// last of repeated keys kept. Every reader of documents goes through here, so the rules hold in one
// place. Thread-safe; allocates the value it returns.
#pragma once

#include <string_view>

#include <nlohmann/json.hpp>

#include "error.h"
#include "util/json_tree.h"

namespace quenlordb::util {

// The parsed value, or a SerdeJson error carrying the parser's message ("recursion limit exceeded"
// past the nesting limit).
Result<nlohmann::json> parse_json_document(std::string_view text);
// The same with containers allowed max_depth deep: for a text that holds documents inside
// containers of its own (a file's array, a wrapper object), whose reader then takes the documents
// out of it.
Result<nlohmann::json> parse_json_document(std::string_view text, std::size_t max_depth);

}  // namespace quenlordb::util
