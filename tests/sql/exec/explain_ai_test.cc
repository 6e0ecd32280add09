#include "sql/exec/explain_ai.h"

#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <thread>
#include <string_view>

#include "ai/records.h"
#include "ai/risk/risk.h"
#include "ai/runtime.h"
#include "facet/relational/keys.h"
#include "facet/relational/records.h"
#include "sql/exec/exec_fixture.h"

namespace quenlordb::sql::exec {
namespace {

using testing::must;

ai::AiInsight insight(std::string_view source_key, std::uint64_t ts, double score) {
  ai::AiInsight i;
  i.source_key_hex = ai::risk::hex_encode(source_key);
  i.source_commit_ts = ts;
  i.insight_id = i.source_key_hex + "/" + std::to_string(ts);
  i.cluster_id = "c-1";
  i.summary = "sum " + std::to_string(ts);
  i.tags = {"error", "payment"};
  i.risk_score = score;
  i.troubleshooting_hint = "check logs";
  i.provenance = {{"kw:error"}, {"error +0.3"}, "tag:error"};
  i.model_id = "core-ai";
  i.generated_at_ms = 5;
  return i;
}

class ExplainAiTest : public testing::ExecFixture {
 protected:
  void store(const ai::AiInsight& i) { must(db->put(ai::storage_key(i), ai::to_json(i), 0, testing::kMax)); }
  void store_raw(std::string_view source_key, std::uint64_t ts, std::string doc) {
    must(db->put(ai::insight_storage_key(ai::risk::hex_encode(source_key), ts), std::move(doc), 0, testing::kMax));
  }
  std::string report(std::string_view key) {
    SqlResult r = must(run("EXPLAIN AI '" + std::string(key) + "'"));
    return std::get<SqlResult::Explain>(r.value).text;
  }
};

constexpr std::string_view kBlock9 =
    "  --- Insight 7461626c652f6f72646572732f3137/9 ---\n"
    "  Risk score: 0.650\n"
    "  Tags: error, payment\n"
    "  Summary: sum 9\n"
    "  Cluster: c-1\n"
    "  Troubleshooting: check logs\n"
    "  Matched signals: kw:error\n"
    "  Risk factors: error +0.3\n"
    "  Model: core-ai\n\n";

TEST_F(ExplainAiTest, TableRowShowsPreviewAndItsInsightsOldestFirst) {
  must(db->put("table/orders/17", R"({"status":"error","critical":1})", 0, testing::kMax));
  store(insight("table/orders/17", 10, 0.44999999999999996));
  store(insight("table/orders/17", 9, 0.6499999999999999));
  std::string block10(kBlock9);
  block10.replace(block10.find("/9 "), 3, "/10 ");
  block10.replace(block10.find("0.650"), 5, "0.450");
  block10.replace(block10.find("sum 9"), 5, "sum 10");
  EXPECT_EQ(report("orders/17"), std::string("EXPLAIN AI for key: orders/17\n\n"
                                             "Current value size: 31 bytes\n"
                                             "Inline risk score: 0.650\n"
                                             "Value preview: {\"status\":\"error\",\"critical\":1}\n\n"
                                             "AI Insights (2):\n") +
                                     std::string(kBlock9) + block10);
}

TEST_F(ExplainAiTest, RawKeyWithoutInsights) {
  must(db->put("k", "PANIC now", 0, testing::kMax));
  EXPECT_EQ(report("k"),
            "EXPLAIN AI for key: k\n\n"
            "Current value size: 9 bytes\n"
            "Inline risk score: 0.400\n\n"
            "No AI insights found for this key.\n"
            "Source key (hex): 7461626c652f6b\n");
}

TEST_F(ExplainAiTest, KeyFoundInNeitherForm) {
  EXPECT_EQ(report("k"),
            "EXPLAIN AI for key: k\n\n"
            "Key not found in database\n\n"
            "No AI insights found for this key.\n"
            "Source key (hex): 7461626c652f6b\n");
}

TEST_F(ExplainAiTest, DeletedRowShowsAnEmptyValue) {
  must(db->put("table/t/1", "", 0, testing::kMax));
  EXPECT_EQ(report("t/1"),
            "EXPLAIN AI for key: t/1\n\n"
            "Current value size: 0 bytes\n"
            "Inline risk score: 0.000\n"
            "Value preview: \n\n"
            "No AI insights found for this key.\n"
            "Source key (hex): 7461626c652f742f31\n");
}

TEST_F(ExplainAiTest, PreviewCutInsideAMultiByteCharacter) {
  std::string value(199, 'x');
  value += "\xc3\xa9tail";  // é spans bytes 199 and 200
  must(db->put("table/t/long", value, 0, testing::kMax));
  std::string text = report("t/long");
  EXPECT_NE(text.find("Current value size: 205 bytes\n"), std::string::npos);
  EXPECT_NE(text.find("Value preview: " + std::string(199, 'x') + "\xef\xbf\xbd\n\n"), std::string::npos) << text;
}

TEST_F(ExplainAiTest, TableFormInsightsShadowRawForm) {
  ai::AiInsight table_one = insight("table/k", 3, 0.9);
  ai::AiInsight raw_one = insight("k", 4, 0.1);
  table_one.summary = "from table form";
  raw_one.summary = "from raw form";
  store(table_one);
  store(raw_one);
  std::string text = report("k");
  EXPECT_NE(text.find("AI Insights (1):\n"), std::string::npos) << text;
  EXPECT_NE(text.find("from table form"), std::string::npos);
  EXPECT_EQ(text.find("from raw form"), std::string::npos);
  // With no table-form insight the raw form's are listed.
  EXPECT_NE(report("x").find("No AI insights"), std::string::npos);
  store(insight("x", 1, 0.2));
  EXPECT_NE(report("x").find("AI Insights (1):\n  --- Insight 78/1 ---\n"), std::string::npos);
}

TEST_F(ExplainAiTest, UnreadableRecordIsCountedButPrintsNoBlock) {
  store_raw("table/k", 1, R"({"summary":"no other fields"})");
  store(insight("table/k", 2, 0.5));
  std::string text = report("k");
  std::string_view tail = "AI Insights (2):\n  --- Insight 7461626c652f6b/2 ---\n";
  EXPECT_NE(text.find(tail), std::string::npos) << text;
  EXPECT_EQ(text.find("Insight 7461626c652f6b/1"), std::string::npos);
}

TEST_F(ExplainAiTest, BlocksWithoutSignalsOrProvenance) {
  ai::AiInsight no_signals = insight("table/k", 1, 1.0);
  no_signals.provenance.matched_signals.clear();
  store(no_signals);
  // No provenance member at all, no cluster and no tags.
  store_raw("table/k", 2,
            R"({"insight_id":"p","source_key_hex":"00","source_commit_ts":2,"summary":"s","tags":[],)"
            R"("risk_score":1,"troubleshooting_hint":"h","model_id":"m","generated_at_ms":0})");
  std::string text = report("k");
  EXPECT_NE(text.find("  Troubleshooting: check logs\n  Risk factors: error +0.3\n  Model: core-ai\n\n"),
            std::string::npos)
      << text;
  EXPECT_TRUE(text.ends_with("  --- Insight p ---\n  Risk score: 1.000\n  Tags: \n  Summary: s\n  Cluster: \n"
                             "  Troubleshooting: h\n  Model: m\n\n"))
      << text;
}

// A score of any size prints its whole fixed text with three decimals.
TEST_F(ExplainAiTest, HugeScoresPrintInFull) {
  const std::string max_digits =
      "17976931348623157081452742373170435679807056752584499659891747680315726078002853876058955863276687817154045"
      "89535143824642343213268894641827684675467035375169860499105765512820762454900903893289440758685084551339423"
      "04583236903222948165808559332123348274797826204144723168738177180919299881250404026184124858368";
  const struct {
    double score;
    std::string text;
  } cases[] = {
      {1e61, "9999999999999999493871352970740188669636450110134100730839040.000"},
      {1.7976931348623157e308, max_digits + ".000"},
      {-1.7976931348623157e308, "-" + max_digits + ".000"},
  };
  for (std::uint64_t i = 0; i < std::size(cases); ++i) {
    store(insight("table/k" + std::to_string(i), 1, cases[i].score));
    const std::string text = report("k" + std::to_string(i));
    EXPECT_NE(text.find("  Risk score: " + cases[i].text + "\n  Tags: "), std::string::npos) << text;
  }
}

TEST_F(ExplainAiTest, PrefixOfAKeyDoesNotMixWithLongerKeys) {
  store(insight("table/ab", 1, 0.3));
  EXPECT_NE(report("a").find("No AI insights found for this key."), std::string::npos);
  store(insight("table/a", 2, 0.3));
  std::string text = report("a");
  EXPECT_NE(text.find("AI Insights (1):\n"), std::string::npos) << text;
  EXPECT_EQ(text.find(ai::risk::hex_encode("table/ab")), std::string::npos);
}

TEST_F(ExplainAiTest, ReadsCommittedDataOnly) {
  namespace rel = facet::relational;
  put_catalog(rel::schema_key("docs"), must(rel::encode_schema_metadata(rel::TableSchemaMetadata{})));
  must(run("BEGIN"));
  must(run("INSERT INTO docs (pk, doc) VALUES ('1', '{}')"));
  EXPECT_NE(report("docs/1").find("Key not found in database\n\n"), std::string::npos);
  must(run("ROLLBACK"));
}

TEST(ExplainAiRuntimeTest, ShowsTheRuntimeInsightsOfSqlWrites) {
  quenlordb::testing::TempDir dir;
  Config config = engine::testing::test_config(2);
  config.ai_enabled = true;
  config.ai_batch_window_ms = 5;
  auto db = must(engine::Database::open(dir.file("db"), config, ai::start_insight_runtime));
  must(execute_sql(*db, "CREATE TABLE orders (id TEXT PRIMARY KEY, note TEXT)"));
  must(execute_sql(*db, "INSERT INTO orders (id, note) VALUES ('17', 'payment failed')"));
  must(execute_sql(*db, "UPDATE orders SET note = 'critical error: payment failed' WHERE id = '17'"));
  std::string text;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  do {
    text = std::get<SqlResult::Explain>(must(execute_sql(*db, "EXPLAIN AI 'orders/17'")).value).text;
    if (text.find("AI Insights (2):\n") != std::string::npos) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  } while (std::chrono::steady_clock::now() < deadline);
  EXPECT_TRUE(text.starts_with("EXPLAIN AI for key: orders/17\n\nCurrent value size: ")) << text;
  EXPECT_NE(text.find("Value preview: "), std::string::npos) << text;
  EXPECT_NE(text.find("AI Insights (2):\n  --- Insight " + ai::risk::hex_encode("table/orders/17") + "/"),
            std::string::npos)
      << text;
  EXPECT_NE(text.find("  Model: core-ai\n\n"), std::string::npos) << text;
}

}  // namespace
}  // namespace quenlordb::sql::exec
