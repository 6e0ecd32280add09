// The insight runtime against test-owned channels acting as shards: each fake shard answers its
// PutBatch commands on its own thread, by a per-shard policy, and logs what it received in arrival
// order.
#include "ai/runtime.h"

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <future>
#include <mutex>
#include <set>
#include <thread>

#include "ai/records.h"
#include "ai/risk/risk.h"
#include "ai/rules.h"

namespace quenlordb::ai {
namespace {

using namespace std::chrono_literals;
using engine::ChangeEvent;
using engine::ShardCommand;
using engine::WriteBatchItem;

constexpr std::uint64_t kClockMs = 1'700'000'000'000;
constexpr std::uint64_t kHour = 3'600'000;

struct Received {
  std::size_t shard;
  std::vector<WriteBatchItem> items;
};

enum class Reply { Ok, Error, WrongLength, DropReply, DropReceiver };

class FakeShards {
 public:
  explicit FakeShards(std::size_t n, std::vector<Reply> policy = {}) {
    policy.resize(n, Reply::Ok);
    for (std::size_t j = 0; j < n; ++j) {
      auto [tx, rx] = util::make_channel<ShardCommand>();
      senders_.push_back(std::move(tx));
      if (policy[j] == Reply::DropReceiver) continue;  // rx goes now: sends to this shard fail
      threads_.emplace_back([this, j, reply = policy[j], rx = std::move(rx)]() mutable { serve(j, reply, rx); });
    }
  }
  ~FakeShards() {
    senders_.clear();
    for (auto& t : threads_) t.join();  // each ends once the runtime's senders are gone too
  }

  std::vector<util::Sender<ShardCommand>> senders() const { return senders_; }
  // Drops the test's own senders, so that the shard threads end with the runtime's.
  void release_senders() { senders_.clear(); }

  // True once at least `count` items arrived in all, false when the wait runs out first.
  bool wait_items(std::size_t count, std::chrono::milliseconds wait = 10s) {
    std::unique_lock lock(mu_);
    return cv_.wait_for(lock, wait, [&] { return items_ >= count; });
  }
  std::vector<Received> log() {
    std::lock_guard lock(mu_);
    return log_;
  }
  std::size_t items() {
    std::lock_guard lock(mu_);
    return items_;
  }

 private:
  void serve(std::size_t shard, Reply reply, util::Receiver<ShardCommand>& rx) {
    while (auto command = rx.recv()) {
      auto* batch = std::get_if<ShardCommand::PutBatch>(&command->value);
      if (!batch) continue;
      const std::size_t n = batch->items.size();
      auto reply_tx = std::move(batch->reply);
      {
        std::lock_guard lock(mu_);
        log_.push_back({shard, std::move(batch->items)});
        items_ += n;
      }
      cv_.notify_all();
      Result<std::vector<std::uint64_t>> answer;
      switch (reply) {
        case Reply::Ok: answer = std::vector<std::uint64_t>(n, 1); break;
        case Reply::Error: answer = fail(QuenlorError::io(5)); break;
        case Reply::WrongLength: answer = std::vector<std::uint64_t>(n + 1, 1); break;
        case Reply::DropReply:
        case Reply::DropReceiver: continue;  // the reply sender goes unanswered
      }
      (void)reply_tx.send(std::move(answer));
    }
  }

  std::vector<util::Sender<ShardCommand>> senders_;
  std::vector<std::thread> threads_;
  std::mutex mu_;
  std::condition_variable cv_;
  std::vector<Received> log_;
  std::size_t items_ = 0;
};

Config runtime_config(std::uint64_t cap, std::uint64_t window_ms) {
  Config c;
  c.ai_enabled = true;
  c.ai_batch_max_events = cap;
  c.ai_batch_window_ms = window_ms;
  return c;
}

AiRuntimeHooks hooks(ReadySide side = ReadySide::Event) {
  return {[side] { return side; }, [] { return kClockMs; }};
}

std::shared_ptr<const Hasher> hasher() { return std::make_shared<FnvMixHasher>(); }

ChangeEvent event(std::string key, std::string doc, std::uint64_t ts) { return {std::move(key), std::move(doc), ts, ts, ts + 100}; }

// What the runtime must send for these events (in one batch): one list per shard.
std::vector<std::vector<WriteBatchItem>> expected_plan(const std::vector<ChangeEvent>& events, std::size_t n) {
  FnvMixHasher h;
  std::vector<std::vector<WriteBatchItem>> plan(n);
  for (const ChangeEvent& e : events) {
    auto insight = build_insight(e, h, [] { return kClockMs; });
    if (!insight) continue;
    const std::string ikey = insight_storage_key(risk::hex_encode(e.key), e.commit_ts);
    const std::string ckey = correlation_storage_key(insight->cluster_id, e.key, e.commit_ts);
    plan[h.hash64(ikey) % n].push_back({1, ikey, to_json(*insight), e.valid_from, e.valid_to});
    plan[h.hash64(ckey) % n].push_back({1, ckey, to_json(correlation_of(*insight)), e.valid_from, e.valid_to});
  }
  return plan;
}

void expect_items(const std::vector<WriteBatchItem>& got, const std::vector<WriteBatchItem>& want) {
  ASSERT_EQ(got.size(), want.size());
  for (std::size_t i = 0; i < got.size(); ++i) {
    EXPECT_EQ(got[i].write_tag, want[i].write_tag) << i;
    EXPECT_EQ(got[i].key, want[i].key) << i;
    EXPECT_EQ(got[i].doc, want[i].doc) << i;
    EXPECT_EQ(got[i].valid_from, want[i].valid_from) << i;
    EXPECT_EQ(got[i].valid_to, want[i].valid_to) << i;
  }
}

std::vector<ChangeEvent> mixed_events(std::uint64_t first_ts) {
  return {
      event("k1", R"({"msg":"Payment refund FAILED"})", first_ts),
      event("__ai/x", "error", first_ts + 1),  // skipped: reserved key
      event("k2", "", first_ts + 2),           // skipped: empty document
      event("__ai", "login", first_ts + 3),
      event("__ai!", "upstream deploy", first_ts + 4),
      event("k3", "all quiet", first_ts + 5),
  };
}

TEST(AiRuntimeTest, WritesEachRecordToItsKeysShardInShardOrder) {
  constexpr std::size_t kShards = 4;
  FakeShards shards(kShards);
  auto [tx, rx] = util::make_channel<ChangeEvent>();
  const auto events = mixed_events(10);
  auto handle = AiRuntimeHandle::spawn(std::move(rx), shards.senders(), hasher(),
                                       runtime_config(events.size(), kHour), hooks())
                    .value();
  shards.release_senders();
  for (const auto& e : events) ASSERT_TRUE(tx.send(e));

  const auto plan = expected_plan(events, kShards);
  std::size_t total = 0, used = 0;
  for (const auto& list : plan) total += list.size(), used += !list.empty();
  ASSERT_EQ(total, 8u);  // four qualifying events, two records each
  ASSERT_TRUE(shards.wait_items(total));
  const auto log = shards.log();
  ASSERT_EQ(log.size(), used);  // one PutBatch per shard that has records
  for (std::size_t i = 0; i < log.size(); ++i) {
    if (i > 0) {
      EXPECT_LT(log[i - 1].shard, log[i].shard);  // ascending shard number
    }
    expect_items(log[i].items, plan[log[i].shard]);
  }
}

TEST(AiRuntimeTest, AShardsFailureLosesOnlyItsPart) {
  constexpr std::size_t kShards = 4;
  std::vector<ChangeEvent> first_batch, second_batch;
  for (std::uint64_t i = 0; i < 4; ++i) first_batch.push_back(event("a" + std::to_string(i), "error", 100 + i));
  for (std::uint64_t i = 0; i < 4; ++i) second_batch.push_back(event("b" + std::to_string(i), "error", 200 + i));
  const auto plan1 = expected_plan(first_batch, kShards);
  const auto plan2 = expected_plan(second_batch, kShards);
  std::size_t failing = 0;
  while (plan1[failing].empty()) ++failing;  // the first shard this batch writes to
  std::size_t used1 = 0;
  for (const auto& list : plan1) used1 += !list.empty();
  ASSERT_GE(used1, 3u);

  for (const Reply mode : {Reply::Error, Reply::WrongLength, Reply::DropReply, Reply::DropReceiver}) {
    SCOPED_TRACE(static_cast<int>(mode));
    std::vector<Reply> policy(kShards, Reply::Ok);
    policy[failing] = mode;
    FakeShards shards(kShards, policy);
    auto [tx, rx] = util::make_channel<ChangeEvent>();
    auto handle = AiRuntimeHandle::spawn(std::move(rx), shards.senders(), hasher(), runtime_config(4, kHour), hooks())
                      .value();
    shards.release_senders();

    auto expected_items = [&](const auto& plan) {
      std::size_t n = 0;
      for (std::size_t j = 0; j < kShards; ++j) n += (mode == Reply::DropReceiver && j == failing) ? 0 : plan[j].size();
      return n;
    };
    for (const auto& e : first_batch) ASSERT_TRUE(tx.send(e));
    ASSERT_TRUE(shards.wait_items(expected_items(plan1)));
    for (const auto& e : second_batch) ASSERT_TRUE(tx.send(e));
    ASSERT_TRUE(shards.wait_items(expected_items(plan1) + expected_items(plan2)));
    handle.stop();

    // Every shard still got its own part of both batches, in shard order per batch.
    const auto log = shards.log();
    std::size_t at = 0;
    for (const auto* plan : {&plan1, &plan2}) {
      for (std::size_t j = 0; j < kShards; ++j) {
        if ((*plan)[j].empty() || (mode == Reply::DropReceiver && j == failing)) continue;
        ASSERT_LT(at, log.size());
        EXPECT_EQ(log[at].shard, j);
        expect_items(log[at].items, (*plan)[j]);
        ++at;
      }
    }
    EXPECT_EQ(at, log.size());
  }
}

TEST(AiRuntimeTest, CapOfOneWritesEveryEventAtOnce) {
  FakeShards shards(2);
  auto [tx, rx] = util::make_channel<ChangeEvent>();
  // A window of an hour: only the cap can close these batches in time.
  auto handle =
      AiRuntimeHandle::spawn(std::move(rx), shards.senders(), hasher(), runtime_config(1, kHour), hooks()).value();
  shards.release_senders();
  for (std::uint64_t i = 1; i <= 3; ++i) {
    ASSERT_TRUE(tx.send(event("k" + std::to_string(i), "error", i)));
    ASSERT_TRUE(shards.wait_items(2 * i));
  }
}

TEST(AiRuntimeTest, ABatchClosesAtItsCapWithoutWaitingForTheWindow) {
  FakeShards shards(3);
  auto [tx, rx] = util::make_channel<ChangeEvent>();
  auto handle =
      AiRuntimeHandle::spawn(std::move(rx), shards.senders(), hasher(), runtime_config(3, kHour), hooks()).value();
  shards.release_senders();
  ASSERT_TRUE(tx.send(event("a", "x", 1)));
  ASSERT_TRUE(tx.send(event("b", "x", 2)));
  EXPECT_FALSE(shards.wait_items(1, 200ms));
  ASSERT_TRUE(tx.send(event("c", "x", 3)));
  ASSERT_TRUE(shards.wait_items(6));
  // The fourth event opens the next batch, which waits.
  ASSERT_TRUE(tx.send(event("d", "x", 4)));
  EXPECT_FALSE(shards.wait_items(7, 200ms));
  // Stopping while it fills: the batch is written, then the thread ends.
  handle.stop();
  EXPECT_EQ(shards.items(), 8u);
}

TEST(AiRuntimeTest, ABatchClosesOneWindowAfterItsFirstEvent) {
  FakeShards shards(2);
  auto [tx, rx] = util::make_channel<ChangeEvent>();
  auto handle =
      AiRuntimeHandle::spawn(std::move(rx), shards.senders(), hasher(), runtime_config(16, 50), hooks()).value();
  shards.release_senders();
  const auto sent = std::chrono::steady_clock::now();
  ASSERT_TRUE(tx.send(event("a", "x", 1)));
  ASSERT_TRUE(shards.wait_items(2));
  EXPECT_GE(std::chrono::steady_clock::now() - sent, 50ms);  // a lower bound only
}

TEST(AiRuntimeTest, SettingsBeyondTheClockOrMemoryDoNotBreakTheThread) {
  // A window too long for the clock means no deadline: the batch waits for its cap.
  for (const std::uint64_t window : {UINT64_MAX, std::uint64_t{1} << 62, std::uint64_t{9'223'372'036'854}}) {
    SCOPED_TRACE(window);
    FakeShards shards(2);
    auto [tx, rx] = util::make_channel<ChangeEvent>();
    auto handle =
        AiRuntimeHandle::spawn(std::move(rx), shards.senders(), hasher(), runtime_config(2, window), hooks()).value();
    shards.release_senders();
    ASSERT_TRUE(tx.send(event("a", "x", 1)));
    EXPECT_FALSE(shards.wait_items(1, 200ms));
    ASSERT_TRUE(tx.send(event("b", "x", 2)));
    ASSERT_TRUE(shards.wait_items(4));
  }
  // A cap far beyond memory: the batch is not reserved for it, and the window still closes it.
  FakeShards shards(2);
  auto [tx, rx] = util::make_channel<ChangeEvent>();
  auto handle =
      AiRuntimeHandle::spawn(std::move(rx), shards.senders(), hasher(), runtime_config(UINT64_MAX, 20), hooks()).value();
  shards.release_senders();
  ASSERT_TRUE(tx.send(event("a", "x", 1)));
  ASSERT_TRUE(shards.wait_items(2));
}

TEST(AiRuntimeTest, StoppingAnIdleThreadDoesNotWaitForTheWindow) {
  FakeShards shards(2);
  auto [tx, rx] = util::make_channel<ChangeEvent>();
  auto handle =
      AiRuntimeHandle::spawn(std::move(rx), shards.senders(), hasher(), runtime_config(16, kHour), hooks()).value();
  shards.release_senders();
  handle.stop();  // returns: the idle thread ends at once (an hour's wait would time the test out)
  handle.stop();
  EXPECT_EQ(shards.items(), 0u);
  EXPECT_FALSE(tx.send(event("a", "x", 1)));  // the event receiver went with the thread
}

TEST(AiRuntimeTest, StoppingWhileFillingWritesTheBatch) {
  FakeShards shards(2);
  auto [tx, rx] = util::make_channel<ChangeEvent>();
  // Events win when both are ready, so the queued event is taken before the stop.
  auto handle = AiRuntimeHandle::spawn(std::move(rx), shards.senders(), hasher(), runtime_config(16, kHour),
                                       hooks(ReadySide::Event))
                    .value();
  shards.release_senders();
  ASSERT_TRUE(tx.send(event("a", "x", 1)));
  handle.stop();
  EXPECT_EQ(shards.items(), 2u);
}

// Runs the thread's body on this thread over channels the test filled beforehand, so that the
// stop and the events are both ready at the first wait.
TEST(AiRuntimeTest, TheChooserDecidesBetweenAQueuedStopAndQueuedEvents) {
  for (const ReadySide side : {ReadySide::Stop, ReadySide::Event}) {
    SCOPED_TRACE(side == ReadySide::Stop ? "stop first" : "events first");
    FakeShards shards(2);
    auto [tx, rx] = util::make_channel<ChangeEvent>();
    auto [stop_tx, stop_rx] = util::make_channel<AiStop>();
    for (std::uint64_t i = 1; i <= 3; ++i) ASSERT_TRUE(tx.send(event("k" + std::to_string(i), "x", i)));
    ASSERT_TRUE(stop_tx.send(AiStop{}));
    run_ai_runtime(std::move(rx), std::move(stop_rx), shards.senders(), hasher(), runtime_config(16, kHour),
                   hooks(side));
    // Stop first: the queued events are dropped. Events first: all three are taken, then the stop
    // closes their batch, which is written before the thread ends.
    EXPECT_EQ(shards.items(), side == ReadySide::Stop ? 0u : 6u);
    EXPECT_FALSE(tx.send(event("late", "x", 9)));
    shards.release_senders();
  }
}

TEST(AiRuntimeTest, EndsWhenTheShardsOrTheStopSenderAreGone) {
  struct Case {
    const char* name;
    bool with_event;
    bool drop_events;  // else drop the stop sender
  };
  const Case cases[] = {
      {"events disconnected while idle", false, true},
      {"events disconnected while filling", true, true},
      {"stop sender gone while idle", false, false},
      {"stop sender gone while filling", true, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    FakeShards shards(2);
    auto [tx, rx] = util::make_channel<ChangeEvent>();
    auto [stop_tx, stop_rx] = util::make_channel<AiStop>();
    std::optional<util::Sender<ChangeEvent>> events(std::move(tx));
    std::optional<util::Sender<AiStop>> stop(std::move(stop_tx));
    std::promise<void> ended;
    std::thread thread([&, rx = std::move(rx), stop_rx = std::move(stop_rx), senders = shards.senders()]() mutable {
      run_ai_runtime(std::move(rx), std::move(stop_rx), std::move(senders), hasher(), runtime_config(16, kHour),
                     hooks(ReadySide::Event));
      ended.set_value();
    });
    shards.release_senders();
    if (c.with_event) {
      ASSERT_TRUE(events->send(event("a", "x", 1)));
    }
    if (c.drop_events) {
      events.reset();
    } else {
      stop.reset();
    }
    const bool done = ended.get_future().wait_for(10s) == std::future_status::ready;
    if (!done) {  // let the thread go before failing
      events.reset();
      if (stop) (void)stop->send(AiStop{});
    }
    thread.join();
    EXPECT_TRUE(done);
    EXPECT_EQ(shards.items(), c.with_event ? 2u : 0u);
  }
}

// A hasher that fails: every event's processing throws.
class ThrowingHasher final : public Hasher {
 public:
  std::uint64_t hash64(std::string_view) const override { panic("hasher fault"); }
  std::string_view name() const override { return "throwing"; }
};

TEST(AiRuntimeTest, AFaultEndsOnlyTheThreadAndItsSubscription) {
  FakeShards shards(2);
  auto [tx, rx] = util::make_channel<ChangeEvent>();
  auto handle = AiRuntimeHandle::spawn(std::move(rx), shards.senders(), std::make_shared<ThrowingHasher>(),
                                       runtime_config(1, kHour), hooks())
                    .value();
  shards.release_senders();
  ASSERT_TRUE(tx.send(event("a", "x", 1)));
  // The thread ends and drops its event receiver: sends start to fail, as a shard's would.
  const auto deadline = std::chrono::steady_clock::now() + 10s;
  bool disconnected = false;
  while (!disconnected && std::chrono::steady_clock::now() < deadline) {
    disconnected = !tx.send(event("b", "x", 2));
    if (!disconnected) std::this_thread::sleep_for(1ms);
  }
  EXPECT_TRUE(disconnected);
  handle.stop();
  EXPECT_EQ(shards.items(), 0u);
}

}  // namespace
}  // namespace quenlordb::ai
