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
#include <iterator>
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

// The rows of a scan with their bytes, in key order. Read-only once returned; move-only. Each row is
// one record in large pieces of memory (commit timestamp, key and document lengths, key, document)
// found through an array of pointers, so that a scan of many small rows fills as little fresh
// memory as it can; rows are handed out by value, as views into the records.
class PrefixScanRows {
  // [commit_ts u64][key length u32][document length u32][key][document], unaligned.
  static constexpr std::size_t kHeaderBytes = 16;

 public:
  class const_iterator {
   public:
    using iterator_category = std::random_access_iterator_tag;
    using iterator_concept = std::random_access_iterator_tag;
    using value_type = PrefixScanRow;
    using difference_type = std::ptrdiff_t;
    using reference = PrefixScanRow;
    using pointer = void;

    const_iterator() = default;
    PrefixScanRow operator*() const { return row_at(*at_); }
    PrefixScanRow operator[](difference_type n) const { return row_at(at_[n]); }
    const_iterator& operator++() {
      ++at_;
      return *this;
    }
    const_iterator operator++(int) { return const_iterator(at_++); }
    const_iterator& operator--() {
      --at_;
      return *this;
    }
    const_iterator operator--(int) { return const_iterator(at_--); }
    const_iterator& operator+=(difference_type n) {
      at_ += n;
      return *this;
    }
    const_iterator& operator-=(difference_type n) {
      at_ -= n;
      return *this;
    }
    friend const_iterator operator+(const_iterator it, difference_type n) { return it += n; }
    friend const_iterator operator+(difference_type n, const_iterator it) { return it += n; }
    friend const_iterator operator-(const_iterator it, difference_type n) { return it -= n; }
    friend difference_type operator-(const_iterator a, const_iterator b) { return a.at_ - b.at_; }
    friend auto operator<=>(const const_iterator&, const const_iterator&) = default;

   private:
    friend class PrefixScanRows;
    explicit const_iterator(const char* const* at) : at_(at) {}
    const char* const* at_ = nullptr;
  };
  using value_type = PrefixScanRow;
  using iterator = const_iterator;

  PrefixScanRows() = default;
  PrefixScanRows(PrefixScanRows&&) noexcept = default;
  PrefixScanRows& operator=(PrefixScanRows&&) noexcept = default;

  // Appends a row whose key and document are copied in. Keys and documents are below 4 GiB (the
  // log takes no record of 64 MiB or more, a block no entry of 4 GiB).
  void push_back(const PrefixScanRow& row) {
    char* p = bytes_.allocate(kHeaderBytes + row.key.size() + row.doc.size());
    const auto key_len = static_cast<std::uint32_t>(row.key.size());
    const auto doc_len = static_cast<std::uint32_t>(row.doc.size());
    std::memcpy(p, &row.commit_ts, 8);
    std::memcpy(p + 8, &key_len, 4);
    std::memcpy(p + 12, &doc_len, 4);
    if (key_len > 0) std::memcpy(p + kHeaderBytes, row.key.data(), key_len);
    if (doc_len > 0) std::memcpy(p + kHeaderBytes + key_len, row.doc.data(), doc_len);
    records_.push_back(p);
  }

  std::size_t size() const { return records_.size(); }
  bool empty() const { return records_.empty(); }
  PrefixScanRow operator[](std::size_t i) const { return row_at(records_[i]); }
  PrefixScanRow front() const { return row_at(records_[0]); }
  PrefixScanRow back() const { return row_at(records_[records_.size() - 1]); }
  const_iterator begin() const { return const_iterator(records_.begin()); }
  const_iterator end() const { return const_iterator(records_.end()); }

  // Row by row.
  friend bool operator==(const PrefixScanRows& a, const PrefixScanRows& b) {
    return std::equal(a.begin(), a.end(), b.begin(), b.end());
  }

 private:
  static PrefixScanRow row_at(const char* p) {
    PrefixScanRow row;
    std::uint32_t key_len;
    std::uint32_t doc_len;
    std::memcpy(&row.commit_ts, p, 8);
    std::memcpy(&key_len, p + 8, 4);
    std::memcpy(&doc_len, p + 12, 4);
    row.key = {p + kHeaderBytes, key_len};
    row.doc = {p + kHeaderBytes + key_len, doc_len};
    return row;
  }

  util::BulkArray<const char*> records_;
  util::ByteChunks bytes_;
};

}  // namespace quenlordb::engine
