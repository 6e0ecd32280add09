// One row of a prefix scan: a key, the document of its newest visible version and that version's
// commit timestamp. The facade's rows (PrefixScanRow) and a shard's (PrefixScanResultRow) are this
// one type.
#pragma once

#include <cstdint>
#include <string>

namespace quenlordb::engine {

struct PrefixScanRow {
  std::string key;
  std::string doc;
  std::uint64_t commit_ts = 0;

  friend bool operator==(const PrefixScanRow&, const PrefixScanRow&) = default;
};

}  // namespace quenlordb::engine
