// The engine's hook for the insight runtime, which lives in a layer above the engine (src/ai).
//
// When ai_enabled is on, Database::open subscribes every shard (the empty prefix) to one unbounded
// change-event channel, keeps no sending end of it itself, and calls the InsightStarter it was given
// with an InsightFeed: the channel's receiving end, a copy of the shard senders in shard order, the
// hasher and the config. The starter starts the runtime's thread and returns an InsightService that
// owns it; an error it returns (the thread could not be started: QuenlorError::Io) fails the open.
// The Database owns the service and destroys it after the group-commit thread has shut down and
// before the shards are sent Shutdown; the service's destructor must stop and join its thread (a
// panic of that thread is discarded). The engine calls nothing else on it.
#pragma once

#include <memory>
#include <vector>

#include "config.h"
#include "engine/shard_command.h"
#include "error.h"
#include "hasher.h"
#include "util/channel.h"

namespace quenlordb::engine {

struct InsightFeed {
  util::Receiver<ChangeEvent> events;
  std::vector<util::Sender<ShardCommand>> senders;  // index = shard number
  std::shared_ptr<const Hasher> hasher;
  Config config;
};

class InsightService {
 public:
  InsightService() = default;
  InsightService(const InsightService&) = delete;
  InsightService& operator=(const InsightService&) = delete;
  // Stops and joins the runtime's thread.
  virtual ~InsightService() = default;
};

using InsightStarter = Result<std::unique_ptr<InsightService>> (*)(InsightFeed feed);

}  // namespace quenlordb::engine
