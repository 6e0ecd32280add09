#include "engine/fast_write.h"

#include <mutex>
#include <new>
#include <shared_mutex>
#include <string>

#include "ledger/internal_key.h"
#include "ledger/record.h"
#include "storage/wal.h"

namespace quenlordb::engine {

namespace {

// A buffer kept across puts gives back the memory of an unusually large record.
constexpr std::size_t kKeptBufferBytes = 64 * 1024;

void shrink_if_large(std::string& buffer) {
  if (buffer.capacity() > kKeptBufferBytes) std::string().swap(buffer);
}

}  // namespace

FastWritePath::FastWritePath(std::vector<std::shared_ptr<ShardShared>> shards,
                             std::vector<std::shared_ptr<storage::WalLock>> wal_locks, std::uint64_t memtable_max_bytes,
                             std::shared_ptr<storage::WalBatchQueue> queue)
    : shards_(std::move(shards)),
      wal_locks_(std::move(wal_locks)),
      memtable_max_bytes_(memtable_max_bytes),
      queue_(std::move(queue)) {}

std::optional<std::uint64_t> FastWritePath::try_fast_put(std::size_t shard, std::string_view key, std::string_view doc,
                                                         std::uint64_t valid_from, std::uint64_t valid_to,
                                                         std::optional<std::uint64_t> write_tag) {
  if (!enabled_.load(std::memory_order_relaxed)) return std::nullopt;
  ShardShared& s = *shards_[shard];
  if (s.has_subscribers.load(std::memory_order_relaxed) || !queue_->accepting()) return std::nullopt;

  const std::size_t key_len = key.size() + ledger::kInternalKeySuffixBytes;
  const std::size_t value_len = ledger::fact_value_size(doc.size());
  // A record the log could not replay goes to the shard thread, which refuses it with an error.
  if (ledger::fact_write_payload_size(key_len, value_len, std::nullopt, write_tag) > storage::kWalMaxBodyBytes)
    return std::nullopt;
  if (s.memtable_full(memtable_max_bytes_)) return std::nullopt;

  // A write is acknowledged only once its frame will be written: it claims space for the frame in
  // the log's reserve (where the file system cannot reserve, it relies on the log's writes
  // succeeding). While a write of the shard's frames has failed and they wait to be written again,
  // no more are acknowledged ahead of their writes.
  if (queue_->failing(shard)) return std::nullopt;
  storage::WalLock& log = *wal_locks_[shard];
  const bool unreserved = log.unsupported.load(std::memory_order_acquire);

  // The encodings are built in buffers the thread keeps, so a put allocates nothing once they have
  // grown to its size; the memtable and the queue copy what they keep.
  thread_local std::string value;
  thread_local std::string ikey;
  thread_local std::string frame;
  std::optional<std::uint64_t> ts;
  try {
    value.clear();
    ledger::append_fact_value(value, valid_from, valid_to, doc);
    ts = s.commit(
        [&]() -> std::optional<std::uint64_t> {
          const std::uint64_t ts = s.allocate_ts();
          ikey.clear();
          ledger::append_internal_key(ikey, key, ts);
          frame.clear();
          // Unreachable after the size check; ts stays consumed.
          if (!storage::append_wal_frame(frame, ikey, value, std::nullopt, write_tag)) return std::nullopt;
          s.reserve_inserts(1, ikey.size(), value.size());
          const std::uint64_t claimed = unreserved ? 0 : frame.size();
          if (claimed > 0 && !log.claim(claimed)) {
            queue_->wake();  // to top the reserve up
            return std::nullopt;
          }
          // Queued before the insert, under commit_mu: nothing after this point can fail, and a
          // flush freezes the memtable either before this write or after its insert.
          try {
            queue_->enqueue(frame, shard, claimed, /*wake_thread=*/false);
          } catch (...) {
            log.release(claimed);
            throw;
          }
          return ts;
        },
        [&](storage::Memtable& active) { active.insert(ikey, value); });
  } catch (const std::bad_alloc&) {
    // Nothing was queued or inserted: the shard thread takes the write (and reports the failure).
    return std::nullopt;
  }
  if (ts) queue_->wake();
  shrink_if_large(value);
  shrink_if_large(ikey);
  shrink_if_large(frame);
  return ts;
}

}  // namespace quenlordb::engine
