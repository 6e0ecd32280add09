// The insight runtime inside a Database opened with ai_enabled: puts in, records under "__ai/" out,
// written back through the shards and durable like any other batch.
#include <gtest/gtest.h>

#include <chrono>
#include <map>
#include <thread>

#include "ai/records.h"
#include "ai/risk/risk.h"
#include "ai/runtime.h"
#include "engine/database.h"
#include "engine/engine_test_util.h"
#include "support/temp_dir.h"

namespace quenlordb::ai {
namespace {

using namespace std::chrono_literals;
using engine::Database;
using engine::PrefixScanRow;
using engine::PrefixScanRows;
using engine::testing::must;

Config ai_config(bool group_commit) {
  Config c;
  c.shard_count = 4;
  c.group_commit_enabled = group_commit;
  c.ai_enabled = true;
  c.ai_batch_window_ms = 5;
  return c;
}

std::unique_ptr<Database> open_ai(const std::string& path, const Config& config) {
  return must(Database::open(path, config, start_insight_runtime), "open");
}

// Polls the prefix until it holds at least `count` rows or ten seconds pass; returns the last scan.
PrefixScanRows await_rows(Database& db, std::string_view prefix, std::size_t count) {
  const auto deadline = std::chrono::steady_clock::now() + 10s;
  for (;;) {
    auto rows = must(db.scan_prefix(prefix), "scan");
    if (rows.size() >= count || std::chrono::steady_clock::now() >= deadline) return rows;
    std::this_thread::sleep_for(2ms);
  }
}

TEST(DatabaseInsightsTest, QualifyingPutsGetTwoRecordsEach) {
  constexpr std::size_t kPuts = 12;
  constexpr std::uint64_t kFrom = 100, kTo = 200;
  for (const bool group_commit : {true, false}) {
    SCOPED_TRACE(group_commit ? "group commit" : "no group commit");
    quenlordb::testing::TempDir dir;
    std::map<std::string, std::uint64_t> source_ts;  // hex key -> commit ts of its put
    {
      auto db = open_ai(dir.path(), ai_config(group_commit));
      for (std::size_t i = 0; i < kPuts; ++i) {
        const std::string key = "key" + std::to_string(i);
        const std::uint64_t ts = must(db->put(key, R"({"msg":"refund )" + std::to_string(i) + R"( failed"})", kFrom, kTo));
        source_ts[risk::hex_encode(key)] = ts;
      }
      const auto rows = await_rows(*db, "__ai/", 2 * kPuts);
      ASSERT_EQ(rows.size(), 2 * kPuts);
      // Each put once, each record once: nothing raised an event of its own.
      EXPECT_EQ(must(db->stats()).writes, 3 * kPuts);
      EXPECT_EQ(must(db->scan_prefix("__ai/")).size(), 2 * kPuts);

      std::size_t insights = 0, correlations = 0;
      for (const PrefixScanRow& row : rows) {
        // Each record lives on the shard its key routes to.
        EXPECT_EQ(must(db->get(row.key)), row.doc) << row.key;
        if (row.key.starts_with(kInsightKeyPrefix)) {
          const AiInsight insight = read_ai_insight(row.doc).value();
          ASSERT_TRUE(source_ts.contains(insight.source_key_hex));
          EXPECT_EQ(insight.source_commit_ts, source_ts[insight.source_key_hex]);
          EXPECT_EQ(row.key, storage_key(insight));
          EXPECT_EQ(insight.tags, (std::vector<std::string>{"operational-error", "payments-risk"}));
          EXPECT_EQ(insight.risk_score, 0.65);
          ++insights;
        } else {
          ASSERT_TRUE(row.key.starts_with(kCorrelationKeyPrefix)) << row.key;
          const AiCorrelationRef correlation = read_ai_correlation_ref(row.doc).value();
          EXPECT_EQ(row.key, storage_key(correlation));
          EXPECT_EQ(correlation.source_commit_ts, source_ts[correlation.source_key_hex]);
          ++correlations;
        }
        // Valid over the source put's interval only.
        EXPECT_EQ(must(db->get(row.key, std::nullopt, kFrom)), row.doc);
        EXPECT_EQ(must(db->get(row.key, std::nullopt, kTo - 1)), row.doc);
        EXPECT_EQ(must(db->get(row.key, std::nullopt, kFrom - 1)), std::nullopt);
        EXPECT_EQ(must(db->get(row.key, std::nullopt, kTo)), std::nullopt);
      }
      EXPECT_EQ(insights, kPuts);
      EXPECT_EQ(correlations, kPuts);
    }
    // The records were logged like any batch: they survive a reopen (here without the runtime).
    Config plain = ai_config(group_commit);
    plain.ai_enabled = false;
    auto db = must(Database::open(dir.path(), plain), "reopen");
    EXPECT_EQ(must(db->scan_prefix("__ai/")).size(), 2 * kPuts);
    EXPECT_EQ(must(db->scan_prefix(kInsightKeyPrefix)).size(), kPuts);
  }
}

TEST(DatabaseInsightsTest, EmptyDocumentsAndReservedKeysGetNone) {
  quenlordb::testing::TempDir dir;
  auto db = open_ai(dir.path(), ai_config(true));
  must(db->put("empty", "", 0, UINT64_MAX));
  must(db->put("__ai/manual", "error", 0, UINT64_MAX));
  must(db->put("__ai", "error", 0, UINT64_MAX));   // not reserved: no slash
  must(db->put("__ai!", "error", 0, UINT64_MAX));  // nor this
  const auto insights = await_rows(*db, kInsightKeyPrefix, 2);
  ASSERT_EQ(insights.size(), 2u);
  // "__ai" sorts first: its hex is followed by the slash.
  EXPECT_EQ(read_ai_insight(insights[0].doc)->source_key_hex, risk::hex_encode("__ai"));
  EXPECT_EQ(read_ai_insight(insights[1].doc)->source_key_hex, risk::hex_encode("__ai!"));
  // Every record is in: four puts and four records, and nothing else under "__ai/" but the manual put.
  EXPECT_EQ(await_rows(*db, "__ai/", 5).size(), 5u);
  EXPECT_EQ(must(db->stats()).writes, 8u);
}

// Shard threads hand events over without waiting while the runtime waits on those same shards'
// replies: puts from several threads at once, each its own batch, all get their records.
TEST(DatabaseInsightsTest, ConcurrentPutsNeverWaitForTheRuntime) {
  constexpr int kThreads = 4, kPutsEach = 60;
  quenlordb::testing::TempDir dir;
  Config c = ai_config(true);
  c.ai_batch_max_events = 1;
  auto db = open_ai(dir.path(), c);
  std::vector<std::thread> writers;
  for (int t = 0; t < kThreads; ++t) {
    writers.emplace_back([&, t] {
      for (int i = 0; i < kPutsEach; ++i) {
        ASSERT_TRUE(db->put("t" + std::to_string(t) + "/" + std::to_string(i), "slow disk", 0, UINT64_MAX));
      }
    });
  }
  for (auto& w : writers) w.join();
  constexpr std::size_t kPuts = kThreads * kPutsEach;
  EXPECT_EQ(await_rows(*db, "__ai/", 2 * kPuts).size(), 2 * kPuts);
  EXPECT_EQ(must(db->stats()).writes, 3 * kPuts);
}

// A record key holds its source key in hex, twice as long: past the key limit the records are
// left out, and the rest of the batch is written.
TEST(DatabaseInsightsTest, RecordsWhoseKeyWouldBeTooLongAreLeftOut) {
  quenlordb::testing::TempDir dir;
  Config c = ai_config(false);
  c.ai_batch_max_events = 2;
  auto db = open_ai(dir.path(), c);
  const std::string long_key(40 * 1024, 'u');
  must(db->put(long_key, R"({"msg":"refund failed"})", 0, 10));
  must(db->put("short", R"({"msg":"refund failed"})", 0, 10));
  const auto rows = await_rows(*db, "__ai/", 2);
  std::this_thread::sleep_for(50ms);  // a wrongly written pair would be there by now
  EXPECT_EQ(must(db->scan_prefix("__ai/")).size(), 2u);
  for (const PrefixScanRow& row : rows) {
    EXPECT_LE(row.key.size(), kMaxKeyBytes);
    EXPECT_NE(row.key.find(risk::hex_encode("short")), std::string::npos) << row.key.substr(0, 64);
  }
  EXPECT_EQ(must(db->get(long_key)), R"({"msg":"refund failed"})");
}

TEST(DatabaseInsightsTest, DroppingWhileABatchFillsIsClean) {
  quenlordb::testing::TempDir dir;
  Config c = ai_config(true);
  c.ai_batch_window_ms = 3'600'000;  // an hour: only the drop closes the batch
  c.ai_batch_max_events = 1'000'000;
  {
    auto db = open_ai(dir.path(), c);
    for (int i = 0; i < 5; ++i) must(db->put("k" + std::to_string(i), "timeout", 0, 10));
  }  // returns without waiting for the window; what the batch held is written first
  c.ai_enabled = false;
  auto db = must(Database::open(dir.path(), c), "reopen");
  const std::size_t records = must(db->scan_prefix("__ai/")).size();
  EXPECT_EQ(records % 2, 0u);
  EXPECT_LE(records, 10u);
}

}  // namespace
}  // namespace quenlordb::ai
