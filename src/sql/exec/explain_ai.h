// EXPLAIN AI: a plain-text report about one key — the size and quick risk score of its current value,
// a preview when the key names a table row, and every stored insight of the key.
#pragma once

#include <string>
#include <string_view>

#include "ai/records.h"
#include "engine/database.h"
#include "error.h"
#include "sql/exec/session.h"
#include "sql/exec/sql_result.h"

namespace quenlordb::sql::exec {

// The report for key, tried first as the table row "table/{key}", then as a raw key. Reads the
// latest committed state (no snapshot, no valid time), so writes staged in an open transaction are
// not seen. A failed read fails the statement; nothing found is reported, not an error.
Result<SqlResult> execute_explain_ai(Database& db, std::string_view key);

// Appends the block of one insight, two spaces before every line, an empty line after the block.
void format_insight(std::string& out, const ai::AiInsight& insight);

}  // namespace quenlordb::sql::exec
