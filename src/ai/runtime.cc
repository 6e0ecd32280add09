#include "ai/runtime.h"

#include <algorithm>
#include <chrono>

#include "ai/records.h"
#include "ai/rules.h"
#include "engine/database.h"
#include "engine/shard_shared.h"
#include "ledger/internal_key.h"
#include "ledger/record.h"
#include "storage/wal.h"
#include "util/thread.h"

namespace quenlordb::ai {

namespace {

using engine::ChangeEvent;
using engine::ShardCommand;
using engine::WriteBatchItem;
using Clock = std::chrono::steady_clock;

// The batch reserves room for at most this many events when it opens and grows past it only as
// events arrive: the cap is a user setting with no upper bound.
constexpr std::size_t kBatchReserve = 64;

// The records' write tag: the writes of SQL and of insight batches carry 1.
constexpr std::uint64_t kInsightWriteTag = 1;

// The deadline window_ms after now, or none when the window does not fit comfortably in what is left
// of the clock's range (no timed wait is then needed: the batch closes at its cap or a stop).
std::optional<util::Deadline> deadline_after(util::Deadline now, std::uint64_t window_ms) {
  const auto headroom = std::chrono::duration_cast<std::chrono::milliseconds>(util::Deadline::max() - now).count();
  if (headroom <= 0 || window_ms > static_cast<std::uint64_t>(headroom) / 2) return std::nullopt;
  return now + std::chrono::milliseconds(static_cast<std::int64_t>(window_ms));
}

// Whether the shards take the record as a write: its key no longer than a put's may be, and the
// record within one log frame. A record they would refuse fails the whole batch put of its shard,
// so it is left out instead.
bool storable(std::string_view key, std::string_view doc) {
  if (key.size() > kMaxKeyBytes) return false;
  const std::size_t payload = ledger::fact_write_payload_size(key.size() + ledger::kInternalKeySuffixBytes,
                                                              ledger::fact_value_size(doc.size()), std::nullopt,
                                                              kInsightWriteTag);
  return payload <= storage::kWalMaxBodyBytes;
}

class Runtime {
 public:
  Runtime(util::Receiver<ChangeEvent>& events, util::Receiver<AiStop>& stop,
          std::vector<util::Sender<ShardCommand>>& shards, const Hasher& hasher, const Config& config,
          const AiRuntimeHooks& hooks)
      : events_(events),
        stop_(stop),
        shards_(shards),
        hasher_(hasher),
        hooks_(hooks),
        window_ms_(std::max<std::uint64_t>(config.ai_batch_window_ms, 1)),
        cap_(std::max<std::uint64_t>(config.ai_batch_max_events, 1)) {}

  void run() {
    std::vector<ChangeEvent> batch;
    batch.reserve(static_cast<std::size_t>(std::min<std::uint64_t>(cap_, kBatchReserve)));
    for (;;) {
      // Idle: wait without limit.
      auto first = wait(std::nullopt);
      if (first.which != util::Selected::Second || !first.second) return;  // stop, or every shard gone
      batch.clear();
      batch.push_back(std::move(*first.second));

      // Filling.
      const std::optional<util::Deadline> deadline = deadline_after(Clock::now(), window_ms_);
      bool end_after = false;
      while (batch.size() < cap_) {
        if (deadline && Clock::now() >= *deadline) break;
        auto next = wait(deadline);
        if (next.which == util::Selected::Timeout) break;
        if (next.which == util::Selected::First || !next.second) {
          end_after = true;
          break;
        }
        batch.push_back(std::move(*next.second));
      }

      write(batch);
      if (end_after) return;
    }
  }

 private:
  util::SelectResult<AiStop, ChangeEvent> wait(const std::optional<util::Deadline>& deadline) {
    auto take_event = [this] {
      return hooks_.when_both_ready ? hooks_.when_both_ready() == ReadySide::Event : util::coin_flip();
    };
    if (deadline) return util::select_until(stop_, events_, *deadline, take_event);
    return util::select(stop_, events_, take_event);
  }

  std::uint64_t now_ms() const { return hooks_.wall_clock_ms ? hooks_.wall_clock_ms() : system_wall_clock_ms(); }

  void write(const std::vector<ChangeEvent>& batch) {
    const std::size_t n = shards_.size();
    if (n == 0) return;
    std::vector<std::vector<WriteBatchItem>> plan(n);
    auto clock = [this] { return now_ms(); };
    for (const ChangeEvent& event : batch) {
      std::optional<AiInsight> insight = build_insight(event, hasher_, clock);
      if (!insight) continue;
      const AiCorrelationRef correlation = correlation_of(*insight);
      std::string insight_key = storage_key(*insight);
      std::string correlation_key = storage_key(correlation);
      std::string insight_doc = to_json(*insight);
      std::string correlation_doc = to_json(correlation);
      // The two records go together or not at all (a long source key makes both keys long).
      if (!storable(insight_key, insight_doc) || !storable(correlation_key, correlation_doc)) continue;
      plan[engine::shard_of(hasher_.hash64(insight_key), n)].push_back(
          {kInsightWriteTag, std::move(insight_key), std::move(insight_doc), event.valid_from, event.valid_to});
      plan[engine::shard_of(hasher_.hash64(correlation_key), n)].push_back(
          {kInsightWriteTag, std::move(correlation_key), std::move(correlation_doc), event.valid_from, event.valid_to});
    }
    for (std::size_t shard = 0; shard < n; ++shard) {
      if (plan[shard].empty()) continue;
      auto [reply_tx, reply_rx] = util::make_bounded_channel<Result<std::vector<std::uint64_t>>>(1);
      if (!shards_[shard].send(ShardCommand{ShardCommand::PutBatch{std::move(reply_tx), std::move(plan[shard])}})) {
        continue;  // the shard thread is gone: this part is lost
      }
      // An error, a wrong number of timestamps or no reply at all lose this part too; nothing is
      // retried or reported, and the timestamps of a good reply are not needed. Waiting here keeps
      // the shards of one batch in shard order.
      (void)reply_rx.recv();
    }
  }

  util::Receiver<ChangeEvent>& events_;
  util::Receiver<AiStop>& stop_;
  std::vector<util::Sender<ShardCommand>>& shards_;
  const Hasher& hasher_;
  const AiRuntimeHooks& hooks_;
  const std::uint64_t window_ms_;
  const std::uint64_t cap_;
};

}  // namespace

void run_ai_runtime(util::Receiver<ChangeEvent> events, util::Receiver<AiStop> stop,
                    std::vector<util::Sender<ShardCommand>> shard_senders, std::shared_ptr<const Hasher> hasher,
                    Config config, AiRuntimeHooks hooks) noexcept {
  try {
    Runtime(events, stop, shard_senders, *hasher, config, hooks).run();
  } catch (...) {
    // A fault in the rules or a write ends the insight thread alone; the database goes on without
    // insights. The event receiver is dropped on return, so the shards unsubscribe.
  }
}

Result<AiRuntimeHandle> AiRuntimeHandle::spawn(util::Receiver<ChangeEvent> events,
                                               std::vector<util::Sender<ShardCommand>> shard_senders,
                                               std::shared_ptr<const Hasher> hasher, const Config& config,
                                               AiRuntimeHooks hooks) {
  auto [stop_tx, stop_rx] = util::make_channel<AiStop>();
  std::thread thread = TRY(util::spawn_named(
      "quenlordb-ai-runtime", [events = std::move(events), stop_rx = std::move(stop_rx),
                               shard_senders = std::move(shard_senders), hasher = std::move(hasher), config,
                               hooks = std::move(hooks)]() mutable {
        run_ai_runtime(std::move(events), std::move(stop_rx), std::move(shard_senders), std::move(hasher),
                       std::move(config), std::move(hooks));
      }));
  return AiRuntimeHandle(std::move(stop_tx), std::move(thread));
}

void AiRuntimeHandle::stop() {
  (void)shutdown_tx_.send(AiStop{});
  if (thread_handle_ && thread_handle_->joinable()) thread_handle_->join();
  thread_handle_.reset();
}

namespace {

// What the Database owns: destroying it stops and joins the runtime.
class AiRuntimeService final : public engine::InsightService {
 public:
  explicit AiRuntimeService(AiRuntimeHandle handle) : handle_(std::move(handle)) {}

 private:
  AiRuntimeHandle handle_;
};

}  // namespace

Result<std::unique_ptr<engine::InsightService>> start_insight_runtime(engine::InsightFeed feed) {
  AiRuntimeHandle handle =
      TRY(AiRuntimeHandle::spawn(std::move(feed.events), std::move(feed.senders), std::move(feed.hasher), feed.config));
  return std::make_unique<AiRuntimeService>(std::move(handle));
}

}  // namespace quenlordb::ai
