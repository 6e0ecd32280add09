#include "sql/exec/row_writes.h"

#include <algorithm>
#include <cmath>
#include <deque>
#include <map>
#include <optional>
#include <span>
#include <string>

#include <nlohmann/json.hpp>

#include "facet/relational/keys.h"
#include "facet/relational/validate.h"
#include "sql/eval/eval_context.h"
#include "sql/eval/sql_value.h"
#include "sql/exec/facet_upkeep.h"
#include "sql/exec/literals.h"
#include "sql/exec/projection.h"
#include "sql/exec/select_source.h"
#include "sql/parser/analysis.h"
#include "sql/parser/text.h"
#include "util/json_members.h"
#include "util/json_record.h"
#include "util/json_text.h"
#include "util/utf8.h"

namespace quenlordb::sql::exec {

namespace rel = facet::relational;

// Numbers are doubles: from 2^53 on, neighbouring integers share one, and so would share a key. A
// literal of that magnitude rounds to a double of that magnitude (rounding keeps order, and 2^53 is
// a double), so testing the double refuses every such literal; it also refuses the few written just
// below 2^53 that round up to it (such as 9007199254740991.5), which would be stored under a key
// other than written.
bool inexact_key_number(double value) {
  constexpr double kExactIntegerLimit = 9007199254740992.0;
  return !(std::fabs(value) < kExactIntegerLimit);
}

QuenlorError inexact_key_error(std::string_view written) {
  return QuenlorError::sql_execution("primary key number " + std::string(written) +
                                     " cannot be stored exactly; write it as a text");
}

namespace {

// The number a primary-key value names, as the statement writes it: a literal's text (with its
// minus), or for any other expression its value's positional text.
std::string written_number(const parser::Expr& expr, const eval::SqlValue& value) {
  const parser::Expr* literal = &expr;
  std::string sign;
  if (const auto* op = expr.get_if<parser::Expr::BinOp>(); op && op->op == parser::BinOperator::Sub) {
    const auto* zero = op->left.get_if<parser::Expr::NumberLit>();
    if (zero && zero->text.empty()) {  // a unary minus
      literal = &op->right;
      sign = "-";
    }
  }
  const auto* number = literal->get_if<parser::Expr::NumberLit>();
  if (number && !number->text.empty()) return sign + number->text;
  return eval::to_sort_string(value);
}

SqlResult inserted_one(std::optional<std::uint64_t> ts) {
  return SqlResult{SqlResult::Affected{1, ts, "inserted 1 row"}};
}

using Tables = std::span<const eval::TableBinding>;

// Whether evaluating expr can fail on some row: only function calls and CAST ever do.
bool may_fail(const parser::Expr& expr) {
  return parser::expr_any_node(
      expr, [](const parser::Expr& e) { return e.is<parser::Expr::Function>() || e.is<parser::Expr::Cast>(); });
}

// The primary key `pk = 'k'` fixes when it is one of the conditions WHERE joins by AND, and
// reading that one row answers for the scan: AND evaluates its conditions left to right and stops
// at the first false one, so on a row of any other key only the conditions before the key's are
// evaluated, and those must be unable to fail (the scan would otherwise meet their errors). The
// first such condition counts. Walks the chain left to right; none when no condition qualifies.
std::optional<std::string_view> fixed_pk(const parser::Expr& filter, bool& blocked) {
  if (blocked) return std::nullopt;
  if (const auto* op = filter.get_if<parser::Expr::BinOp>(); op && op->op == parser::BinOperator::And) {
    if (std::optional<std::string_view> pk = fixed_pk(op->left, blocked)) return pk;
    return fixed_pk(op->right, blocked);
  }
  if (const std::string* pk = parser::pk_eq_literal(filter)) return *pk;
  blocked = may_fail(filter);
  return std::nullopt;
}

std::optional<std::string_view> fixed_pk(const std::optional<parser::Expr>& filter) {
  bool blocked = false;
  return filter ? fixed_pk(*filter, blocked) : std::nullopt;
}

// Visits the live rows of the table an UPDATE or DELETE names that WHERE keeps, at its temporal
// clauses, after the checks of the table, each with the context (the table's name bound to it)
// WHERE was evaluated in: the one row of the primary key WHERE fixes (see fixed_pk), read through
// the session, or else the rows of a scan; the errors are those of visit_rows_where. When WHERE is
// the key's equality alone, the row read by that key satisfies it and it is not evaluated.
Result<void> visit_target_rows(Database& db, SqlSession& session, const std::string& table,
                               const std::optional<parser::Expr>& filter, std::optional<std::uint64_t> as_of,
                               std::optional<std::uint64_t> valid_at,
                               util::FunctionRef<Result<void>(eval::EvalContext&)> visit) {
  TRY(rel::validate_identifier_kind("table", table));
  TRY(read_table_schema(db, session, table));
  const eval::TableBinding self{table};
  if (const std::optional<std::string_view> pk = fixed_pk(filter)) {
    const std::optional<std::string> doc = TRY(read_live_key(db, session, rel::row_key(table, *pk), as_of, valid_at));
    if (!doc) return {};
    util::JsonMembers scratch;
    eval::EvalContext context(eval::RowView{*pk, *doc}, Tables(&self, 1), scratch);
    if (parser::pk_eq_literal(*filter) == nullptr && !eval::is_truthy(TRY(context.eval(*filter)))) return {};
    return visit(context);
  }
  const parser::Expr* where = filter ? &*filter : nullptr;
  return visit_rows_where(db, session, table, as_of, valid_at, where, Tables(&self, 1), visit);
}

// Whether the writer of a parsed document (dump_json_compact) writes a name or a member's value as
// it stands in the text: a name or string without escapes (nor, for a name, control characters),
// true, false, null, or an integer of at most 18 digits (a negative zero is written "0").
bool written_as_is(std::string_view name) {
  return std::ranges::none_of(name, [](char c) { return c == '"' || c == '\\' || static_cast<unsigned char>(c) < 0x20; });
}

bool written_as_is(const util::JsonMembers::Value& value) {
  switch (value.kind) {
    case util::JsonKind::Null:
    case util::JsonKind::False:
    case util::JsonKind::True: return true;
    case util::JsonKind::String: return value.text.find('\\') == std::string_view::npos;
    case util::JsonKind::Number: {
      std::string_view digits = value.text;
      if (digits.starts_with('-')) digits.remove_prefix(1);
      if (digits.empty() || digits.size() > 18 || value.text == "-0") return false;
      return std::ranges::all_of(digits, [](char c) { return c >= '0' && c <= '9'; });
    }
    default: return false;
  }
}

// Whether the object's text is what the writer gives for its tree: members in strictly ascending
// byte order of their names, each written as it is.
bool written_as_tree(const util::JsonMembers& members) {
  if (!members.indexed() || !members.is_object()) return false;
  std::string_view previous;
  for (std::size_t i = 0; i < members.size(); ++i) {
    const util::JsonMembers::Entry entry = members.entry(i);
    if (entry.name_escaped || (i > 0 && !(previous < entry.name)) || !written_as_is(entry.value)) return false;
    previous = entry.name;
  }
  return true;
}

// The document an UPDATE writes for one row, and whether it was written on the stored text: every
// member but the assigned ones is then the stored member, byte for byte.
struct UpdatedDocument {
  std::string text;
  bool on_stored_text = false;
};

// The document an UPDATE writes for one row, read through the row's context.
Result<UpdatedDocument> updated_document(const parser::Statement::Update& stmt, eval::EvalContext& context) {
  if (stmt.set_assignments.empty()) {
    eval::SqlValue value = TRY(context.eval(stmt.set_doc));
    if (!value.is_text()) return fail(QuenlorError::sql_execution("UPDATE SET doc must evaluate to a string"));
    TRY(rel::validate_json_bytes(value.text_value()));
    return UpdatedDocument{std::move(value).text_value()};
  }
  // An object stored as the writer writes its tree is rewritten on its text: the members as they
  // stand, each assigned one replaced or placed in name order, gives the bytes of the tree's way.
  const util::JsonMembers members(context.doc());
  if (written_as_tree(members) &&
      std::ranges::all_of(stmt.set_assignments, [](const auto& a) { return written_as_is(a.first); })) {
    std::vector<eval::SqlValue> values;
    values.reserve(stmt.set_assignments.size());
    for (const auto& assignment : stmt.set_assignments) values.push_back(TRY(context.eval(assignment.second)));
    // Each name with its value's text, in name order; of repeated names the later assignment wins.
    std::vector<std::pair<std::string_view, std::string>> assigned;
    assigned.reserve(values.size());
    for (std::size_t i = 0; i < values.size(); ++i) {
      std::string text;
      if (values[i].is_text() && util::validate_utf8(values[i].text_value())) {
        util::append_json_string(text, values[i].text_value());
      } else {
        Result<std::string> dumped = util::dump_json_compact(eval::sql_value_to_json(values[i]));
        if (!dumped) {
          // The tree's writer meets the same value and fails as it does.
          nlohmann::json doc = context.document();
          for (std::size_t j = 0; j < values.size(); ++j) {
            doc[stmt.set_assignments[j].first] = eval::sql_value_to_json(values[j]);
          }
          return UpdatedDocument{TRY(util::dump_json_compact(doc))};
        }
        text = std::move(*dumped);
      }
      assigned.emplace_back(stmt.set_assignments[i].first, std::move(text));
    }
    std::ranges::stable_sort(assigned, {}, &std::pair<std::string_view, std::string>::first);
    const auto repeated = std::ranges::unique(assigned.rbegin(), assigned.rend(), {},
                                              &std::pair<std::string_view, std::string>::first);
    assigned.erase(assigned.begin(), repeated.begin().base());
    std::string out;
    out.reserve(context.doc().size() + 16 * assigned.size());
    out.push_back('{');
    auto add = [&](std::string_view name, std::string_view value) {
      if (out.size() > 1) out.push_back(',');
      out.append("\"").append(name).append("\":").append(value);
    };
    auto next = assigned.begin();
    for (std::size_t i = 0; i < members.size(); ++i) {
      const util::JsonMembers::Entry entry = members.entry(i);
      for (; next != assigned.end() && next->first < entry.name; ++next) add(next->first, next->second);
      if (next != assigned.end() && next->first == entry.name) {
        add(next->first, next->second);
        ++next;
      } else {
        add(entry.name, entry.value.text);
      }
    }
    for (; next != assigned.end(); ++next) add(next->first, next->second);
    out.push_back('}');
    return UpdatedDocument{std::move(out), true};
  }
  // The context keeps the document as stored, so every assignment reads the row as it was; the new
  // document is a copy. The context reads a document that does not parse as null: tell that from a
  // stored null, which is written back as it is.
  const nlohmann::json& stored = context.document();
  nlohmann::json doc = stored.is_null() && !util::check_json_text(context.doc()) ? nlohmann::json::object() : stored;
  if (doc.is_object()) {
    for (const auto& [name, expr] : stmt.set_assignments) doc[name] = eval::sql_value_to_json(TRY(context.eval(expr)));
  }
  return UpdatedDocument{TRY(util::dump_json_compact(doc))};
}

// Whether an index over one of indexes reads a member the UPDATE assigns, or the whole document.
bool indexes_read_assigned(const std::vector<std::vector<std::string>>& indexes,
                           const parser::Statement::Update& stmt) {
  for (const std::vector<std::string>& columns : indexes) {
    for (const std::string& column : columns) {
      if (parser::eq_ignore_ascii_case(column, "doc")) return true;
      for (const auto& assignment : stmt.set_assignments) {
        if (assignment.first == column) return true;
      }
    }
  }
  return false;
}

// A row an INSERT form wrote, and the timestamp of its write (none inside a transaction).
struct WrittenRow {
  std::string pk;
  std::string doc;
  std::optional<std::uint64_t> ts;
};

// The row of a column list and its values: each value evaluated as a constant expression and
// stored under its column's name; the column equal to the schema's pk (ignoring ASCII case) gives
// the primary key. The row is written, then the table's facets are kept up.
Result<WrittenRow> insert_typed_row(Database& db, SqlSession& session, const std::string& table,
                                    const std::vector<std::string>& columns, const std::vector<parser::Expr>& values) {
  TRY(rel::validate_identifier_kind("table", table));
  const rel::TableSchemaMetadata schema = TRY(load_table_schema(db, session, table));

  std::optional<std::string> pk;
  std::optional<std::string> pk_inexact;  // a number inexact_key_number refuses, as written
  nlohmann::json doc = nlohmann::json::object();
  const std::size_t pairs = std::min(columns.size(), values.size());
  for (std::size_t i = 0; i < pairs; ++i) {
    eval::SqlValue value = TRY(eval_const_expr(values[i]));
    const std::string& column = columns[i];
    if (parser::eq_ignore_ascii_case(column, schema.pk)) {
      pk_inexact.reset();
      if (value.is_text()) {
        pk = value.text_value();
      } else if (value.is_number()) {
        pk = eval::to_sort_string(value);
        if (inexact_key_number(value.number_value())) pk_inexact = written_number(values[i], value);
      } else {
        return fail(QuenlorError::sql_execution("primary key must be text or number"));
      }
    }
    doc[column] = eval::sql_value_to_json(value);
  }
  if (!pk) return fail(QuenlorError::sql_execution("INSERT must include primary key column '" + schema.pk + "'"));
  if (pk_inexact) return fail(inexact_key_error(*pk_inexact));
  TRY(rel::validate_pk(*pk));
  std::string text = TRY(util::dump_json_compact(doc));
  WrittenRow row{std::move(*pk), std::move(text), std::nullopt};
  // The row's lists and buckets are staged first, so that the row is written after them.
  TRY(upkeep_inserted_row(db, session, table, row.pk, row.doc));
  row.ts = TRY(write_put(db, session, rel::row_key(table, row.pk), row.doc));
  return row;
}

SqlResult written(std::uint64_t rows, std::optional<std::uint64_t> ts, std::string_view verb) {
  return SqlResult{SqlResult::Affected{rows, ts, std::string(verb) + " " + std::to_string(rows) + " row(s)"}};
}

}  // namespace

namespace {

Result<SqlResult> insert_row(Database& db, SqlSession& session, std::string_view table, std::string_view pk,
                             std::string doc) {
  TRY(rel::validate_identifier_kind("table", table));
  TRY(read_table_schema(db, session, table));
  TRY(rel::validate_pk(pk));
  TRY(rel::validate_json_bytes(doc));
  if (session.in_transaction()) {
    // The document moves into the staged write, which keeps it in place for the upkeep to read.
    const PendingPut& put = session.stage(rel::row_key(table, pk), std::move(doc));
    TRY(upkeep_inserted_row(db, session, table, pk, put.value));
    return inserted_one(std::nullopt);
  }
  // The row's lists and buckets are staged first, so that the row is written after them.
  TRY(upkeep_inserted_row(db, session, table, pk, doc));
  const std::optional<std::uint64_t> ts = TRY(write_put(db, session, rel::row_key(table, pk), std::move(doc)));
  return inserted_one(ts);
}

}  // namespace

Result<SqlResult> execute_insert(Database& db, SqlSession& session, parser::Statement::Insert&& stmt) {
  return insert_row(db, session, stmt.table, stmt.pk, std::move(stmt.doc));
}

Result<SqlResult> execute_row_insert(Database& db, SqlSession& session, const parser::RowInsert& row) {
  const std::string pk = parser::quoted_value(row.pk);
  return insert_row(db, session, row.table, pk, parser::quoted_value(row.doc));
}

Result<SqlResult> execute_insert_typed(Database& db, SqlSession& session, const parser::Statement::InsertTyped& stmt) {
  const WrittenRow row = TRY(insert_typed_row(db, session, stmt.table, stmt.columns, stmt.values));
  return inserted_one(row.ts);
}

Result<SqlResult> execute_insert_returning(Database& db, SqlSession& session,
                                           const parser::Statement::InsertReturning& stmt) {
  const WrittenRow row = TRY(insert_typed_row(db, session, stmt.table, stmt.columns, stmt.values));
  // One context for every item, so that the document is parsed at most once. The table's name
  // qualifies the row's names, as a FROM name does in a query.
  eval::EvalContext context(row.pk, row.doc);
  const eval::TableBinding self{stmt.table};
  context.bind_tables(Tables(&self, 1));
  nlohmann::json out = nlohmann::json::object();
  for (const parser::SelectItem& item : stmt.returning) {
    if (item.is<parser::SelectItem::AllColumns>()) {
      const nlohmann::json& doc = context.document();
      if (doc.is_object()) out.update(doc);
      continue;
    }
    TRY(project_expr_item(context, *item.get_if<parser::SelectItem::Expr>(), out));
  }
  return SqlResult{SqlResult::Rows{{write_json(out)}}};
}

Result<SqlResult> execute_update(Database& db, SqlSession& session, const parser::Statement::Update& stmt) {
  // WHERE runs over every row before the first write (its error ends the statement with nothing
  // written). A kept row's new document is computed in the context WHERE read, so that its
  // document is parsed once; the first failure of that computation is returned after the rows
  // before it are written, as if each row were computed just before its write.
  struct Planned {
    std::string pk;
    std::string doc;
    bool reindex = true;  // whether the new document can add the row to a posting list
  };
  std::vector<Planned> planned;
  std::optional<QuenlorError> failed;
  // Without AS OF and VALID AT the statement reads each row's live version, whose text was indexed
  // when it was written: a new document whose indexed text is the same adds the row to no list. A
  // version read at another time may never have been indexed (one older than the index, say), so
  // its row is indexed again.
  const bool reads_live = !stmt.as_of && !stmt.valid_at;
  SqlSession::FtsColumns indexes;  // listed at the first row kept
  bool assigned_indexed = true;    // whether an index reads an assigned member (or the whole document)
  TRY(visit_target_rows(db, session, stmt.table, stmt.filter, stmt.as_of, stmt.valid_at,
                        [&](eval::EvalContext& context) -> Result<void> {
                          if (failed) return {};
                          Result<UpdatedDocument> doc = updated_document(stmt, context);
                          if (!doc) {
                            failed = std::move(doc.error());
                            return {};
                          }
                          if (!indexes) {
                            indexes = TRY(upkeep_fts_indexes(db, session, stmt.table));
                            assigned_indexed = indexes_read_assigned(*indexes, stmt);
                          }
                          // A document rewritten on its stored text keeps every member but the
                          // assigned ones as it was: when no index reads those (nor the whole
                          // document), every index reads the same text from it.
                          bool reindex = !indexes->empty();
                          if (reads_live && reindex) {
                            reindex = (assigned_indexed || !doc->on_stored_text) &&
                                      fts_upkeep_adds(*indexes, context.doc(), doc->text);
                          }
                          planned.push_back(Planned{std::string(context.pk()), std::move(doc->text), reindex});
                          return {};
                        }));
  std::optional<std::uint64_t> last_ts;
  // A statement writing one row tests its lists in place before staging them; one writing many
  // rows meets most lists again, so the test would only add a read of each.
  const bool test_in_place = planned.size() == 1;
  for (Planned& row : planned) {
    // The new text of the row joins the posting lists, so that MATCH finds what the row now holds;
    // staged first, so that the row is written after its lists.
    if (row.reindex) {
      TRY(update_fts_indexes(db, session, stmt.table, row.pk, row.doc, /*listed_before=*/test_in_place));
    }
    std::optional<std::uint64_t> ts =
        TRY(write_put(db, session, rel::row_key(stmt.table, row.pk), std::move(row.doc)));
    if (ts) last_ts = ts;
  }
  if (failed) return fail(std::move(*failed));
  return written(planned.size(), last_ts, "updated");
}

Result<SqlResult> execute_delete(Database& db, SqlSession& session, const parser::Statement::Delete& stmt) {
  // WHERE runs over every row before the first tombstone is written.
  std::vector<std::string> kept;
  TRY(visit_target_rows(db, session, stmt.table, stmt.filter, stmt.as_of, stmt.valid_at,
                        [&](eval::EvalContext& context) -> Result<void> {
                          kept.emplace_back(context.pk());
                          return {};
                        }));
  std::optional<std::uint64_t> last_ts;
  for (const std::string& pk : kept) {
    std::optional<std::uint64_t> ts = TRY(write_put(db, session, rel::row_key(stmt.table, pk), std::string()));
    if (ts) last_ts = ts;
  }
  return written(kept.size(), last_ts, "deleted");
}

}  // namespace quenlordb::sql::exec
