// The rows of a prefix scan: a key, the document of its newest visible version and that version's
// commit timestamp.
//
// A PrefixScanRow holds views. A visiting scan (Database::visit_prefix) hands each row to its
// visitor as views that are valid only during that call; a materialising scan returns
// PrefixScanRows, which owns the bytes of all its rows (in a few large pieces, not two allocations
// per row), so its rows' views live as long as it does, moves included. The facade's rows and a
// shard's (PrefixScanResultRow) are the same type.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>

#include "error.h"
#include "util/bulk_memory.h"
#include "util/function_ref.h"

namespace quenlordb::engine {

struct PrefixScanRow {
  std::string_view key;
  std::string_view doc;
  std::uint64_t commit_ts = 0;

  friend bool operator==(const PrefixScanRow&, const PrefixScanRow&) = default;
};

// Called with each row of a scan, in key order; the views are valid only during the call. An error
// it returns ends the scan with that error.
using PrefixScanVisitor = util::FunctionRef<Result<void>(const PrefixScanRow&)>;

// The rows of a scan with their bytes, in key order. Read-only once returned; move-only.
class PrefixScanRows {
 public:
  using value_type = PrefixScanRow;
  using const_iterator = const PrefixScanRow*;
  using iterator = const_iterator;

  PrefixScanRows() = default;
  PrefixScanRows(PrefixScanRows&&) noexcept = default;
  PrefixScanRows& operator=(PrefixScanRows&&) noexcept = default;

  // Appends a row whose key and document are copied in.
  void push_back(const PrefixScanRow& row) {
    char* bytes = bytes_.allocate(row.key.size() + row.doc.size());
    if (!row.key.empty()) std::memcpy(bytes, row.key.data(), row.key.size());
    if (!row.doc.empty()) std::memcpy(bytes + row.key.size(), row.doc.data(), row.doc.size());
    rows_.push_back({{bytes, row.key.size()}, {bytes + row.key.size(), row.doc.size()}, row.commit_ts});
  }

  std::size_t size() const { return rows_.size(); }
  bool empty() const { return rows_.empty(); }
  const PrefixScanRow& operator[](std::size_t i) const { return rows_[i]; }
  const PrefixScanRow& front() const { return rows_[0]; }
  const PrefixScanRow& back() const { return rows_[rows_.size() - 1]; }
  const_iterator begin() const { return rows_.begin(); }
  const_iterator end() const { return rows_.end(); }

  // Row by row.
  friend bool operator==(const PrefixScanRows& a, const PrefixScanRows& b) {
    return std::equal(a.begin(), a.end(), b.begin(), b.end());
  }

 private:
  util::BulkArray<PrefixScanRow> rows_;
  util::ByteChunks bytes_;
};

}  // namespace quenlordb::engine
