#include "sql/exec/explain.h"

#include <chrono>
#include <string_view>
#include <type_traits>
#include <variant>

#include "facet/relational/keys.h"
#include "sql/exec/executor.h"
#include "sql/exec/select_source.h"
#include "sql/parser/analysis.h"
#include "sql/parser/text.h"
#include "sql/planner/planner.h"

namespace quenlordb::sql::exec {

namespace {

using parser::Statement;

// The select list is exactly the column doc, unaliased.
bool selects_doc_alone(const Statement::Select& select) {
  if (select.items.size() != 1) return false;
  const auto* item = select.items[0].get_if<parser::SelectItem::Expr>();
  if (item == nullptr || item->alias) return false;
  const auto* column = item->expr.get_if<parser::Expr::Column>();
  return column != nullptr && parser::eq_ignore_ascii_case(column->name, "doc");
}

std::uint64_t growth(std::uint64_t before, std::uint64_t after) { return after > before ? after - before : 0; }

}  // namespace

std::optional<std::string> storage_probe_pk(const Statement& stmt) {
  const auto* select = stmt.get_if<Statement::Select>();
  if (select == nullptr || !select->from.is<parser::TableRef::Named>() || !selects_doc_alone(*select) ||
      select->join) {
    return std::nullopt;
  }
  return parser::extract_pk_eq_literal(select->filter);
}

void append_storage_line(std::string& out, const engine::GetExplain& probe) {
  out += "\nStorage: shard_id=";
  out += std::to_string(probe.shard_id);
  out += " bloom_hit=";
  out += !probe.bloom_hit ? "None" : *probe.bloom_hit ? "Some(true)" : "Some(false)";
  out += " sstable_block=";
  if (probe.sstable_block) {
    out += "Some(";
    out += std::to_string(*probe.sstable_block);
    out += ')';
  } else {
    out += "None";
  }
  out += " commit_ts_used=";
  out += std::to_string(probe.commit_ts_used);
}

std::string explain_analyze_text(std::uint64_t elapsed_us, const SqlResult& result,
                                 const std::optional<engine::DbStats>& before,
                                 const std::optional<engine::DbStats>& after, std::optional<double> plan_cost) {
  std::uint64_t rows_returned = 0;
  std::string_view suffix_name;
  std::string_view suffix;
  std::visit(
      [&](const auto& r) {
        using R = std::decay_t<decltype(r)>;
        if constexpr (std::is_same_v<R, SqlResult::Affected>) {
          rows_returned = r.rows;
          suffix_name = " message=";
          suffix = r.message;
        } else if constexpr (std::is_same_v<R, SqlResult::Rows>) {
          rows_returned = r.rows.size();
        } else {
          suffix_name = " explain=";
          suffix = r.text;
        }
      },
      result.value);

  std::string out = "execution_time_us=";
  out += std::to_string(elapsed_us);
  out += " rows_returned=";
  out += std::to_string(rows_returned);
  out += suffix_name;
  out += suffix;
  if (before && after) {
    out += "\noperations: reads=";
    out += std::to_string(growth(before->reads, after->reads));
    out += " writes=";
    out += std::to_string(growth(before->writes, after->writes));
    out += " bloom_negatives=";
    out += std::to_string(growth(before->bloom_negatives, after->bloom_negatives));
  }
  if (plan_cost) {
    out += "\nplan_cost=";
    planner::append_fixed(out, *plan_cost, 1);
  }
  return out;
}

Result<SqlResult> execute_explain(Database& db, SqlSession& session, const Statement& stmt) {
  std::string text = planner::explain_plan(stmt);
  if (const std::optional<std::string> pk = storage_probe_pk(stmt)) {
    const auto& select = *stmt.get_if<Statement::Select>();
    const std::string& name = select.from.get_if<parser::TableRef::Named>()->name;
    const SelectTarget target = TRY(resolve_select_target(db, session, name, select.as_of, select.valid_at));
    const engine::GetExplain probe =
        TRY(db.explain_get(facet::relational::row_key(target.table, *pk), target.as_of, target.valid_at));
    append_storage_line(text, probe);
  }
  return SqlResult{SqlResult::Explain{std::move(text)}};
}

Result<SqlResult> execute_explain_analyze(Database& db, SqlSession& session, Statement stmt) {
  std::optional<double> plan_cost;
  if (const std::optional<planner::PlanNode> plan = planner::generate_plan(stmt)) plan_cost = plan->cost();

  const auto read_stats = [&db]() -> std::optional<engine::DbStats> {
    Result<engine::DbStats> stats = db.stats();
    return stats ? std::optional(*stats) : std::nullopt;
  };
  const std::optional<engine::DbStats> before = read_stats();
  const auto start = std::chrono::steady_clock::now();
  const SqlResult result = TRY(execute_stmt(db, session, std::move(stmt)));
  const auto elapsed = std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now() - start);
  const std::optional<engine::DbStats> after = read_stats();
  return SqlResult{SqlResult::Explain{
      explain_analyze_text(static_cast<std::uint64_t>(elapsed.count()), result, before, after, plan_cost)}};
}

}  // namespace quenlordb::sql::exec
