// The merge of a prefix scan. A scan reads each of its sources once: a shard's memtables under
// their locks, one lock at a time, whose answers are copied into rows (they are few: memtables are
// small); then the shard's table files, whose readers it keeps (a reader stays readable while held,
// after the level set has let it go) so that the files of every shard are merged at once without
// any lock. The merge keeps the newest version of the current key as a view into its block, keeps
// that block, and hands the row on once the merge passes the key: to a visitor, which copies what
// it needs.
//
// Walks of stored versions yield them in internal-key order, which is user-key order except where
// one user key continues another with a 0x00 byte (see ledger/internal_key.h): a walk that has
// reached k ‖ 0x00 ‖ ... may still come back to k. The merge therefore hands on a key only once no
// source can come back below it; keys that hold 0x00 bytes after the prefix are gathered in an
// ordered buffer until then. Rows come out in user-key order whatever the keys hold.
//
// A large scan of several shards merges groups of shards on threads of its own and the groups'
// rows on the calling thread (see ScanThreads and prefix_scan.cc); its rows, order and errors are
// those of a scan on the calling thread alone, except that an error met in one group may end the
// scan before rows of other groups that a scan on one thread would have handed on first.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

#include "engine/prefix_scan_row.h"
#include "error.h"
#include "storage/block_cache.h"
#include "storage/memtable.h"
#include "storage/sstable_reader.h"

namespace quenlordb::engine {

// What a prefix scan reads of one shard once its memtables have been merged.
struct ShardScanInput {
  std::uint64_t snapshot = 0;
  // The memtables' answers: the newest visible version of each key, in key order.
  PrefixScanRows memtable_rows;
  // The shard's table files, level 0 first and each level in its order (the order of ties).
  std::vector<std::shared_ptr<const storage::SsTableReader>> tables;
  storage::BlockCache* cache = nullptr;  // blocks found in it are read from it; none are added
};

// Merges rows (the answers of newer sources, which win ties) with the memtables' walks into rows:
// per key the version with the greatest commit timestamp, in key order, at most limit of them.
Result<void> merge_memtables(PrefixScanRows& rows, std::span<const storage::Memtable* const> memtables,
                             std::string_view prefix, std::uint64_t snapshot, std::optional<std::uint64_t> valid_at,
                             std::optional<std::uint64_t> limit);

// The shards of a scan, whose inputs the scan gathers itself, each once: on the calling thread, or
// for a scan on threads (see ScanThreads) on the thread that reads the shard.
class ScanShards {
 public:
  virtual ~ScanShards() = default;
  virtual std::size_t count() const = 0;
  // About the bytes a scan of prefix reads in the shard (table_scan_bytes of its table files now);
  // decides whether the scan uses threads. Called on the calling thread, before any gather.
  virtual std::uint64_t scan_bytes(std::size_t shard, std::string_view prefix) const = 0;
  // The shard's input. Called on any thread, for different shards at the same time.
  virtual Result<ShardScanInput> gather(std::size_t shard) const = 0;
};

// The stored bytes of the blocks of a table file that a scan of prefix reads.
std::uint64_t table_scan_bytes(const storage::SsTableReader& table, std::string_view prefix);

// When a scan reads shards on threads of its own: a scan of several shards whose scan_bytes come to
// min_bytes or more is split into at most max_threads groups of shards, each gathered and merged on
// a thread started for the scan, while the calling thread merges the groups' rows. Smaller scans
// start no thread.
struct ScanThreads {
  std::size_t max_threads = 0;  // below 2: never
  std::uint64_t min_bytes = 0;
};
// Stored (compressed) bytes from which a scan reads on threads by default: about 2 ms of reading on
// one thread, against some 50 us for starting a thread.
inline constexpr std::uint64_t kScanThreadsMinBytes = std::uint64_t{1} << 20;
// The default: one thread fewer than the hardware has, from kScanThreadsMinBytes.
ScanThreads default_scan_threads();
// The setting in force for the process: the default unless set_scan_threads changed it.
ScanThreads scan_threads();
// Sets it for every later scan of the process, or back to the default with nullopt; for tests.
void set_scan_threads(std::optional<ScanThreads> threads);

// Gathers the inputs of shards whose keys are disjoint and merges them, handing at most limit rows
// to visit in key order. On the calling thread every shard is gathered, in order, before the merge;
// a gather's error ends the scan before any row. Every table file is read to its end, so damage past
// the limit is still reported. A large scan reads its shards on threads (see ScanThreads); visit is
// still called on the calling thread only, and an error met in a shard (in its gather too) still
// ends the scan, after rows before it. Without a limit, the groups' threads leave out the rows skip
// answers true for.
Result<void> scan_shards(const ScanShards& shards, std::string_view prefix, std::optional<std::uint64_t> valid_at,
                         std::optional<std::uint64_t> limit, PrefixScanVisitor visit,
                         const PrefixScanSkip* skip = nullptr);
// The same, appending the rows to out.
Result<void> scan_shards(const ScanShards& shards, std::string_view prefix, std::optional<std::uint64_t> valid_at,
                         std::optional<std::uint64_t> limit, PrefixScanRows& out);

// scan_shards of inputs gathered already (moved from).
Result<void> merge_scan_inputs(std::span<ShardScanInput> inputs, std::string_view prefix,
                               std::optional<std::uint64_t> valid_at, std::optional<std::uint64_t> limit,
                               PrefixScanVisitor visit);
Result<void> merge_scan_inputs(std::span<ShardScanInput> inputs, std::string_view prefix,
                               std::optional<std::uint64_t> valid_at, std::optional<std::uint64_t> limit,
                               PrefixScanRows& out);

}  // namespace quenlordb::engine
