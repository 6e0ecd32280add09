#include "engine/fast_write.h"

#include <mutex>
#include <shared_mutex>
#include <string>

#include "ledger/internal_key.h"
#include "ledger/record.h"
#include "storage/wal.h"

namespace quenlordb::engine {

FastWritePath::FastWritePath(std::vector<std::shared_ptr<ShardShared>> shards, std::uint64_t memtable_max_bytes,
                             std::shared_ptr<storage::WalBatchQueue> queue, std::shared_ptr<const Hasher> hasher)
    : shards_(std::move(shards)),
      memtable_max_bytes_(memtable_max_bytes),
      queue_(std::move(queue)),
      hasher_(std::move(hasher)) {}

std::optional<std::uint64_t> FastWritePath::try_fast_put(std::string_view key, std::string_view doc,
                                                         std::uint64_t valid_from, std::uint64_t valid_to,
                                                         std::optional<std::uint64_t> write_tag) {
  if (!enabled_.load(std::memory_order_relaxed)) return std::nullopt;
  const std::size_t shard = hasher_->hash64(key) % shards_.size();
  ShardShared& s = *shards_[shard];
  if (s.has_subscribers.load(std::memory_order_relaxed) || !queue_->accepting()) return std::nullopt;

  const std::size_t key_len = key.size() + ledger::kInternalKeySuffixBytes;
  const std::size_t value_len = ledger::fact_value_size(doc.size());
  // A record the log could not replay goes to the shard thread, which refuses it with an error.
  if (ledger::fact_write_payload_size(key_len, value_len, std::nullopt, write_tag) > storage::kWalMaxBodyBytes)
    return std::nullopt;
  {
    std::shared_lock lock(s.active_mu);
    if (s.active.approx_bytes() >= memtable_max_bytes_) return std::nullopt;
  }

  std::string value;
  ledger::append_fact_value(value, valid_from, valid_to, doc);
  thread_local std::string frame;
  std::uint64_t ts;
  {
    std::lock_guard commit(s.commit_mu);
    ts = s.allocate_ts();
    std::string ikey;
    ikey.reserve(key_len);
    ledger::append_internal_key(ikey, key, ts);
    frame.clear();
    if (!storage::append_wal_frame(frame, ikey, value, std::nullopt, write_tag)) {
      return std::nullopt;  // unreachable after the size check; ts stays consumed
    }
    {
      std::unique_lock lock(s.active_mu);
      s.active.insert(std::move(ikey), std::move(value));
    }
    s.publish(ts);
  }
  queue_->enqueue(frame, shard);
  return ts;
}

}  // namespace quenlordb::engine
