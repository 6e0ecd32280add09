#include "sql/exec/ai_tables.h"

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include <string>
#include <string_view>
#include <vector>

#include "ai/records.h"
#include "ai/risk/risk.h"
#include "sql/exec/exec_fixture.h"

namespace quenlordb::sql::exec {
namespace {

using testing::must;

ai::AiInsight insight(std::string_view source_key, std::uint64_t ts, double score, std::string cluster = "c-1") {
  ai::AiInsight i;
  i.source_key_hex = ai::risk::hex_encode(source_key);
  i.source_commit_ts = ts;
  i.insight_id = i.source_key_hex + "/" + std::to_string(ts);
  i.cluster_id = std::move(cluster);
  i.summary = std::string(source_key) + " changed";
  i.tags = {"error"};
  i.risk_score = score;
  i.troubleshooting_hint = "h";
  i.model_id = "core-ai";
  return i;
}

class AiTablesTest : public testing::ExecFixture {
 protected:
  // Files the insight and its correlation record, as the runtime does.
  void store(const ai::AiInsight& i) {
    must(db->put(ai::storage_key(i), ai::to_json(i), 0, testing::kMax));
    ai::AiCorrelationRef ref = ai::correlation_of(i);
    must(db->put(ai::storage_key(ref), ai::to_json(ref), 0, testing::kMax));
  }
  // The "summary" member of each row.
  std::vector<std::string> summaries(std::string_view sql) {
    std::vector<std::string> out;
    for (const std::string& row : rows(sql)) out.push_back(nlohmann::json::parse(row).at("summary"));
    return out;
  }
};

TEST_F(AiTablesTest, TopRisksRowText) {
  ai::AiInsight i = insight("ab", 42, 0.75);
  i.tags = {"auth", "error"};
  store(i);
  EXPECT_EQ(rows("SELECT * FROM ai_top_risks"),
            std::vector<std::string>{R"({"cluster_id":"c-1","insight_id":"6162/42","model":"core-ai",)"
                                     R"("risk_score":0.75,"source_key":"6162","summary":"ab changed",)"
                                     R"("tags":["auth","error"]})"});
}

TEST_F(AiTablesTest, TopRisksLimitsOrderAndTies) {
  // Twelve insights; "k05" and "k02" tie with "k11" at 0.9 and keep key order.
  for (int n = 0; n < 12; ++n) {
    std::string key = (n < 10 ? "k0" : "k") + std::to_string(n);
    double score = n == 2 || n == 5 || n == 11 ? 0.9 : n / 100.0;
    store(insight(key, 1, score));
  }
  // An unreadable insight row is dropped.
  must(db->put("__ai/insight/00/00000000000000000001", R"({"risk_score":1.0})", 0, testing::kMax));
  EXPECT_EQ(rows("SELECT * FROM ai_top_risks").size(), 10u);
  EXPECT_TRUE(rows("SELECT * FROM ai_top_risks LIMIT 0").empty());
  EXPECT_EQ(summaries("SELECT * FROM ai_top_risks LIMIT 3"),
            (std::vector<std::string>{"k02 changed", "k05 changed", "k11 changed"}));
  EXPECT_EQ(summaries("SELECT * FROM ai_top_risks LIMIT 5").back(), "k09 changed");
  EXPECT_EQ(rows("SELECT * FROM ai_top_risks LIMIT 100").size(), 12u);
  // Same key, two commit timestamps (9 sorts before 10): scan order breaks the tie.
  store(insight("z", 10, 0.95));
  store(insight("z", 9, 0.95));
  std::vector<std::string> top = rows("SELECT insight_id FROM ai_top_risks LIMIT 2");
  EXPECT_EQ(top, (std::vector<std::string>{R"({"insight_id":"7a/9"})", R"({"insight_id":"7a/10"})"}));
}

TEST_F(AiTablesTest, SelectListProjectsTheRows) {
  store(insight("a", 1, 0.5));
  store(insight("b", 2, 0.25));
  EXPECT_EQ(rows("SELECT summary, risk_score AS r FROM ai_top_risks LIMIT 3"),
            (std::vector<std::string>{R"({"r":0.5,"summary":"a changed"})", R"({"r":0.25,"summary":"b changed"})"}));
  EXPECT_EQ(rows("SELECT type, event_count FROM ai_cluster_summary WHERE cluster_id = 'c-1' LIMIT 1"),
            std::vector<std::string>{R"({"event_count":2.0,"type":"summary"})"});
}

TEST_F(AiTablesTest, ClausesTheTablesCannotHonourAreRefused) {
  const std::string top = "ai_top_risks supports only a select list, LIMIT and, for ai_cluster_summary, WHERE "
                          "cluster_id = '<id>'";
  const std::string cluster = "ai_cluster_summary supports only a select list, LIMIT and, for ai_cluster_summary, "
                              "WHERE cluster_id = '<id>'";
  const std::string requires_id = "ai_cluster_summary requires WHERE cluster_id = '<id>'";
  struct Case {
    const char* sql;
    const std::string& message;
  };
  const Case cases[] = {
      {"SELECT * FROM ai_top_risks WHERE risk_score > 0.5", top},
      {"SELECT * FROM ai_top_risks ORDER BY risk_score", top},
      {"SELECT cluster_id FROM ai_top_risks GROUP BY cluster_id", top},
      {"SELECT count(*) FROM ai_top_risks", top},
      {"SELECT * FROM ai_top_risks AS OF 5", top},
      {"SELECT * FROM ai_top_risks JOIN t ON ai_top_risks.cluster_id = t.pk", top},
      {"SELECT * FROM ai_cluster_summary WHERE cluster_id = 'x' AND risk_score > 0.9", cluster},
      {"SELECT * FROM ai_cluster_summary WHERE cluster_id = 'x' ORDER BY risk_score", cluster},
      {"SELECT * FROM ai_cluster_summary", requires_id},
      {"SELECT * FROM ai_cluster_summary WHERE cluster_id = 'x' OR cluster_id = 'y'", requires_id},
      {"SELECT * FROM ai_cluster_summary WHERE cluster_id = 5", requires_id},
      {"SELECT * FROM ai_cluster_summary WHERE doc.cluster_id = 'x'", requires_id},
      {"SELECT * FROM ai_cluster_summary WHERE cluster_id <> 'x'", requires_id},
  };
  for (const Case& c : cases) expect_error(c.sql, c.message);
  // Only the exact lower-case names are the virtual tables.
  auto r = run("SELECT * FROM AI_TOP_RISKS");
  ASSERT_FALSE(r);
  EXPECT_EQ(r.error().message().find("supports only"), std::string::npos) << r.error().to_string();
}

TEST_F(AiTablesTest, ExtractStringEq) {
  auto parse_where = [](std::string_view where) {
    parser::Statement stmt = must(parser::parse_sql("SELECT * FROM t WHERE " + std::string(where)));
    return *stmt.get_if<parser::Statement::Select>()->filter;
  };
  EXPECT_EQ(extract_string_eq(parse_where("cluster_id = 'x' AND risk_score > 0.9")), "x");
  EXPECT_EQ(extract_string_eq(parse_where("risk_score > 0.9 AND 'y' = CLUSTER_ID")), "y");
  EXPECT_EQ(extract_string_eq(parse_where("cluster_id = 'x' OR cluster_id = 'y'")), std::nullopt);
  EXPECT_EQ(extract_string_eq(parse_where("NOT cluster_id = 'x'")), std::nullopt);
}

TEST_F(AiTablesTest, ClusterSummaryRows) {
  ai::AiInsight a = insight("a", 3, 0.4);
  ai::AiInsight b = insight("b", 1, 0.65);
  ai::AiInsight c = insight("c", 2, 0.4);
  a.tags = {"timeout"};
  c.tags = {"auth", "error"};
  store(a);
  store(b);
  store(c);
  store(insight("d", 4, 1.0, "other"));
  must(db->put("__ai/correlation/c-1/00000000000000000009/00", "not json", 0, testing::kMax));
  const std::vector<std::string> expected{
      R"({"all_tags":["auth","error","timeout"],"avg_risk_score":0.483,"cluster_id":"c-1","event_count":3,)"
      R"("max_risk_score":0.65,"type":"summary"})",
      R"({"insight_id":"62/1","risk_score":0.65,"source_key":"62","summary":"b changed","tags":["error"],"type":"event"})",
      R"({"insight_id":"63/2","risk_score":0.4,"source_key":"63","summary":"c changed","tags":["auth","error"],)"
      R"("type":"event"})",
      R"({"insight_id":"61/3","risk_score":0.4,"source_key":"61","summary":"a changed","tags":["timeout"],)"
      R"("type":"event"})",
  };
  EXPECT_EQ(rows("SELECT * FROM ai_cluster_summary WHERE cluster_id = 'c-1'"), expected);
  EXPECT_EQ(rows("SELECT * FROM ai_cluster_summary WHERE 'c-1' = Cluster_Id"), expected);
  EXPECT_EQ(rows("SELECT * FROM ai_cluster_summary WHERE cluster_id = 'c-1' LIMIT 2"),
            std::vector<std::string>(expected.begin(), expected.begin() + 2));
}

TEST_F(AiTablesTest, ClusterSummaryOfNoMembers) {
  store(insight("a", 1, 0.5, "c"));
  const std::string empty = R"({"all_tags":[],"avg_risk_score":0.0,"cluster_id":"%","event_count":0,)"
                            R"("max_risk_score":0.0,"type":"summary"})";
  for (std::string id : {"nope", "c/0000", "c-"}) {
    std::string want = empty;
    want.replace(want.find('%'), 1, id);
    EXPECT_EQ(rows("SELECT * FROM ai_cluster_summary WHERE cluster_id = '" + id + "'"), std::vector<std::string>{want});
  }
}

TEST_F(AiTablesTest, AverageRoundsHalvesAwayFromZero) {
  struct Case {
    std::vector<double> scores;
    double avg;
  };
  const Case cases[] = {
      {{0.0625}, 0.063},  // 62.5 thousandths: a tie, rounded up, not to even
      {{0.1875}, 0.188},
      {{0.25, 0.0}, 0.125},
      {{0.65, 0.4, 0.4}, 0.483},
      {{1.0, 1.0, 0.0}, 0.667},
  };
  int cluster = 0;
  for (const Case& c : cases) {
    std::string id = "avg-" + std::to_string(cluster++);
    std::uint64_t ts = 1;
    for (double s : c.scores) store(insight("k", ts++, s, id));
    std::vector<std::string> out = rows("SELECT avg_risk_score FROM ai_cluster_summary WHERE cluster_id = '" + id +
                                        "'");
    ASSERT_FALSE(out.empty());
    EXPECT_EQ(nlohmann::json::parse(out.front()).at("avg_risk_score").get<double>(), c.avg) << id;
  }
}

}  // namespace
}  // namespace quenlordb::sql::exec
