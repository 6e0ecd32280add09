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

// A hint a visiting scan may take: true for a row its visitor would pass over, doing nothing, so
// that a scan reading on threads of its own (see ScanThreads) may leave the row out before it
// reaches the calling thread. Called on those threads, several at once, with each row once at most
// (or not at all: the visitor still sees every row the hint is not asked about); it must not fail,
// throw or change anything the visitor reads. A scan asks about every row before the visitor sees
// it, or about none, so a visitor that finds the hint asked knows it was asked about its row.
using PrefixScanSkip = util::FunctionRef<bool(const PrefixScanRow&)>;

// One row as PrefixScanRows keeps it: [commit_ts u64][key length u32][document length u32][key]
// [document], unaligned, in memory the rows own. A record is a pointer to those bytes; it is written
// once and read as views.
class PrefixScanRecord {
 public:
  static constexpr std::size_t kHeaderBytes = 16;

  // The bytes a record of row takes. Keys and documents are below 4 GiB (the log takes no record of
  // 64 MiB or more, a block no entry of 4 GiB).
  static std::size_t size_of(const PrefixScanRow& row) { return kHeaderBytes + row.key.size() + row.doc.size(); }
  // Writes row's record at `at`, which has room for size_of(row) bytes.
  static PrefixScanRecord write(char* at, const PrefixScanRow& row) {
    const auto key_len = static_cast<std::uint32_t>(row.key.size());
    const auto doc_len = static_cast<std::uint32_t>(row.doc.size());
    std::memcpy(at, &row.commit_ts, 8);
    std::memcpy(at + 8, &key_len, 4);
    std::memcpy(at + 12, &doc_len, 4);
    if (key_len > 0) std::memcpy(at + kHeaderBytes, row.key.data(), key_len);
    if (doc_len > 0) std::memcpy(at + kHeaderBytes + key_len, row.doc.data(), doc_len);
    return PrefixScanRecord(at);
  }

  PrefixScanRecord() = default;
  PrefixScanRow row() const {
    PrefixScanRow row;
    std::uint32_t doc_len;
    std::memcpy(&row.commit_ts, p_, 8);
    std::memcpy(&doc_len, p_ + 12, 4);
    row.key = key();
    row.doc = {row.key.data() + row.key.size(), doc_len};
    return row;
  }
  std::string_view key() const {
    std::uint32_t key_len;
    std::memcpy(&key_len, p_ + 8, 4);
    return {p_ + kHeaderBytes, key_len};
  }

 private:
  explicit PrefixScanRecord(const char* p) : p_(p) {}
  const char* p_ = nullptr;
};

// The rows of a scan with their bytes, in key order. Read-only once returned; move-only. Each row is
// one record (PrefixScanRecord) in large pieces of memory, found through an array of records, so
// that a scan of many small rows fills as little fresh memory as it can; rows are handed out by
// value, as views into the records.
class PrefixScanRows {
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
    PrefixScanRow operator*() const { return at_->row(); }
    PrefixScanRow operator[](difference_type n) const { return at_[n].row(); }
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
    explicit const_iterator(const PrefixScanRecord* at) : at_(at) {}
    const PrefixScanRecord* at_ = nullptr;
  };
  using value_type = PrefixScanRow;
  using iterator = const_iterator;

  PrefixScanRows() = default;
  PrefixScanRows(PrefixScanRows&&) noexcept = default;
  PrefixScanRows& operator=(PrefixScanRows&&) noexcept = default;

  // Appends a row whose key and document are copied in.
  void push_back(const PrefixScanRow& row) {
    char* at = bytes_.allocate(PrefixScanRecord::size_of(row));
    records_.push_back(PrefixScanRecord::write(at, row));
  }

  // For rows whose records were written elsewhere (by the threads of a parallel scan): appends a
  // record, which must lie in bytes these rows hold or will take over with adopt_bytes before they
  // are read.
  void push_record(PrefixScanRecord record) { records_.push_back(record); }
  // Takes over the bytes that records appended with push_record lie in.
  void adopt_bytes(util::ByteChunks&& bytes) { bytes_.adopt(std::move(bytes)); }

  std::size_t size() const { return records_.size(); }
  bool empty() const { return records_.empty(); }
  PrefixScanRow operator[](std::size_t i) const { return records_[i].row(); }
  PrefixScanRow front() const { return records_[0].row(); }
  PrefixScanRow back() const { return records_[records_.size() - 1].row(); }
  const_iterator begin() const { return const_iterator(records_.begin()); }
  const_iterator end() const { return const_iterator(records_.end()); }

  // Row by row.
  friend bool operator==(const PrefixScanRows& a, const PrefixScanRows& b) {
    return std::equal(a.begin(), a.end(), b.begin(), b.end());
  }

 private:
  util::BulkArray<PrefixScanRecord> records_;
  util::ByteChunks bytes_;
};

}  // namespace quenlordb::engine
