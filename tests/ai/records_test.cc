#include "ai/records.h"

#include <gtest/gtest.h>

#include <algorithm>

namespace quenlordb::ai {
namespace {

AiInsight sample_insight() {
  AiInsight r;
  r.insight_id = "6162/42";
  r.source_key_hex = "6162";
  r.source_commit_ts = 42;
  r.cluster_id = "0028333333-elevated-8b3f9084aa5020f5";
  r.summary = "msg=Payment \"refund\" FAILED";
  r.tags = {"operational-error", "payments-risk"};
  r.risk_score = 0.65;
  r.troubleshooting_hint = "Use VALID AT and change-feed replay to audit transaction state transitions.";
  r.provenance = {{}, {"base-risk", "operational-error tag", "payments-risk tag"}, "default hint policy"};
  r.model_id = "core-ai";
  r.generated_at_ms = 1700000000000;
  return r;
}

constexpr std::string_view kInsightJson =
    R"({"insight_id":"6162/42","source_key_hex":"6162","source_commit_ts":42,)"
    R"("cluster_id":"0028333333-elevated-8b3f9084aa5020f5","summary":"msg=Payment \"refund\" FAILED",)"
    R"("tags":["operational-error","payments-risk"],"risk_score":0.65,)"
    R"("troubleshooting_hint":"Use VALID AT and change-feed replay to audit transaction state transitions.",)"
    R"("provenance":{"matched_signals":[],"risk_factors":["base-risk","operational-error tag","payments-risk tag"],)"
    R"("hint_basis":"default hint policy"},"model_id":"core-ai","generated_at_ms":1700000000000})";

constexpr std::string_view kCorrelationJson =
    R"({"cluster_id":"0028333333-elevated-8b3f9084aa5020f5","insight_id":"6162/42","source_key_hex":"6162",)"
    R"("source_commit_ts":42,"risk_score":0.65,"tags":["operational-error","payments-risk"],)"
    R"("summary":"msg=Payment \"refund\" FAILED","generated_at_ms":1700000000000})";

TEST(AiRecordsTest, WritersGiveCompactJsonInDeclaredOrder) {
  EXPECT_EQ(to_json(sample_insight()), kInsightJson);
  EXPECT_EQ(to_json(correlation_of(sample_insight())), kCorrelationJson);

  AiInsight whole = sample_insight();
  for (double score : {1.0, 0.0, 0.44999999999999996}) {
    whole.risk_score = score;
    const std::string text = to_json(whole);
    const std::string expect = score == 1.0 ? "\"risk_score\":1.0," : score == 0.0 ? "\"risk_score\":0.0," : "\"risk_score\":0.44999999999999996,";
    EXPECT_NE(text.find(expect), std::string::npos) << text;
  }
}

TEST(AiRecordsTest, RoundTrips) {
  AiInsight r = sample_insight();
  EXPECT_EQ(read_ai_insight(to_json(r)).value(), r);
  EXPECT_EQ(read_ai_correlation_ref(to_json(correlation_of(r))).value(), correlation_of(r));

  // Odd text survives: controls, quotes, non-ASCII, the largest u64, an empty record.
  r.summary = "tab\there \x01 \xe2\x82\xac \"q\" \\";
  r.source_commit_ts = UINT64_MAX;
  r.generated_at_ms = 0;
  r.tags = {};
  r.provenance = {{"release keyword", "connectivity keyword"}, {}, ""};
  r.risk_score = 0.1 + 0.2;
  EXPECT_EQ(read_ai_insight(to_json(r)).value(), r);
  EXPECT_EQ(read_ai_insight(to_json(AiInsight{})).value(), AiInsight{});
  EXPECT_EQ(read_ai_correlation_ref(to_json(correlation_of(r))).value(), correlation_of(r));
}

// Replaces the first occurrence of `from` in text.
std::string edit(std::string_view text, std::string_view from, std::string_view to) {
  std::string out(text);
  const std::size_t at = out.find(from);
  EXPECT_NE(at, std::string::npos) << from;
  if (at != std::string::npos) out.replace(at, from.size(), to);
  return out;
}

TEST(AiRecordsTest, InsightReaderRules) {
  const std::string base(kInsightJson);
  const std::string prov =
      R"("provenance":{"matched_signals":[],"risk_factors":["base-risk","operational-error tag","payments-risk tag"],)"
      R"("hint_basis":"default hint policy"},)";
  struct Case {
    const char* name;
    std::string doc;
    const char* error;  // nullptr: reads
  };
  const Case cases[] = {
      {"no provenance: all empty", edit(base, prov, ""), nullptr},
      {"provenance null", edit(base, prov, R"("provenance":null,)"), "invalid type: null, expected struct AiInsightProvenance"},
      {"provenance as an array", edit(base, prov, R"("provenance":[["s"],[]],)"), nullptr},
      {"no insight_id", edit(base, R"("insight_id":"6162/42",)", ""), nullptr},
      {"no cluster_id", edit(base, R"("cluster_id":"0028333333-elevated-8b3f9084aa5020f5",)", ""), nullptr},
      {"no model_id", edit(base, R"("model_id":"core-ai",)", ""), "missing field `model_id`"},
      {"insight_id null", edit(base, R"("6162/42")", "null"), "invalid type: null, expected a string"},
      {"extra member with any value", edit(base, R"("summary")", R"("x":{"deep":[1,{"y":null}]},"summary")"), nullptr},
      {"tags twice", edit(base, R"("risk_score")", R"("tags":[],"risk_score")"), "duplicate field `tags`"},
      {"source_commit_ts 42.0", edit(base, R"(:42,)", ":42.0,"), "invalid type: floating point `42.0`, expected u64"},
      {"source_commit_ts negative", edit(base, R"(:42,)", ":-1,"), "invalid value: integer `-1`, expected u64"},
      {"risk_score integer", edit(base, R"(0.65)", "1"), nullptr},
      {"risk_score string", edit(base, R"(0.65)", "\"0.65\""), "invalid type: string \"0.65\", expected f64"},
      {"tag not a string", edit(base, R"(["operational-error")", "[1"), "invalid type: integer `1`, expected a string"},
      {"trailing text", base + " x", ""},
      {"not an object", "\"insight\"", "invalid type: string \"insight\", expected struct AiInsight"},
  };
  for (const Case& c : cases) {
    auto r = read_ai_insight(c.doc);
    if (!c.error) {
      ASSERT_TRUE(r) << c.name << ": " << r.error().to_string();
      continue;
    }
    ASSERT_FALSE(r) << c.name;
    EXPECT_EQ(r.error().kind(), ErrorKind::SerdeJson) << c.name;
    if (*c.error) {
      EXPECT_EQ(r.error().message(), c.error) << c.name;
    }
  }

  EXPECT_EQ(read_ai_insight(edit(base, prov, "")).value().provenance, AiInsightProvenance{});
  EXPECT_EQ(read_ai_insight(edit(base, R"("insight_id":"6162/42",)", "")).value().insight_id, "");
  EXPECT_EQ(read_ai_insight(edit(base, "0.65", "1")).value().risk_score, 1.0);
  EXPECT_EQ(read_ai_insight(edit(base, prov, R"("provenance":[["s"]],)")).value().provenance,
            (AiInsightProvenance{{"s"}, {}, ""}));
}

TEST(AiRecordsTest, ArrayForm) {
  const AiInsight r = sample_insight();
  const std::string full =
      R"(["6162/42","6162",42,"0028333333-elevated-8b3f9084aa5020f5","msg=Payment \"refund\" FAILED",)"
      R"(["operational-error","payments-risk"],0.65,)"
      R"("Use VALID AT and change-feed replay to audit transaction state transitions.",)"
      R"([[],["base-risk","operational-error tag","payments-risk tag"],"default hint policy"],"core-ai",1700000000000])";
  EXPECT_EQ(read_ai_insight(full).value(), r);
  // Cut before the required model_id: refused; one element too many: refused.
  const std::string short_form = full.substr(0, full.find(",\"core-ai\"")) + "]";
  EXPECT_EQ(read_ai_insight(short_form).error().message(), "invalid length 9, expected struct AiInsight with 11 elements");
  EXPECT_FALSE(read_ai_insight(full.substr(0, full.size() - 1) + ",1]"));

  const std::string corr =
      R"(["c","6162/42","6162",42,1,["a"],"s",7])";
  EXPECT_EQ(read_ai_correlation_ref(corr).value(), (AiCorrelationRef{"c", "6162/42", "6162", 42, 1.0, {"a"}, "s", 7}));
  EXPECT_FALSE(read_ai_correlation_ref(R"(["c","6162/42","6162",42,1,["a"],"s"])"));
}

TEST(AiRecordsTest, CorrelationReaderRequiresEveryField) {
  const std::string base(kCorrelationJson);
  for (std::string_view field : {"cluster_id", "insight_id", "source_key_hex", "source_commit_ts", "risk_score", "tags",
                                 "summary", "generated_at_ms"}) {
    // Rename the member so that it is unknown (and skipped).
    auto r = read_ai_correlation_ref(edit(base, "\"" + std::string(field) + "\"", "\"x_" + std::string(field) + "\""));
    ASSERT_FALSE(r) << field;
    EXPECT_EQ(r.error().message(), "missing field `" + std::string(field) + "`");
  }
  EXPECT_EQ(read_ai_correlation_ref(edit(base, ":42,", ":42.0,")).error().message(),
            "invalid type: floating point `42.0`, expected u64");
  EXPECT_EQ(read_ai_correlation_ref(edit(base, ":0.65,", ":1,")).value().risk_score, 1.0);
  EXPECT_EQ(read_ai_correlation_ref(edit(base, "\"summary\"", "\"tags\":[],\"summary\"")).error().message(),
            "duplicate field `tags`");
}

TEST(AiRecordsTest, Keys) {
  EXPECT_EQ(insight_storage_key("6162", 42), "__ai/insight/6162/00000000000000000042");
  EXPECT_EQ(correlation_storage_key("c", "ab", 42), "__ai/correlation/c/00000000000000000042/6162");
  EXPECT_EQ(insight_storage_key("", UINT64_MAX), "__ai/insight//18446744073709551615");
  EXPECT_EQ(insight_key_prefix("ab"), "__ai/insight/6162/");
  EXPECT_EQ(insight_key_prefix(""), "__ai/insight//");
  EXPECT_EQ(correlation_key_prefix("c"), "__ai/correlation/c/");

  const AiInsight r = sample_insight();
  EXPECT_EQ(storage_key(r), "__ai/insight/6162/00000000000000000042");
  EXPECT_EQ(storage_key(correlation_of(r)),
            "__ai/correlation/0028333333-elevated-8b3f9084aa5020f5/00000000000000000042/6162");
  EXPECT_TRUE(storage_key(r).starts_with(insight_key_prefix("ab")));
  EXPECT_TRUE(storage_key(correlation_of(r)).starts_with(correlation_key_prefix(r.cluster_id)));

  // Twenty digits: byte order is numeric order (9 before 10), and one key's prefix does not take in
  // a longer key's insights ("a" is 61, "ab" is 6162).
  EXPECT_LT(insight_storage_key("61", 9), insight_storage_key("61", 10));
  EXPECT_LT(correlation_storage_key("c", "a", 9), correlation_storage_key("c", "a", 10));
  EXPECT_FALSE(insight_storage_key("6162", 1).starts_with(insight_key_prefix("a")));
}

}  // namespace
}  // namespace quenlordb::ai
