#include "ai/rules.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "util/json_document.h"
#include "util/utf8.h"

namespace quenlordb::ai {
namespace {

using Strings = std::vector<std::string>;

constexpr const char* kHints[] = {
    "",
    "Inspect upstream connectivity, retry bursts, and shard health before escalating.",
    "Compare pre/post-release timelines and isolate key regressions via AS OF snapshots.",
    "Correlate with auth/token events and inspect temporal history via AS OF snapshots.",
    "Run .stats and benchmark mode, then inspect compaction and bloom miss rates.",
    "Use VALID AT and change-feed replay to audit transaction state transitions.",
    "Inspect recent writes for this key and compare with AS OF timeline deltas.",
    "No urgent action; monitor trend and aggregate related keys.",
};

std::string nested(std::size_t depth, std::string_view inner) {
  return std::string(depth, '[') + std::string(inner) + std::string(depth, ']');
}

TEST(AiRulesTest, DocumentsToSynthesis) {
  struct Case {
    const char* name;
    std::string doc;
    std::string text;
    Strings tags;
    Strings signals;
    Strings factors;
    double score;
    int hint;  // rule number, 1 to 7
    const char* band;
  };
  const std::string long_text(300, 'a');
  const std::string cut_text = std::string(219, 'a') + "\xc3\xa9";  // 221 bytes; byte 220 begins "é"
  const std::string deep_ok = nested(127, "\"deep\"");
  const std::string deep_bad = nested(128, "\"deep\"");
  const Case cases[] = {
      {"json member", R"({"msg":"Payment refund FAILED"})", "msg=Payment refund FAILED",
       {"operational-error", "payments-risk"}, {}, {"base-risk", "operational-error tag", "payments-risk tag"}, 0.65, 5,
       "elevated"},
      {"login just under the band", "login", "login", {"security"}, {}, {"base-risk", "security tag"},
       0.44999999999999996, 3, "normal"},
      {"retry failed pair", "retry failed", "retry failed", {"operational-error"}, {},
       {"base-risk", "operational-error tag", "retry+failed pair"}, 0.5, 6, "elevated"},
      {"no keyword", "all quiet here", "all quiet here", {"general-observation"}, {}, {"base-risk"}, 0.15, 7, "normal"},
      {"null is its own text", "null", "null", {"general-observation"}, {}, {"base-risk"}, 0.15, 7, "normal"},
      {"empty array", "[]", "[]", {"general-observation"}, {}, {"base-risk"}, 0.15, 7, "normal"},
      {"empty object", "{}", "{}", {"general-observation"}, {}, {"base-risk"}, 0.15, 7, "normal"},
      {"three spaces", "   ", "   ", {"general-observation"}, {}, {"base-risk"}, 0.15, 7, "normal"},
      {"json empty string", "\"\"", "", {"general-observation"}, {}, {"base-risk"}, 0.15, 7, "normal"},
      {"long payload", long_text, long_text, {"general-observation"}, {}, {"base-risk", "long-payload"}, 0.25, 7,
       "normal"},
      {"upstream and deploy", "upstream deploy", "upstream deploy",
       {"connectivity", "general-observation", "release-signal"}, {"release keyword", "connectivity keyword"},
       {"base-risk"}, 0.15, 1, "normal"},
      {"preset contains reset", "preset", "preset", {"connectivity", "general-observation"}, {"connectivity keyword"},
       {"base-risk"}, 0.15, 1, "normal"},
      {"release alone", "Release 2", "Release 2", {"general-observation", "release-signal"}, {"release keyword"},
       {"base-risk"}, 0.15, 2, "normal"},
      {"backlog", "queue backlog", "queue backlog", {"backpressure", "general-observation"}, {"backpressure keyword"},
       {"base-risk"}, 0.15, 7, "normal"},
      {"keys count as text", R"({"error_count":0})", "error_count=0", {"operational-error"}, {},
       {"base-risk", "operational-error tag"}, 0.4, 7, "normal"},
      {"upper case", "DISK ERROR", "DISK ERROR", {"capacity-signal", "operational-error"}, {},
       {"base-risk", "operational-error tag"}, 0.4, 7, "normal"},
      {"slowly contains slow", "slowly", "slowly", {"performance"}, {}, {"base-risk"}, 0.15, 4, "normal"},
      {"outage", "partial outage", "partial outage", {"general-observation"}, {}, {"base-risk", "degraded/outage keyword"},
       0.15 + 0.15, 7, "normal"},
      {"critical", "error refund login", "error refund login", {"operational-error", "payments-risk", "security"}, {},
       {"base-risk", "operational-error tag", "payments-risk tag", "security tag"}, 0.15 + 0.25 + 0.25 + 0.30, 3,
       "critical"},
      {"clamped twice", std::string(250, 'x') + " error refund password degraded retry failed",
       std::string(250, 'x') + " error refund password degraded retry failed",
       {"operational-error", "payments-risk", "security"}, {},
       {"base-risk", "long-payload", "operational-error tag", "payments-risk tag", "security tag",
        "degraded/outage keyword", "retry+failed pair"},
       1.0, 3, "critical"},
      {"not utf-8", "bad \xff\xfe\xe2\x82 end", "bad \xef\xbf\xbd\xef\xbf\xbd\xef\xbf\xbd end", {"general-observation"},
       {}, {"base-risk"}, 0.15, 7, "normal"},
      {"127 levels flatten", deep_ok, "deep", {"general-observation"}, {}, {"base-risk"}, 0.15, 7, "normal"},
      {"128 levels are text", deep_bad, deep_bad, {"general-observation"}, {}, {"base-risk", "long-payload"}, 0.25, 7,
       "normal"},
      {"numbers and booleans", R"({"n":[1.50,2.0,1e2,-3],"ok":true})", "n=1.5 n=2.0 n=100.0 n=-3 ok=true",
       {"general-observation"}, {}, {"base-risk"}, 0.15, 7, "normal"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string text = document_text(c.doc);
    EXPECT_EQ(text, c.text);
    const ModelSynthesis m = synthesize(text);
    EXPECT_EQ(m.tags, c.tags);
    EXPECT_EQ(m.provenance.matched_signals, c.signals);
    EXPECT_EQ(m.provenance.risk_factors, c.factors);
    EXPECT_EQ(m.risk_score, c.score);
    EXPECT_EQ(m.troubleshooting_hint, kHints[c.hint]);
    EXPECT_EQ(m.provenance.hint_basis, c.hint == 1   ? "connectivity tag present"
                                       : c.hint == 2 ? "release-signal tag present"
                                                     : "default hint policy");
    EXPECT_EQ(risk_band(m.risk_score), c.band);
  }
}

TEST(AiRulesTest, Summaries) {
  struct Case {
    const char* name;
    std::string text;
    std::string summary;
  };
  const std::string euro = "\xe2\x82\xac";
  std::string euros;
  for (int i = 0; i < 100; ++i) euros += euro;
  std::string first73;
  for (int i = 0; i < 73; ++i) first73 += euro;
  const std::string emoji = "\xf0\x9f\x98\x80";
  std::string emojis;
  for (int i = 0; i < 60; ++i) emojis += emoji;
  std::string first55;
  for (int i = 0; i < 55; ++i) first55 += emoji;
  const Case cases[] = {
      {"short", "hello", "hello"},
      {"exactly 220", std::string(220, 'a'), std::string(220, 'a')},
      {"300 ascii", std::string(300, 'a'), std::string(220, 'a') + "..."},
      {"two-byte char at byte 220", std::string(219, 'a') + "\xc3\xa9", std::string(219, 'a') + "..."},
      {"three-byte chars ending at 220", "a" + euros, "a" + first73 + "..."},
      {"three-byte chars cut inside", "ab" + euros, "ab" + first73.substr(0, 72 * 3) + "..."},
      {"four-byte chars", emojis, first55 + "..."},
      {"empty", "", "no summary"},
      {"unicode white space", "\t \xc2\xa0\xe3\x80\x80\xe2\x80\xa8", "no summary"},
      {"kept as built", "  x  ", "  x  "},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string s = summarize(c.text);
    EXPECT_EQ(s, c.summary);
    EXPECT_LE(s.size(), kSummaryMaxBytes + 3);
    EXPECT_TRUE(util::validate_utf8(s));
  }
}

TEST(AiRulesTest, FlattenJson) {
  std::vector<std::string> lines;
  flatten_json("", util::parse_json_document(R"({"a":{"b":1},"t":["x","y"],"n":null,"f":false})").value(), lines);
  EXPECT_EQ(lines, (Strings{"a=b=1", "f=false", "t=x", "t=y"}));
  EXPECT_EQ(document_text(R"({"a":{"b":1},"t":["x","y"],"n":null,"f":false})"), "a=b=1 f=false t=x t=y");

  lines.clear();
  flatten_json("p:", util::parse_json_document(R"([[{"k\"q":"v\n"}],18446744073709551615,-9223372036854775808,0.1])").value(),
               lines);
  EXPECT_EQ(lines, (Strings{"p:k\"q=v\n", "p:18446744073709551615", "p:-9223372036854775808", "p:0.1"}));
}

// A long key over many leaves repeats in every line: the text stays within a bound of the
// document's size instead of growing with their product (here it would be gigabytes).
TEST(AiRulesTest, FlatteningIsBoundedByTheDocumentsSize) {
  std::vector<std::string> lines;
  const auto value = util::parse_json_document(R"({"a":{"b":1},"t":["x","y"],"n":null,"f":false})").value();
  flatten_json("", value, lines, 13);  // "a=b=1" and its space fit (6 bytes), "f=false" (8) would not
  EXPECT_EQ(lines, (Strings{"a=b=1"}));

  std::string doc = "{\"" + std::string(60'000, 'k') + "\":[";
  for (int i = 0; i < 50'000; ++i) doc += i ? ",1" : "1";
  doc += "]}";
  const std::string text = document_text(doc);
  EXPECT_LE(text.size(), flattened_text_limit(doc.size()));
  EXPECT_GT(text.size(), doc.size());
  EXPECT_TRUE(text.starts_with(std::string(60'000, 'k') + "=1 " + std::string(60'000, 'k') + "=1"));
  EXPECT_EQ(synthesize(text).provenance.risk_factors, (Strings{"base-risk", "long-payload"}));
}

TEST(AiRulesTest, ClusterAndIds) {
  FnvMixHasher hasher;
  EXPECT_EQ(minute_bucket(1'700'000'000'000), 28'333'333u);
  EXPECT_EQ(cluster_signature(28'333'333, "elevated", {"payments-risk", "operational-error"}),
            "28333333|elevated|operational-error,payments-risk");
  EXPECT_EQ(cluster_id(hasher, 28'333'333, "elevated", {"operational-error", "payments-risk"}),
            "0028333333-elevated-8b3f9084aa5020f5");
  EXPECT_EQ(cluster_id(hasher, 28'333'333, "normal", {"general-observation"}), "0028333333-normal-a61c136ccceba20c");
  EXPECT_TRUE(cluster_id(hasher, 12345678901ULL, "critical", {}).starts_with("12345678901-critical-"));
  EXPECT_EQ(insight_id("6162", 42), "6162/42");
  EXPECT_EQ(insight_id("", 0), "/0");
}

TEST(AiRulesTest, BuildInsight) {
  FnvMixHasher hasher;
  int clock_reads = 0;
  auto clock = [&] {
    ++clock_reads;
    return std::uint64_t{1'700'000'000'000};
  };
  const engine::ChangeEvent event{"ab", R"({"msg":"Payment refund FAILED"})", 42, 5, 9};
  const AiInsight insight = build_insight(event, hasher, clock).value();
  EXPECT_EQ(clock_reads, 1);
  AiInsight expect;
  expect.insight_id = "6162/42";
  expect.source_key_hex = "6162";
  expect.source_commit_ts = 42;
  expect.cluster_id = "0028333333-elevated-8b3f9084aa5020f5";
  expect.summary = "msg=Payment refund FAILED";
  expect.tags = {"operational-error", "payments-risk"};
  expect.risk_score = 0.65;
  expect.troubleshooting_hint = kHints[5];
  expect.provenance = {{}, {"base-risk", "operational-error tag", "payments-risk tag"}, "default hint policy"};
  expect.model_id = "core-ai";
  expect.generated_at_ms = 1'700'000'000'000;
  EXPECT_EQ(insight, expect);

  struct Skip {
    std::string key;
    std::string doc;
    bool skipped;
  };
  const Skip skips[] = {
      {"__ai/x", "error", true}, {"__ai/", "error", true}, {"k", "", true},
      {"__ai", "error", false},  {"__ai!", "error", false}, {"__AI/x", "error", false},
  };
  for (const Skip& s : skips) {
    EXPECT_EQ(skips_event(s.key, s.doc), s.skipped) << s.key;
    EXPECT_EQ(build_insight({s.key, s.doc, 1, 0, 1}, hasher, clock).has_value(), !s.skipped) << s.key;
  }
}

}  // namespace
}  // namespace quenlordb::ai
