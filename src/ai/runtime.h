// The insight runtime: one background thread, "quenlordb-ai-runtime", that receives the shards'
// change events, gathers them into small batches, turns each event into an insight by the rules
// (ai/rules.h) and writes its two records (ai/records.h) back through the shards as one PutBatch
// command per shard and batch.
//
// Batching: a batch opens with its first event and closes at the first of `ai_batch_max_events`
// events, `ai_batch_window_ms` after its first event, or a stop or disconnection (0 counts as 1 for
// both settings). A window too long for the monotonic clock means no deadline. The batch is always
// written before the thread ends.
//
// Writing: each record goes to the shard that owns its key (hash64 % shard count, like every put),
// with write_tag 1 and the source put's validity interval. Shards are served one after another in
// ascending shard number, each reply awaited before the next send. Insights are best effort: a shard
// that is gone, answers with an error or with the wrong number of timestamps loses its part of the
// batch, silently; events still queued when the thread ends are dropped.
//
// The thread never ends the process: any exception in its body ends the thread alone, and its event
// receiver goes with it (the shards then drop their subscription at the next failed send). It holds
// no locks and touches no shard state directly; the event channel is unbounded, so a shard thread
// never waits for it (the runtime itself waits on the shards' replies).
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <thread>
#include <vector>

#include "config.h"
#include "engine/insight_service.h"
#include "engine/shard_command.h"
#include "error.h"
#include "hasher.h"
#include "util/channel.h"

namespace quenlordb::ai {

// The message of the stop channel.
struct AiStop {};

// Which side a wait takes when a stop and an event are both ready.
enum class ReadySide : std::uint8_t { Stop, Event };

// Test seams; empty members take the production behaviour.
struct AiRuntimeHooks {
  std::function<ReadySide()> when_both_ready;    // empty: either side with equal chance
  std::function<std::uint64_t()> wall_clock_ms;  // empty: the system clock
};

// Owns the runtime thread. Destroying (or stopping) it sends one stop message and joins the thread:
// a thread writing a batch finishes it, one filling a batch closes and writes it, an idle one ends
// at once. Created and destroyed on the thread that owns the database.
class AiRuntimeHandle {
 public:
  // Starts the thread on the event receiver, one command sender per shard (index = shard number),
  // the database's hasher and a copy of the config. Error: Io when the thread cannot be started.
  static Result<AiRuntimeHandle> spawn(util::Receiver<engine::ChangeEvent> events,
                                       std::vector<util::Sender<engine::ShardCommand>> shard_senders,
                                       std::shared_ptr<const Hasher> hasher, const Config& config,
                                       AiRuntimeHooks hooks = {});

  AiRuntimeHandle(AiRuntimeHandle&&) noexcept = default;
  AiRuntimeHandle& operator=(AiRuntimeHandle&&) = delete;
  AiRuntimeHandle(const AiRuntimeHandle&) = delete;
  AiRuntimeHandle& operator=(const AiRuntimeHandle&) = delete;
  ~AiRuntimeHandle() { stop(); }

  // Sends the stop message (a failed send is ignored) and joins the thread. Idempotent.
  void stop();

 private:
  AiRuntimeHandle(util::Sender<AiStop> shutdown_tx, std::thread thread)
      : shutdown_tx_(std::move(shutdown_tx)), thread_handle_(std::move(thread)) {}

  util::Sender<AiStop> shutdown_tx_;
  std::optional<std::thread> thread_handle_;  // empty once joined
};

// The thread's body: waits, batches and writes until a stop, the stop sender's departure or the
// disconnection of every event sender. Catches everything it raises.
void run_ai_runtime(util::Receiver<engine::ChangeEvent> events, util::Receiver<AiStop> stop,
                    std::vector<util::Sender<engine::ShardCommand>> shard_senders,
                    std::shared_ptr<const Hasher> hasher, Config config, AiRuntimeHooks hooks = {}) noexcept;

// The engine's insight hook (engine/insight_service.h): starts the runtime on the feed that
// Database::open prepared when ai_enabled is on, and returns the service that stops it. Pass it to
// Database::open for ai_enabled to take effect.
Result<std::unique_ptr<engine::InsightService>> start_insight_runtime(engine::InsightFeed feed);

}  // namespace quenlordb::ai
