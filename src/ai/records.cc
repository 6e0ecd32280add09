#include "ai/records.h"

#include <array>
#include <charconv>

#include "ai/risk/risk.h"
#include "util/json_record.h"
#include "util/json_text.h"

namespace quenlordb::ai {

namespace {

using util::OrderedJson;
using util::RecordField;
using util::RecordShape;

// ---- writing ----

// Appends `"name":` (names are plain ASCII) after a comma unless it is the first member.
void member(std::string& out, std::string_view name, bool first = false) {
  if (!first) out += ',';
  out += '"';
  out += name;
  out += "\":";
}

void append_u64(std::string& out, std::uint64_t v) {
  char buf[20];
  const auto res = std::to_chars(buf, buf + sizeof buf, v);
  out.append(buf, res.ptr);
}

void append_list(std::string& out, const std::vector<std::string>& items) {
  out += '[';
  for (std::size_t i = 0; i < items.size(); ++i) {
    if (i) out += ',';
    util::append_json_string(out, items[i]);
  }
  out += ']';
}

void append_provenance(std::string& out, const AiInsightProvenance& p) {
  out += '{';
  member(out, "matched_signals", true);
  append_list(out, p.matched_signals);
  member(out, "risk_factors");
  append_list(out, p.risk_factors);
  member(out, "hint_basis");
  util::append_json_string(out, p.hint_basis);
  out += '}';
}

// Appends v as exactly 20 decimal digits with leading zeros.
void append_u64_020(std::string& out, std::uint64_t v) {
  char buf[20];
  for (int i = 19; i >= 0; --i) {
    buf[i] = static_cast<char>('0' + v % 10);
    v /= 10;
  }
  out.append(buf, sizeof buf);
}

std::string correlation_key_of_hex(std::string_view cluster_id, std::uint64_t commit_ts, std::string_view key_hex) {
  std::string key;
  key.reserve(kCorrelationKeyPrefix.size() + cluster_id.size() + 22 + key_hex.size());
  key += kCorrelationKeyPrefix;
  key += cluster_id;
  key += '/';
  append_u64_020(key, commit_ts);
  key += '/';
  key += key_hex;
  return key;
}

// ---- reading ----

constexpr std::array<RecordField, 3> kProvenanceFields{{
    {"matched_signals", false},
    {"risk_factors", false},
    {"hint_basis", false},
}};
constexpr RecordShape kProvenanceShape{"struct AiInsightProvenance", kProvenanceFields};

Result<AiInsightProvenance> read_provenance(const OrderedJson& value) {
  AiInsightProvenance out;
  TRY(util::read_record(value, kProvenanceShape, [&](std::size_t i, const OrderedJson& f) -> Result<void> {
    switch (i) {
      case 0: out.matched_signals = TRY(util::read_json_strings(f)); break;
      case 1: out.risk_factors = TRY(util::read_json_strings(f)); break;
      case 2: out.hint_basis = TRY(util::read_json_string(f)); break;
    }
    return {};
  }));
  return out;
}

constexpr std::array<RecordField, 11> kInsightFields{{
    {"insight_id", false},
    {"source_key_hex"},
    {"source_commit_ts"},
    {"cluster_id", false},
    {"summary"},
    {"tags"},
    {"risk_score"},
    {"troubleshooting_hint"},
    {"provenance", false},
    {"model_id"},
    {"generated_at_ms"},
}};
constexpr RecordShape kInsightShape{"struct AiInsight", kInsightFields};

constexpr std::array<RecordField, 8> kCorrelationFields{{
    {"cluster_id"},
    {"insight_id"},
    {"source_key_hex"},
    {"source_commit_ts"},
    {"risk_score"},
    {"tags"},
    {"summary"},
    {"generated_at_ms"},
}};
constexpr RecordShape kCorrelationShape{"struct AiCorrelationRef", kCorrelationFields};

}  // namespace

AiCorrelationRef correlation_of(const AiInsight& insight) {
  return AiCorrelationRef{insight.cluster_id,     insight.insight_id, insight.source_key_hex,
                          insight.source_commit_ts, insight.risk_score, insight.tags,
                          insight.summary,        insight.generated_at_ms};
}

std::string to_json(const AiInsightProvenance& provenance) {
  std::string out;
  append_provenance(out, provenance);
  return out;
}

std::string to_json(const AiInsight& r) {
  std::string out;
  out.reserve(256 + r.summary.size() + r.troubleshooting_hint.size());
  out += '{';
  member(out, "insight_id", true);
  util::append_json_string(out, r.insight_id);
  member(out, "source_key_hex");
  util::append_json_string(out, r.source_key_hex);
  member(out, "source_commit_ts");
  append_u64(out, r.source_commit_ts);
  member(out, "cluster_id");
  util::append_json_string(out, r.cluster_id);
  member(out, "summary");
  util::append_json_string(out, r.summary);
  member(out, "tags");
  append_list(out, r.tags);
  member(out, "risk_score");
  util::append_json_float(out, r.risk_score);
  member(out, "troubleshooting_hint");
  util::append_json_string(out, r.troubleshooting_hint);
  member(out, "provenance");
  append_provenance(out, r.provenance);
  member(out, "model_id");
  util::append_json_string(out, r.model_id);
  member(out, "generated_at_ms");
  append_u64(out, r.generated_at_ms);
  out += '}';
  return out;
}

std::string to_json(const AiCorrelationRef& r) {
  std::string out;
  out.reserve(160 + r.summary.size());
  out += '{';
  member(out, "cluster_id", true);
  util::append_json_string(out, r.cluster_id);
  member(out, "insight_id");
  util::append_json_string(out, r.insight_id);
  member(out, "source_key_hex");
  util::append_json_string(out, r.source_key_hex);
  member(out, "source_commit_ts");
  append_u64(out, r.source_commit_ts);
  member(out, "risk_score");
  util::append_json_float(out, r.risk_score);
  member(out, "tags");
  append_list(out, r.tags);
  member(out, "summary");
  util::append_json_string(out, r.summary);
  member(out, "generated_at_ms");
  append_u64(out, r.generated_at_ms);
  out += '}';
  return out;
}

Result<AiInsight> read_ai_insight(std::string_view doc) {
  const OrderedJson value = TRY(util::parse_json_record(doc));
  AiInsight out;
  TRY(util::read_record(value, kInsightShape, [&](std::size_t i, const OrderedJson& f) -> Result<void> {
    switch (i) {
      case 0: out.insight_id = TRY(util::read_json_string(f)); break;
      case 1: out.source_key_hex = TRY(util::read_json_string(f)); break;
      case 2: out.source_commit_ts = TRY(util::read_json_uint<std::uint64_t>(f)); break;
      case 3: out.cluster_id = TRY(util::read_json_string(f)); break;
      case 4: out.summary = TRY(util::read_json_string(f)); break;
      case 5: out.tags = TRY(util::read_json_strings(f)); break;
      case 6: out.risk_score = TRY(util::read_json_f64(f)); break;
      case 7: out.troubleshooting_hint = TRY(util::read_json_string(f)); break;
      case 8: out.provenance = TRY(read_provenance(f)); break;
      case 9: out.model_id = TRY(util::read_json_string(f)); break;
      case 10: out.generated_at_ms = TRY(util::read_json_uint<std::uint64_t>(f)); break;
    }
    return {};
  }));
  return out;
}

Result<AiCorrelationRef> read_ai_correlation_ref(std::string_view doc) {
  const OrderedJson value = TRY(util::parse_json_record(doc));
  AiCorrelationRef out;
  TRY(util::read_record(value, kCorrelationShape, [&](std::size_t i, const OrderedJson& f) -> Result<void> {
    switch (i) {
      case 0: out.cluster_id = TRY(util::read_json_string(f)); break;
      case 1: out.insight_id = TRY(util::read_json_string(f)); break;
      case 2: out.source_key_hex = TRY(util::read_json_string(f)); break;
      case 3: out.source_commit_ts = TRY(util::read_json_uint<std::uint64_t>(f)); break;
      case 4: out.risk_score = TRY(util::read_json_f64(f)); break;
      case 5: out.tags = TRY(util::read_json_strings(f)); break;
      case 6: out.summary = TRY(util::read_json_string(f)); break;
      case 7: out.generated_at_ms = TRY(util::read_json_uint<std::uint64_t>(f)); break;
    }
    return {};
  }));
  return out;
}

std::string insight_storage_key(std::string_view source_key_hex, std::uint64_t commit_ts) {
  std::string key;
  key.reserve(kInsightKeyPrefix.size() + source_key_hex.size() + 21);
  key += kInsightKeyPrefix;
  key += source_key_hex;
  key += '/';
  append_u64_020(key, commit_ts);
  return key;
}

std::string correlation_storage_key(std::string_view cluster_id, std::string_view source_key, std::uint64_t commit_ts) {
  return correlation_key_of_hex(cluster_id, commit_ts, risk::hex_encode(source_key));
}

std::string storage_key(const AiInsight& insight) {
  return insight_storage_key(insight.source_key_hex, insight.source_commit_ts);
}

std::string storage_key(const AiCorrelationRef& correlation) {
  return correlation_key_of_hex(correlation.cluster_id, correlation.source_commit_ts, correlation.source_key_hex);
}

std::string insight_key_prefix(std::string_view source_key) {
  std::string prefix(kInsightKeyPrefix);
  prefix += risk::hex_encode(source_key);
  prefix += '/';
  return prefix;
}

std::string correlation_key_prefix(std::string_view cluster_id) {
  std::string prefix(kCorrelationKeyPrefix);
  prefix += cluster_id;
  prefix += '/';
  return prefix;
}

}  // namespace quenlordb::ai
