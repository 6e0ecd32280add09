#include "ai/rules.h"

#include <algorithm>
#include <array>
#include <chrono>
#include <limits>
#include <span>

#include "ai/risk/risk.h"
#include "util/json_document.h"
#include "util/json_text.h"
#include "util/unicode.h"
#include "util/utf8.h"

namespace quenlordb::ai {

namespace {

// A keyword rule: the tag it raises when the text contains any of its keywords.
struct KeywordRule {
  std::array<std::string_view, 3> keywords;
  std::string_view tag;
  std::string_view signal;  // signal rules only: the matched-signal text
};

constexpr std::array<KeywordRule, 5> kBaseRules{{
    {{"error", "failed", "exception"}, "operational-error", {}},
    {{"refund", "chargeback", "dispute"}, "payments-risk", {}},
    {{"latency", "timeout", "slow"}, "performance", {}},
    {{"cpu", "memory", "disk"}, "capacity-signal", {}},
    {{"login", "password", "token"}, "security", {}},
}};
constexpr std::string_view kNoBaseTag = "general-observation";

constexpr std::array<KeywordRule, 3> kSignalRules{{
    {{"deploy", "release", {}}, "release-signal", "release keyword"},
    {{"connection", "reset", "upstream"}, "connectivity", "connectivity keyword"},
    {{"queue", "backlog", "throttle"}, "backpressure", "backpressure keyword"},
}};

// The first rule whose tag is present chooses the hint.
struct TagHint {
  std::string_view tag;
  std::string_view hint;
  std::string_view basis;
};
constexpr std::string_view kDefaultHintBasis = "default hint policy";
constexpr std::array<TagHint, 5> kTagHints{{
    {"connectivity", "Inspect upstream connectivity, retry bursts, and shard health before escalating.",
     "connectivity tag present"},
    {"release-signal", "Compare pre/post-release timelines and isolate key regressions via AS OF snapshots.",
     "release-signal tag present"},
    {"security", "Correlate with auth/token events and inspect temporal history via AS OF snapshots.", kDefaultHintBasis},
    {"performance", "Run .stats and benchmark mode, then inspect compaction and bloom miss rates.", kDefaultHintBasis},
    {"payments-risk", "Use VALID AT and change-feed replay to audit transaction state transitions.", kDefaultHintBasis},
}};
constexpr std::string_view kHighScoreHint = "Inspect recent writes for this key and compare with AS OF timeline deltas.";
constexpr std::string_view kQuietHint = "No urgent action; monitor trend and aggregate related keys.";
constexpr double kHighScoreHintFrom = 0.5;

// Score steps, added in this order.
struct TagWeight {
  std::string_view tag;
  double weight;
  std::string_view factor;
};
constexpr std::array<TagWeight, 3> kTagWeights{{
    {"operational-error", 0.25, "operational-error tag"},
    {"payments-risk", 0.25, "payments-risk tag"},
    {"security", 0.30, "security tag"},
}};

bool contains(std::string_view haystack, std::string_view needle) {
  return haystack.find(needle) != std::string_view::npos;
}

bool matches(std::string_view lower, const KeywordRule& rule) {
  return std::ranges::any_of(rule.keywords, [&](std::string_view k) { return !k.empty() && contains(lower, k); });
}

bool has_tag(const std::vector<std::string>& tags, std::string_view tag) {
  return std::ranges::binary_search(tags, tag, std::less<>{});
}

double clamp_unit(double v) { return v < 0 ? 0 : v > 1 ? 1 : v; }

// Flattening with a bound on the bytes of the lines: the first line (or member prefix) that would
// take the total past `budget` ends the walk, and the lines so far are the result.
class Flattener {
 public:
  Flattener(std::vector<std::string>& lines, std::size_t budget) : lines_(lines), budget_(budget) {}

  void walk(const std::string& prefix, const nlohmann::json& value, std::size_t depth) {
    if (done_) return;
    using Type = nlohmann::json::value_t;
    switch (value.type()) {
      case Type::null:
      case Type::discarded:
      case Type::binary: return;  // the parser never builds a binary value
      case Type::boolean: return line(prefix, value.get<bool>() ? "true" : "false");
      case Type::number_integer: return line(prefix, std::to_string(value.get<std::int64_t>()));
      case Type::number_unsigned: return line(prefix, std::to_string(value.get<std::uint64_t>()));
      case Type::number_float: return line(prefix, util::json_float_text(value.get<double>()));
      case Type::string: return line(prefix, *value.get_ptr<const std::string*>());
      case Type::array:
      case Type::object: break;
    }
    if (depth >= util::kJsonMaxDepth) panic("flatten_json: value nested deeper than the parse limit");
    if (value.is_array()) {
      for (const nlohmann::json& element : value) walk(prefix, element, depth + 1);
      return;
    }
    for (const auto& [key, member] : value.items()) {
      if (!fits(prefix.size() + key.size() + 1)) return;
      walk(prefix + key + "=", member, depth + 1);
    }
  }

 private:
  bool fits(std::size_t bytes) {
    if (bytes > budget_ - used_) done_ = true;
    return !done_;
  }
  void line(const std::string& prefix, std::string_view text) {
    const std::size_t size = prefix.size() + text.size();
    if (!fits(size + 1)) return;  // and one byte for the space that joins it
    used_ += size + 1;
    std::string l;
    l.reserve(size);
    l += prefix;
    l += text;
    lines_.push_back(std::move(l));
  }

  std::vector<std::string>& lines_;
  const std::size_t budget_;
  std::size_t used_ = 0;
  bool done_ = false;
};

// Writes v in decimal, zero-padded to at least width digits.
void append_padded(std::string& out, std::uint64_t v, std::size_t width) {
  const std::string digits = std::to_string(v);
  if (digits.size() < width) out.append(width - digits.size(), '0');
  out += digits;
}

}  // namespace

std::size_t flattened_text_limit(std::size_t doc_bytes) {
  constexpr std::size_t kMax = std::numeric_limits<std::size_t>::max();
  if (doc_bytes > (kMax - kFlattenSlackBytes) / kFlattenGrowth) return kMax;
  return doc_bytes * kFlattenGrowth + kFlattenSlackBytes;
}

std::uint64_t system_wall_clock_ms() {
  const auto since_epoch = std::chrono::system_clock::now().time_since_epoch();
  const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(since_epoch).count();
  return ms < 0 ? 0 : static_cast<std::uint64_t>(ms);
}

void flatten_json(std::string_view prefix, const nlohmann::json& value, std::vector<std::string>& lines,
                  std::size_t max_bytes) {
  Flattener(lines, max_bytes).walk(std::string(prefix), value, 0);
}

std::string document_text(std::string_view doc) {
  if (auto parsed = util::parse_json_document(doc)) {
    std::vector<std::string> lines;
    flatten_json("", *parsed, lines, flattened_text_limit(doc.size()));
    if (!lines.empty()) {
      std::size_t size = lines.size() - 1;
      for (const std::string& line : lines) size += line.size();
      std::string text;
      text.reserve(size);
      for (std::size_t i = 0; i < lines.size(); ++i) {
        if (i) text += ' ';
        text += lines[i];
      }
      return text;
    }
  }
  return util::decode_utf8_lossy(doc);
}

std::string summarize(std::string_view text) {
  std::string summary;
  if (text.size() <= kSummaryMaxBytes) {
    summary.assign(text);
  } else {
    // Back off to the start of the character that would be cut (at most three continuation bytes).
    std::size_t cut = kSummaryMaxBytes;
    while (cut > 0 && (static_cast<unsigned char>(text[cut]) & 0xC0) == 0x80) --cut;
    summary.reserve(cut + 3);
    summary.append(text, 0, cut);
    summary += "...";
  }
  bool blank = true;
  for (std::size_t i = 0; i < summary.size() && blank;) {
    const util::Utf8Step step = util::decode_utf8_at(summary, i);
    blank = step.valid && util::is_white_space(step.value);
    i += step.length;
  }
  if (blank) summary = "no summary";
  return summary;
}

ModelSynthesis synthesize(std::string_view text) {
  std::string lower(text);
  for (char& c : lower) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }

  ModelSynthesis out;
  for (const KeywordRule& rule : kBaseRules) {
    if (matches(lower, rule)) out.tags.emplace_back(rule.tag);
  }
  if (out.tags.empty()) out.tags.emplace_back(kNoBaseTag);
  out.summary = summarize(text);
  for (const KeywordRule& rule : kSignalRules) {
    if (!matches(lower, rule)) continue;
    out.tags.emplace_back(rule.tag);
    out.provenance.matched_signals.emplace_back(rule.signal);
  }
  std::ranges::sort(out.tags);
  out.tags.erase(std::unique(out.tags.begin(), out.tags.end()), out.tags.end());

  std::vector<std::string>& factors = out.provenance.risk_factors;
  double score = 0.15;
  factors.emplace_back("base-risk");
  if (text.size() >= kLongPayloadBytes) {
    score = 0.25;
    factors.emplace_back("long-payload");
  }
  for (const TagWeight& w : kTagWeights) {
    if (!has_tag(out.tags, w.tag)) continue;
    score += w.weight;
    factors.emplace_back(w.factor);
  }
  score = clamp_unit(score);
  if (contains(lower, "degraded") || contains(lower, "outage")) {
    score += 0.15;
    factors.emplace_back("degraded/outage keyword");
  }
  if (contains(lower, "retry") && contains(lower, "failed")) {
    score += 0.10;
    factors.emplace_back("retry+failed pair");
  }
  out.risk_score = clamp_unit(score);

  const auto hint = std::ranges::find_if(kTagHints, [&](const TagHint& h) { return has_tag(out.tags, h.tag); });
  if (hint != kTagHints.end()) {
    out.troubleshooting_hint = hint->hint;
    out.provenance.hint_basis = hint->basis;
  } else {
    out.troubleshooting_hint = out.risk_score >= kHighScoreHintFrom ? kHighScoreHint : kQuietHint;
    out.provenance.hint_basis = kDefaultHintBasis;
  }
  return out;
}

std::string_view risk_band(double risk_score) {
  if (risk_score < 0.45) return "normal";
  if (risk_score < 0.75) return "elevated";
  return "critical";
}

std::uint64_t minute_bucket(std::uint64_t generated_at_ms) { return generated_at_ms / 60000; }

std::string cluster_signature(std::uint64_t bucket, std::string_view band, std::vector<std::string> tags) {
  std::ranges::sort(tags);
  std::string signature = std::to_string(bucket);
  signature += '|';
  signature += band;
  signature += '|';
  for (std::size_t i = 0; i < tags.size(); ++i) {
    if (i) signature += ',';
    signature += tags[i];
  }
  return signature;
}

std::string cluster_id(const Hasher& hasher, std::uint64_t bucket, std::string_view band,
                       const std::vector<std::string>& tags) {
  static constexpr char kHex[] = "0123456789abcdef";
  const std::uint64_t h = hasher.hash64(cluster_signature(bucket, band, tags));
  std::string id;
  id.reserve(10 + 1 + band.size() + 1 + 16);
  append_padded(id, bucket, 10);
  id += '-';
  id += band;
  id += '-';
  for (int shift = 60; shift >= 0; shift -= 4) id += kHex[(h >> shift) & 0xF];
  return id;
}

std::string insight_id(std::string_view source_key_hex, std::uint64_t commit_ts) {
  std::string id;
  id.reserve(source_key_hex.size() + 21);
  id += source_key_hex;
  id += '/';
  id += std::to_string(commit_ts);
  return id;
}

bool skips_event(std::string_view key, std::string_view doc) {
  return doc.empty() || key.starts_with(risk::kReservedKeyPrefix);
}

std::optional<AiInsight> build_insight(const engine::ChangeEvent& event, const Hasher& hasher, WallClockMs clock) {
  if (skips_event(event.key, event.doc)) return std::nullopt;
  ModelSynthesis model = synthesize(document_text(event.doc));

  AiInsight insight;
  insight.generated_at_ms = clock();
  insight.source_key_hex = risk::hex_encode(event.key);
  insight.source_commit_ts = event.commit_ts;
  insight.insight_id = ai::insight_id(insight.source_key_hex, event.commit_ts);
  insight.cluster_id =
      ai::cluster_id(hasher, minute_bucket(insight.generated_at_ms), risk_band(model.risk_score), model.tags);
  insight.summary = std::move(model.summary);
  insight.tags = std::move(model.tags);
  insight.risk_score = model.risk_score;
  insight.troubleshooting_hint = std::move(model.troubleshooting_hint);
  insight.provenance = std::move(model.provenance);
  insight.model_id = kModelId;
  return insight;
}

}  // namespace quenlordb::ai
