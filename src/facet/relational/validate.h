// The checks every statement applies to names, primary keys and documents before it builds a key
// or writes. Stateless; safe from any thread.
#pragma once

#include <string_view>

#include "error.h"

namespace quenlordb::facet::relational {

// "pk cannot be empty"; "pk must not contain null bytes". Anything else passes: white space, "/",
// any other character (SqlExecution).
Result<void> validate_pk(std::string_view pk);

// A table, view, index or column name: ASCII letters, digits, "_" and "-" only, case kept.
// kind ("table", "view", "index", "identifier") only shapes the messages "{kind} name cannot be
// empty" and "{kind} name must be ascii alnum/_/-" (SqlExecution).
Result<void> validate_identifier_kind(std::string_view kind, std::string_view name);

// The bytes are one JSON value nested at most 127 levels deep; otherwise SerdeJson with the JSON
// parser's message. Nothing is built.
Result<void> validate_json_bytes(std::string_view bytes);

}  // namespace quenlordb::facet::relational
