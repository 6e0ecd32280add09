#include "sql/exec/ai_tables.h"

#include <algorithm>
#include <cmath>
#include <set>
#include <string_view>
#include <utility>
#include <vector>

#include <nlohmann/json.hpp>

#include "ai/records.h"
#include "sql/exec/projection.h"
#include "sql/parser/analysis.h"

namespace quenlordb::sql::exec {

namespace {

using parser::BinOperator;
using parser::Expr;
using parser::SelectItem;
using Select = parser::Statement::Select;

constexpr std::uint64_t kDefaultTopRisks = 10;

bool ascii_iequals(std::string_view a, std::string_view b) {
  return std::ranges::equal(a, b, [](char x, char y) {
    auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; };
    return lower(x) == lower(y);
  });
}

bool is_cluster_id_column(const Expr& e) {
  const auto* col = e.get_if<Expr::Column>();
  return col && ascii_iequals(col->name, "cluster_id");
}

// `cluster_id = '<id>'` or `'<id>' = cluster_id`: the id; none otherwise.
std::optional<std::string> cluster_id_equality(const Expr& expr) {
  const auto* bin = expr.get_if<Expr::BinOp>();
  if (!bin || bin->op != BinOperator::Eq) return std::nullopt;
  const auto* right = bin->right.get_if<Expr::StringLit>();
  if (right && is_cluster_id_column(bin->left)) return right->value;
  const auto* left = bin->left.get_if<Expr::StringLit>();
  if (left && is_cluster_id_column(bin->right)) return left->value;
  return std::nullopt;
}

// The clauses neither table honours; the WHERE clause is judged by each table.
bool has_unsupported_clause(const Select& select) {
  if (select.join || select.group_by || select.having || select.order_by) return true;
  if (select.as_of || select.valid_at || !select.temporal.empty()) return true;
  return std::ranges::any_of(select.items, [](const SelectItem& item) {
    const auto* e = item.get_if<SelectItem::Expr>();
    return e && (parser::expr_contains_aggregate(e->expr) || parser::expr_contains_window(e->expr));
  });
}

QuenlorError unsupported(std::string_view table) {
  return QuenlorError::sql_execution(std::string(table) +
                                     " supports only a select list, LIMIT and, for ai_cluster_summary, WHERE "
                                     "cluster_id = '<id>'");
}

// The JSON rows projected by the SELECT list; `SELECT *` gives each row whole.
Result<SqlResult> project(std::vector<nlohmann::json> objects, const Select& select) {
  if (select.items.size() == 1 && select.items.front().is<SelectItem::AllColumns>()) {
    SqlResult::Rows out;
    out.rows.reserve(objects.size());
    for (const nlohmann::json& obj : objects) out.rows.push_back(write_json(obj));
    return SqlResult{std::move(out)};
  }
  std::vector<eval::VisibleRow> rows;
  rows.reserve(objects.size());
  for (std::size_t i = 0; i < objects.size(); ++i) rows.push_back({std::to_string(i), write_json(objects[i])});
  return project_rows(rows, select.items);
}

// Stable sort by risk score, highest first.
template <typename Record>
void sort_by_risk(std::vector<Record>& records) {
  std::ranges::stable_sort(records, [](const Record& a, const Record& b) { return a.risk_score > b.risk_score; });
}

// The mean rounded to three decimals, halves away from zero; 0.0 for no scores.
double rounded_mean(const std::vector<ai::AiCorrelationRef>& refs) {
  if (refs.empty()) return 0.0;
  double sum = 0.0;
  for (const ai::AiCorrelationRef& ref : refs) sum += ref.risk_score;
  return std::round(sum / static_cast<double>(refs.size()) * 1000.0) / 1000.0;
}

}  // namespace

std::optional<std::string> extract_string_eq(const Expr& expr) {
  const auto* bin = expr.get_if<Expr::BinOp>();
  if (!bin) return std::nullopt;
  if (bin->op == BinOperator::Eq) return cluster_id_equality(expr);
  if (bin->op == BinOperator::And) {
    if (auto found = extract_string_eq(bin->left)) return found;
    return extract_string_eq(bin->right);
  }
  return std::nullopt;
}

Result<SqlResult> execute_ai_top_risks(Database& db, const Select& select) {
  if (select.filter || has_unsupported_clause(select)) return fail(unsupported("ai_top_risks"));
  std::vector<ai::AiInsight> insights;
  for (const engine::PrefixScanRow& row : TRY(db.scan_prefix(ai::kInsightKeyPrefix))) {
    if (Result<ai::AiInsight> insight = ai::read_ai_insight(row.doc)) insights.push_back(std::move(*insight));
  }
  sort_by_risk(insights);
  const std::uint64_t n = select.limit.value_or(kDefaultTopRisks);
  if (insights.size() > n) insights.resize(static_cast<std::size_t>(n));

  std::vector<nlohmann::json> objects;
  objects.reserve(insights.size());
  for (const ai::AiInsight& i : insights) {
    objects.push_back({{"cluster_id", i.cluster_id},
                       {"insight_id", i.insight_id},
                       {"model", i.model_id},
                       {"risk_score", i.risk_score},
                       {"source_key", i.source_key_hex},
                       {"summary", i.summary},
                       {"tags", i.tags}});
  }
  return project(std::move(objects), select);
}

Result<SqlResult> execute_ai_cluster_summary(Database& db, const Select& select) {
  if (has_unsupported_clause(select)) return fail(unsupported("ai_cluster_summary"));
  std::optional<std::string> id = select.filter ? extract_string_eq(*select.filter) : std::nullopt;
  if (!id) return fail(QuenlorError::sql_execution("ai_cluster_summary requires WHERE cluster_id = '<id>'"));
  // Any condition beside the equality would go unapplied.
  if (!cluster_id_equality(*select.filter)) return fail(unsupported("ai_cluster_summary"));
  // A cluster id never holds '/'; one that does would scan other clusters' rows.
  std::vector<ai::AiCorrelationRef> refs;
  if (id->find('/') == std::string::npos) {
    for (const engine::PrefixScanRow& row : TRY(db.scan_prefix(ai::correlation_key_prefix(*id)))) {
      if (Result<ai::AiCorrelationRef> ref = ai::read_ai_correlation_ref(row.doc)) refs.push_back(std::move(*ref));
    }
  }
  sort_by_risk(refs);

  std::set<std::string> all_tags;
  for (const ai::AiCorrelationRef& ref : refs) all_tags.insert(ref.tags.begin(), ref.tags.end());
  std::vector<nlohmann::json> objects;
  objects.reserve(refs.size() + 1);
  objects.push_back({{"all_tags", std::vector<std::string>(all_tags.begin(), all_tags.end())},
                     {"avg_risk_score", rounded_mean(refs)},
                     {"cluster_id", *id},
                     {"event_count", static_cast<std::uint64_t>(refs.size())},
                     {"max_risk_score", refs.empty() ? 0.0 : refs.front().risk_score},
                     {"type", "summary"}});
  for (const ai::AiCorrelationRef& ref : refs) {
    objects.push_back({{"insight_id", ref.insight_id},
                       {"risk_score", ref.risk_score},
                       {"source_key", ref.source_key_hex},
                       {"summary", ref.summary},
                       {"tags", ref.tags},
                       {"type", "event"}});
  }
  // LIMIT counts the summary row too.
  if (select.limit && objects.size() > *select.limit) objects.resize(static_cast<std::size_t>(*select.limit));
  return project(std::move(objects), select);
}

}  // namespace quenlordb::sql::exec
