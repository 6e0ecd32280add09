// The in-memory sorted table of a shard's newest versions: internal key -> encoded FactValue, in
// byte order. It has no lock of its own: the shard guards the active memtable and its frozen ones
// with reader-writer locks (inserts under the write lock, reads under the read lock). A frozen
// memtable is never changed again.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>

#include "error.h"

namespace quenlordb::storage {

// One visible version: commit timestamp and document bytes.
struct VisibleVersion {
  std::uint64_t commit_ts;
  std::string doc;

  friend bool operator==(const VisibleVersion&, const VisibleVersion&) = default;
};

// Result of a prefix scan: user key -> newest visible version, in user-key byte order.
using VisibleMap = std::map<std::string, VisibleVersion, std::less<>>;

class Memtable {
 public:
  using Entries = std::map<std::string, std::string, std::less<>>;

  Memtable() = default;
  Memtable(const Memtable&) = delete;
  Memtable& operator=(const Memtable&) = delete;
  Memtable(Memtable&&) = default;
  Memtable& operator=(Memtable&&) = default;

  // Stores value under the internal key, replacing a present one. Never fails.
  void insert(std::string key, std::string value);

  // The newest version of user_key with commit_ts <= snapshot that is valid at valid_at.
  Result<std::optional<VisibleVersion>> visible_get(std::string_view user_key, std::uint64_t snapshot,
                                                    std::optional<std::uint64_t> valid_at) const;

  // The newest visible version of every user key that begins with prefix.
  Result<VisibleMap> scan_prefix_visible(std::string_view prefix, std::uint64_t snapshot,
                                         std::optional<std::uint64_t> valid_at) const;

  // Adds the visible versions under prefix into out, keeping per user key the version with the
  // highest commit timestamp (an entry already in out with an equal or higher one stays).
  Result<void> merge_prefix_visible(std::string_view prefix, std::uint64_t snapshot,
                                    std::optional<std::uint64_t> valid_at, VisibleMap& out) const;

  bool empty() const { return entries_.empty(); }
  std::size_t size() const { return entries_.size(); }
  // Sum of key length plus value length over all entries.
  std::uint64_t approx_bytes() const { return approx_bytes_; }
  // All entries in internal-key order.
  const Entries& entries() const { return entries_; }

  void swap(Memtable& other) noexcept {
    entries_.swap(other.entries_);
    std::swap(approx_bytes_, other.approx_bytes_);
  }

 private:
  Entries entries_;
  std::uint64_t approx_bytes_ = 0;
};

}  // namespace quenlordb::storage
