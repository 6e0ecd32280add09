// The insight records stored under "__ai/": an AiInsight per processed put, filed under the key it
// describes, and an AiCorrelationRef per insight, filed under the insight's cluster so that one
// prefix scan lists a cluster's members. This header fixes the records, their JSON text, their
// storage keys and the readers by which the SQL statements read them back.
//
// Key space (all keys ASCII; timestamps as 20 decimal digits, the width of the largest u64, so that
// byte order is numeric order, oldest first):
//
//   __ai/insight/{source key hex}/{commit ts:020}                         AiInsight
//   __ai/correlation/{cluster id}/{commit ts:020}/{source key hex}        AiCorrelationRef
//   __ai/risk/{source key hex}/{commit ts}                                inline risk record (ai/risk/risk.h)
//
// A cluster id holds digits, lowercase letters and hyphens only, so it never contains "/". Each record
// is the document of a version valid over the source put's interval; it is written once and never
// rewritten or deleted.
//
// JSON text: compact (no white space), members in declared order, u64 values as decimal integers,
// risk_score in the system's float text (util/json_text.h: 0.65, 1.0, 0.44999999999999996). Writing
// cannot fail. Readers accept an object (any member order, unknown members skipped, a repeated field
// refused) or an array of the field values in declared order; types are strict (strings, arrays of
// strings, u64 integers without fraction or exponent, risk_score any number, provenance an object or
// array). Their errors are SerdeJson; the SQL statements skip a record that does not read.
//
// Pure functions and plain values, safe to use from any thread.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "error.h"

namespace quenlordb::ai {

// Why the rules gave their tags, score and hint. Every member may be absent when read (empty).
struct AiInsightProvenance {
  std::vector<std::string> matched_signals;  // signal texts, in rule order
  std::vector<std::string> risk_factors;     // factor texts, in the order they were added
  std::string hint_basis;                    // the rule that chose the hint

  friend bool operator==(const AiInsightProvenance&, const AiInsightProvenance&) = default;
};

// One processed change event. Fields in declared (and JSON) order; "optional" ones may be absent
// when read and then take their empty value, all others are required.
struct AiInsight {
  std::string insight_id;  // optional: "{source_key_hex}/{source_commit_ts}"
  std::string source_key_hex;
  std::uint64_t source_commit_ts = 0;
  std::string cluster_id;  // optional
  std::string summary;
  std::vector<std::string> tags;  // ascending, no duplicates
  double risk_score = 0;          // in [0, 1]
  std::string troubleshooting_hint;
  AiInsightProvenance provenance;  // optional: every member empty
  std::string model_id;
  std::uint64_t generated_at_ms = 0;

  friend bool operator==(const AiInsight&, const AiInsight&) = default;
};

// A copy of an insight's identifying and ranking fields, filed under its cluster. Every member is
// required when read.
struct AiCorrelationRef {
  std::string cluster_id;
  std::string insight_id;
  std::string source_key_hex;
  std::uint64_t source_commit_ts = 0;
  double risk_score = 0;
  std::vector<std::string> tags;
  std::string summary;
  std::uint64_t generated_at_ms = 0;

  friend bool operator==(const AiCorrelationRef&, const AiCorrelationRef&) = default;
};

// The correlation record of an insight: the same values under the same names.
AiCorrelationRef correlation_of(const AiInsight& insight);

// Compact JSON text (see the header comment).
std::string to_json(const AiInsightProvenance& provenance);
std::string to_json(const AiInsight& insight);
std::string to_json(const AiCorrelationRef& correlation);

// Strict readers of stored documents (see the header comment).
Result<AiInsight> read_ai_insight(std::string_view doc);
Result<AiCorrelationRef> read_ai_correlation_ref(std::string_view doc);

// ---- keys ----

inline constexpr std::string_view kInsightKeyPrefix = "__ai/insight/";          // every insight
inline constexpr std::string_view kCorrelationKeyPrefix = "__ai/correlation/";  // every correlation

// "__ai/insight/{source_key_hex}/{commit_ts:020}".
std::string insight_storage_key(std::string_view source_key_hex, std::uint64_t commit_ts);
// "__ai/correlation/{cluster_id}/{commit_ts:020}/{hex_encode(source_key)}" (source_key: raw bytes).
std::string correlation_storage_key(std::string_view cluster_id, std::string_view source_key, std::uint64_t commit_ts);

// The key a record is filed under, from its own fields.
std::string storage_key(const AiInsight& insight);
std::string storage_key(const AiCorrelationRef& correlation);

// "__ai/insight/{hex_encode(source_key)}/": the insights of one source key (raw bytes), oldest first.
std::string insight_key_prefix(std::string_view source_key);
// "__ai/correlation/{cluster_id}/": the correlations of one cluster, by commit timestamp then key.
std::string correlation_key_prefix(std::string_view cluster_id);

}  // namespace quenlordb::ai
