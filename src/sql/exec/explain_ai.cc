#include "sql/exec/explain_ai.h"

#include <algorithm>
#include <optional>
#include <vector>

#include "ai/risk/risk.h"
#include "util/float_digits.h"
#include "util/utf8.h"

namespace quenlordb::sql::exec {

namespace {

constexpr std::size_t kPreviewBytes = 200;

std::string join(const std::vector<std::string>& items) {
  std::string out;
  for (std::size_t i = 0; i < items.size(); ++i) {
    if (i > 0) out += ", ";
    out += items[i];
  }
  return out;
}

// Fixed notation with three decimals, rounded to nearest from the double's exact value.
std::string three_decimals(double value) {
  std::string out;
  util::append_fixed(out, value, 3);
  return out;
}

}  // namespace

void format_insight(std::string& out, const ai::AiInsight& insight) {
  out += "  --- Insight " + insight.insight_id + " ---\n";
  out += "  Risk score: " + three_decimals(insight.risk_score) + "\n";
  out += "  Tags: " + join(insight.tags) + "\n";
  out += "  Summary: " + insight.summary + "\n";
  out += "  Cluster: " + insight.cluster_id + "\n";
  out += "  Troubleshooting: " + insight.troubleshooting_hint + "\n";
  if (!insight.provenance.matched_signals.empty()) {
    out += "  Matched signals: " + join(insight.provenance.matched_signals) + "\n";
  }
  if (!insight.provenance.risk_factors.empty()) {
    out += "  Risk factors: " + join(insight.provenance.risk_factors) + "\n";
  }
  out += "  Model: " + insight.model_id + "\n\n";
}

Result<SqlResult> execute_explain_ai(Database& db, std::string_view key) {
  const std::string table_key = "table/" + std::string(key);
  std::string out = "EXPLAIN AI for key: " + std::string(key) + "\n\n";

  if (std::optional<std::string> value = TRY(db.get(table_key))) {
    out += "Current value size: " + std::to_string(value->size()) + " bytes\n";
    out += "Inline risk score: " + three_decimals(ai::risk::quick_risk_score(*value)) + "\n";
    std::string_view head = std::string_view(*value).substr(0, std::min(kPreviewBytes, value->size()));
    out += "Value preview: " + util::decode_utf8_lossy(head) + "\n\n";
  } else if (std::optional<std::string> raw = TRY(db.get(key))) {
    out += "Current value size: " + std::to_string(raw->size()) + " bytes\n";
    out += "Inline risk score: " + three_decimals(ai::risk::quick_risk_score(*raw)) + "\n\n";
  } else {
    out += "Key not found in database\n\n";
  }

  engine::PrefixScanRows rows = TRY(db.scan_prefix(ai::insight_key_prefix(table_key)));
  if (rows.empty()) rows = TRY(db.scan_prefix(ai::insight_key_prefix(key)));

  if (rows.empty()) {
    out += "No AI insights found for this key.\n";
    out += "Source key (hex): " + ai::risk::hex_encode(table_key) + "\n";
  } else {
    out += "AI Insights (" + std::to_string(rows.size()) + "):\n";
    for (const engine::PrefixScanRow& row : rows) {
      // A row that does not read was counted above but prints no block.
      if (Result<ai::AiInsight> insight = ai::read_ai_insight(row.doc)) format_insight(out, *insight);
    }
  }
  return SqlResult{SqlResult::Explain{std::move(out)}};
}

}  // namespace quenlordb::sql::exec
