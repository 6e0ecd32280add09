// The messages a shard thread accepts on its command channel, and the records they carry. Replies
// travel on capacity-1 channels created by the requester; a requester whose reply sender is dropped
// unanswered (the shard thread ended, or the command sat behind a shutdown) sees the channel close.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "error.h"
#include "util/channel.h"

namespace quenlordb::engine {

// One write of a batch put.
struct WriteBatchItem {
  std::optional<std::uint64_t> write_tag;
  std::string key;
  std::string doc;
  std::uint64_t valid_from = 0;
  std::uint64_t valid_to = 0;
};

// The notice of one committed single put, sent to each subscriber whose prefix matches the key.
struct ChangeEvent {
  std::string key;
  std::string doc;
  std::uint64_t commit_ts = 0;
  std::uint64_t valid_from = 0;
  std::uint64_t valid_to = 0;
};

// Receives the events of keys beginning with prefix (the empty prefix matches every key).
struct Subscriber {
  util::Sender<ChangeEvent> tx;
  std::string prefix;
};

// Counters the shard thread keeps, from 0 at open.
struct ShardStats {
  std::uint64_t writes = 0;  // single puts and batch items (risk records excluded)
  std::uint64_t flushes = 0;
  std::uint64_t compactions = 0;

  friend bool operator==(const ShardStats&, const ShardStats&) = default;
};

struct ShardCommand {
  struct Put {
    std::optional<std::uint64_t> write_tag;
    util::Sender<Result<std::uint64_t>> reply;
    std::string key;
    std::string doc;
    std::uint64_t valid_from = 0;
    std::uint64_t valid_to = 0;
  };
  struct PutBatch {
    util::Sender<Result<std::vector<std::uint64_t>>> reply;
    std::vector<WriteBatchItem> items;
  };
  struct MaybeFlush {};
  struct Subscribe {
    Subscriber subscriber;
  };
  struct Stats {
    util::Sender<ShardStats> reply;
  };
  struct Shutdown {
    // Fast writes of this shard whose log frames could not be written: the shard flushes its
    // memtable before it ends, so that they are kept.
    std::uint64_t unwritten_writes = 0;
  };

  std::variant<Put, PutBatch, MaybeFlush, Subscribe, Stats, Shutdown> value;
};

}  // namespace quenlordb::engine
