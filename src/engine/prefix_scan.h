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

// Merges the inputs of shards whose keys are disjoint, handing at most limit rows to visit in key
// order. Every table file is read to its end, so damage past the limit is still reported.
Result<void> merge_scan_inputs(std::span<ShardScanInput> inputs, std::string_view prefix,
                               std::optional<std::uint64_t> valid_at, std::optional<std::uint64_t> limit,
                               PrefixScanVisitor visit);
// The same, appending the rows to out.
Result<void> merge_scan_inputs(std::span<ShardScanInput> inputs, std::string_view prefix,
                               std::optional<std::uint64_t> valid_at, std::optional<std::uint64_t> limit,
                               PrefixScanRows& out);

}  // namespace quenlordb::engine
