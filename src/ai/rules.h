// The insight rules: a fixed, deterministic keyword model that turns one change event into one
// insight (text, keyword tags, summary, risk score with its factors, troubleshooting hint, band and
// cluster id). No learning, no state carried from one event to the next; the only inputs besides
// the event are the wall clock (injectable, for tests) and the database's Hasher.
//
// Keyword tests are byte-substring tests on the ASCII-lowercased text: "preset" matches "reset",
// "slowly" matches "slow", and "ERROR" matches "error". Nothing here can fail; a document that is not
// JSON or not UTF-8 is read as (lossily decoded) text.
//
// Pure functions, safe to call from any thread (the clock must be too).
#pragma once

#include <cstdint>
#include <limits>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <nlohmann/json.hpp>

#include "ai/records.h"
#include "engine/shard_command.h"
#include "hasher.h"
#include "util/function_ref.h"

namespace quenlordb::ai {

inline constexpr std::string_view kModelId = "core-ai";

// A summary keeps at most this many bytes of the text (then "..." follows).
inline constexpr std::size_t kSummaryMaxBytes = 220;
// A text this long or longer starts its score at 0.25 ("long-payload") instead of 0.15.
inline constexpr std::size_t kLongPayloadBytes = 241;

// What the rule model gives for one document.
struct ModelSynthesis {
  std::string summary;
  std::vector<std::string> tags;  // ascending, no duplicates
  std::string troubleshooting_hint;
  AiInsightProvenance provenance;
  double risk_score = 0;  // in [0, 1]

  friend bool operator==(const ModelSynthesis&, const ModelSynthesis&) = default;
};

// Milliseconds since the Unix epoch (0 before it).
using WallClockMs = util::FunctionRef<std::uint64_t()>;
std::uint64_t system_wall_clock_ms();

// Appends the text lines of value, each starting with prefix: null gives none; a boolean
// "true"/"false"; a number its JSON text (an integer in decimal, a float in the system's float
// text); a string its content; an array its elements with the same prefix; an object its members in
// ascending key order, each with the prefix extended by "{key}=". value must be nested at most
// util::kJsonMaxDepth deep (as util::parse_json_document guarantees), which bounds the recursion.
//
// Every line repeats the keys above it, so the lines of a small document can be far larger than it
// (a long key over many leaves). The walk stops at the first line, or member prefix, that would take
// the lines' bytes (plus one per line) past max_bytes; the lines before it are the result.
void flatten_json(std::string_view prefix, const nlohmann::json& value, std::vector<std::string>& lines,
                  std::size_t max_bytes = std::numeric_limits<std::size_t>::max());

// The bound document_text puts on the flattened text of a document of doc_bytes bytes:
// kFlattenGrowth times its size plus kFlattenSlackBytes, far above what ordinary documents reach.
inline constexpr std::size_t kFlattenGrowth = 16;
inline constexpr std::size_t kFlattenSlackBytes = 64 * 1024;
std::size_t flattened_text_limit(std::size_t doc_bytes);

// The text the rules read: the flattened lines of a JSON document joined by single spaces (at most
// flattened_text_limit of its size), or, when the document is not JSON or flattens to no line
// (null, [], {}), the document as UTF-8 with each maximal invalid sequence replaced by U+FFFD.
std::string document_text(std::string_view doc);

// At most kSummaryMaxBytes bytes of text, cut after a whole character, followed by "..." when cut;
// "no summary" when that is empty or only Unicode white space. text must be UTF-8.
std::string summarize(std::string_view text);

// The rule model (tags, summary, score, hint) of a document's text.
ModelSynthesis synthesize(std::string_view text);

// "normal" below 0.45, "elevated" below 0.75, "critical" otherwise.
std::string_view risk_band(double risk_score);

// The wall-clock minute: generated_at_ms / 60000.
std::uint64_t minute_bucket(std::uint64_t generated_at_ms);

// "{bucket}|{band}|{tags joined by ','}" (tags sorted first).
std::string cluster_signature(std::uint64_t bucket, std::string_view band, std::vector<std::string> tags);

// "{bucket:010}-{band}-{hash64(signature):016x}": one id per minute, band and tag set, sorting by
// minute first. Digits, lowercase letters and hyphens only.
std::string cluster_id(const Hasher& hasher, std::uint64_t bucket, std::string_view band,
                       const std::vector<std::string>& tags);

// "{source_key_hex}/{commit_ts}" (no leading zeros).
std::string insight_id(std::string_view source_key_hex, std::uint64_t commit_ts);

// True when the rules skip the event: its key begins with "__ai/" or its document is empty.
bool skips_event(std::string_view key, std::string_view doc);

// The whole rule set for one event: nothing when it is skipped, otherwise its insight. The clock is
// read once, after the rule model has run.
std::optional<AiInsight> build_insight(const engine::ChangeEvent& event, const Hasher& hasher, WallClockMs clock);

}  // namespace quenlordb::ai
