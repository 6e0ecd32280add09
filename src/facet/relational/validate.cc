#include "facet/relational/validate.h"

#include <string>

#include "util/json_members.h"
#include "util/json_record.h"

namespace quenlordb::facet::relational {

namespace {

bool is_identifier_char(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_' || c == '-';
}

}  // namespace

Result<void> validate_pk(std::string_view pk) {
  if (pk.empty()) return fail(QuenlorError::sql_execution("pk cannot be empty"));
  if (pk.find('\0') != std::string_view::npos) {
    return fail(QuenlorError::sql_execution("pk must not contain null bytes"));
  }
  return {};
}

Result<void> validate_identifier_kind(std::string_view kind, std::string_view name) {
  if (name.empty()) return fail(QuenlorError::sql_execution(std::string(kind) + " name cannot be empty"));
  for (char c : name) {
    if (!is_identifier_char(c)) {
      return fail(QuenlorError::sql_execution(std::string(kind) + " name must be ascii alnum/_/-"));
    }
  }
  return {};
}

Result<void> validate_json_bytes(std::string_view bytes) {
  // The index of a document's members decides as the checker does, and reads the common document,
  // a plain object, much faster; only a text it does not take needs the checker (and its message).
  if (const util::JsonMembers members(bytes); members.is_document()) return {};
  return util::check_json_text(bytes);
}

}  // namespace quenlordb::facet::relational
