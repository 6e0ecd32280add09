// Projection: the output rows of a query from its surviving rows and its SELECT list, and the
// naming and decoding that the grouped, joined and windowed paths and RETURNING share.
//
// An output row is the stored document unchanged for `SELECT doc`, else the compact JSON text of
// one object whose keys are in byte order. Values go through sql_value_to_json, so a number read
// from a document comes out as a float (30 becomes 30.0) while `*` carries the document as stored.
// Writing never fails on text that is not UTF-8: invalid sequences become U+FFFD.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include <nlohmann/json.hpp>

#include "error.h"
#include "sql/eval/eval_context.h"
#include "sql/exec/sql_result.h"
#include "sql/parser/ast.h"

namespace quenlordb::sql::exec {

// The shapes of a SELECT list that projection and the pipeline tell apart.
enum class ProjectionClass : int {
  Doc = 0,         // exactly `doc`
  PkAndDoc = 1,    // exactly `pk, doc`
  Count = 2,       // exactly `count(*)`
  PkAndCount = 3,  // exactly `pk, count(*)`
  General = 4,
};

ProjectionClass detect_legacy_projection(const std::vector<parser::SelectItem>& items);

// True when the list is exactly one unaliased count(*) (any letter case).
bool is_plain_count_star(const std::vector<parser::SelectItem>& items);

// The bytes as JSON (under the system's JSON rules); when they do not parse, a JSON string of the
// bytes decoded as UTF-8 with every invalid sequence replaced by U+FFFD.
nlohmann::json decode_row_json(std::string_view bytes);

// The output name of an unaliased expression: a column's name, `col.a.b` for a field access,
// `name(arg, ...)` for a call (window functions too), "*" for a star, "?" for anything else.
std::string expr_display_name(const parser::Expr& expr);

// Compact JSON text of a value, with invalid UTF-8 in strings replaced rather than refused.
std::string write_json(const nlohmann::json& value);

// Sets the output member of an expression item to its value: the member named by the alias, else
// by the expression's display name, becomes the value under sql_value_to_json, replacing a member of
// that name.
void set_item_member(const parser::SelectItem::Expr& item, const eval::SqlValue& value, nlohmann::json& out);

// Evaluates an expression item against the row and sets its output member (set_item_member).
Result<void> project_expr_item(eval::EvalContext& ctx, const parser::SelectItem::Expr& item, nlohmann::json& out);

// The output row of one row under a SELECT list of the given class (not Count or PkAndCount),
// evaluated with the row's context so that its document is parsed at most once.
Result<std::string> project_row(eval::EvalContext& ctx, const std::vector<parser::SelectItem>& items,
                                ProjectionClass cls);

// The projection of one query's rows, decided once for its SELECT list: project_row, except that a
// list of one item naming the row's primary key (the column `pk` in any ASCII letter case, with or
// without an alias) writes {"<name>":"<pk>"} straight from the key, the bytes project_row writes,
// without evaluating the item. The items must outlive the projection; one thread at a time.
class RowProjection {
 public:
  explicit RowProjection(const std::vector<parser::SelectItem>& items);

  // Appends the output row of the context's row (project_row) to out.
  Result<void> project(eval::EvalContext& ctx, RowList& out);

 private:
  const std::vector<parser::SelectItem>& items_;
  ProjectionClass cls_;
  std::string pk_member_;  // `{"<name>":` for a list that names only pk, else empty
  std::string scratch_;    // the row being written, its room kept from row to row
};

// One output row per row, in order; the first evaluation error fails the whole call.
Result<SqlResult> project_rows(const std::vector<eval::VisibleRow>& rows, const std::vector<parser::SelectItem>& items);

}  // namespace quenlordb::sql::exec
