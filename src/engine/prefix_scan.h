// The merge of a prefix scan. A scan reads each of its sources once: a shard's memtables under
// their locks, one lock at a time, whose answers are copied into rows (they are few: memtables are
// small); then the shard's table files, whose readers it keeps (a reader stays readable while held,
// after the level set has let it go) so that the files of every shard are merged at once without
// any lock, straight into the scan's result. The merge keeps the newest version of the current key
// as a view into its block, keeps that block, and copies the version once the merge passes the key.
//
// Every walk yields versions in internal-key order, which is user-key order unless user keys hold
// 0x00 bytes (see ledger/internal_key.h). When a walk goes back to a smaller user key the merge
// answers false and the caller falls back to gathering and sorting every version.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

#include "engine/shard_shared.h"
#include "error.h"
#include "storage/block_cache.h"
#include "storage/memtable.h"
#include "storage/sstable_reader.h"

namespace quenlordb::engine {

// Merges rows (the answers of newer sources, which win ties) with the memtables' walks into rows:
// per key the version with the greatest commit timestamp, in key order, at most limit of them.
// False (rows then unusable) when a walk's user keys do not ascend.
Result<bool> merge_memtables(std::vector<PrefixScanResultRow>& rows,
                             std::span<const storage::Memtable* const> memtables, std::string_view prefix,
                             std::uint64_t snapshot, std::optional<std::uint64_t> valid_at,
                             std::optional<std::uint64_t> limit);

// Merges the inputs of shards whose keys are disjoint into out, in key order, at most limit rows;
// the memtable rows are moved out of the inputs. Every table file is read to its end, so damage
// past the limit is still reported. False (out then unusable) when a walk's user keys do not ascend.
Result<bool> merge_scan_inputs(std::span<ShardScanInput> inputs, std::string_view prefix,
                               std::optional<std::uint64_t> valid_at, std::optional<std::uint64_t> limit,
                               std::vector<PrefixScanRow>& out);

}  // namespace quenlordb::engine
