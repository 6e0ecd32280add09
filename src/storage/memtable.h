// The in-memory sorted table of a shard's newest versions: internal key -> encoded FactValue, in
// byte order. It has no lock of its own: the shard guards the active memtable and its frozen ones
// with reader-writer locks (inserts under the write lock, reads under the read lock). A frozen
// memtable is never changed again.
//
// Entries are copied into an arena owned by the memtable and indexed by a B+ tree whose nodes live
// in the same arena; each node keeps the first 8 key bytes of its entries beside the entry
// pointers, so a search mostly compares integers and touches an entry only to break a tie. Nothing
// is ever removed: a replaced value stays in the arena until the memtable is dropped, which frees
// everything at once. Views handed out (iteration, keys, values) live as long as the memtable.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include "error.h"
#include "ledger/visible.h"
#include "util/arena.h"

namespace quenlordb::storage {

namespace memtable_detail {

inline constexpr int kFanout = 32;

struct Entry {
  const char* key;
  const char* value;
  std::size_t key_len;
  std::size_t value_len;

  std::string_view key_view() const { return {key, key_len}; }
  std::string_view value_view() const { return {value, value_len}; }
};

// Entries in key order; prefix[i] holds the first 8 bytes of entry[i]'s key (see key_prefix).
struct Leaf {
  int count = 0;
  Leaf* prev = nullptr;
  Leaf* next = nullptr;
  std::uint64_t prefix[kFanout];
  Entry* entry[kFanout];
};

// count children; child i holds the keys in [sep[i - 1], sep[i]), sep[i] being the smallest key of
// child i + 1. Children are Leaf nodes one level above the leaves, Inner nodes higher up.
struct Inner {
  int count = 0;
  std::uint64_t prefix[kFanout - 1];
  const Entry* sep[kFanout - 1];
  void* child[kFanout];
};

}  // namespace memtable_detail

class Memtable {
 public:
  // Walks the entries in key order; a view pair (internal key, encoded value) per entry.
  class Iterator {
   public:
    using value_type = std::pair<std::string_view, std::string_view>;

    value_type operator*() const { return {key(), value()}; }
    std::string_view key() const { return leaf_->entry[index_]->key_view(); }
    std::string_view value() const { return leaf_->entry[index_]->value_view(); }

    Iterator& operator++() {
      if (++index_ == leaf_->count) {
        leaf_ = leaf_->next;
        index_ = 0;
      }
      // Entries lie in the arena in arrival order, not key order: a walk asks for the ones a few
      // steps ahead early, so that reading them does not wait on memory one entry at a time.
      if (leaf_ != nullptr && index_ + kLookahead < leaf_->count) {
        const char* ahead = reinterpret_cast<const char*>(leaf_->entry[index_ + kLookahead]);
        __builtin_prefetch(ahead);
        __builtin_prefetch(ahead + 64);
        __builtin_prefetch(ahead + 128);
      }
      return *this;
    }
    // Not on begin().
    Iterator& operator--() {
      if (leaf_ == nullptr) {
        leaf_ = last_;
        index_ = last_->count;
      } else if (index_ == 0) {
        leaf_ = leaf_->prev;
        index_ = leaf_->count;
      }
      --index_;
      return *this;
    }

    friend bool operator==(const Iterator& a, const Iterator& b) { return a.leaf_ == b.leaf_ && a.index_ == b.index_; }

   private:
    friend class Memtable;
    static constexpr int kLookahead = 4;
    Iterator(const memtable_detail::Leaf* leaf, int index, const memtable_detail::Leaf* last)
        : leaf_(leaf), index_(index), last_(last) {}

    const memtable_detail::Leaf* leaf_;  // null at the end
    int index_;
    const memtable_detail::Leaf* last_;  // where -- from the end goes
  };

  Memtable() = default;
  Memtable(const Memtable&) = delete;
  Memtable& operator=(const Memtable&) = delete;
  Memtable(Memtable&& other) noexcept { swap(other); }
  Memtable& operator=(Memtable&& other) noexcept {
    Memtable(std::move(other)).swap(*this);
    return *this;
  }

  // Stores a copy of value under a copy of the internal key, replacing a present value. When memory
  // runs out it throws std::bad_alloc before changing anything.
  void insert(std::string_view key, std::string_view value);
  // Sets aside what `count` inserts of keys and values adding up to these sizes need, so that they
  // cannot fail: a writer reserves before it logs records it is then bound to insert. Throws
  // std::bad_alloc when memory runs out (and nothing is lost).
  void reserve_inserts(std::size_t count, std::size_t key_bytes, std::size_t value_bytes);

  // The newest version of user_key with commit_ts <= snapshot that is valid at valid_at.
  Result<std::optional<ledger::VisibleVersion>> visible_get(std::string_view user_key, std::uint64_t snapshot,
                                                    std::optional<std::uint64_t> valid_at) const;
  // The same version as views: user_key is the argument's, the document lies in the memtable.
  Result<std::optional<ledger::VisibleView>> visible_view(std::string_view user_key, std::uint64_t snapshot,
                                                          std::optional<std::uint64_t> valid_at) const;

  // The newest visible version of every user key that begins with prefix.
  Result<ledger::VisibleMap> scan_prefix_visible(std::string_view prefix, std::uint64_t snapshot,
                                         std::optional<std::uint64_t> valid_at) const;

  // Walks the visible versions under a prefix (ledger::visible_in_prefix of each entry in the
  // prefix's key range) in internal-key order: the versions of a user key oldest first, and user
  // keys ascending unless some of them hold 0x00 bytes (see ledger/internal_key.h). Views point into
  // the memtable; the prefix must outlive the walk.
  class PrefixWalk {
   public:
    // Moves to the next visible version; false once the range is exhausted. An error ends the walk.
    Result<bool> next() {
      while (it_ != stop_) {
        const bool found = TRY(ledger::visible_in_prefix(it_.key(), it_.value(), prefix_, snapshot_, valid_at_, view_));
        ++it_;
        if (found) return true;
      }
      return false;
    }
    const ledger::VisibleView& view() const { return view_; }

   private:
    friend class Memtable;
    PrefixWalk(Iterator from, Iterator stop, std::string_view prefix, std::uint64_t snapshot,
               std::optional<std::uint64_t> valid_at)
        : it_(from), stop_(stop), prefix_(prefix), snapshot_(snapshot), valid_at_(valid_at) {}

    Iterator it_;
    Iterator stop_;
    std::string_view prefix_;
    std::uint64_t snapshot_;
    std::optional<std::uint64_t> valid_at_;
    ledger::VisibleView view_{};
  };
  PrefixWalk walk_prefix(std::string_view prefix, std::uint64_t snapshot, std::optional<std::uint64_t> valid_at) const;

  bool empty() const { return size_ == 0; }
  std::size_t size() const { return size_; }
  // Sum of key length plus value length over all entries.
  std::uint64_t approx_bytes() const { return approx_bytes_; }

  // All entries in internal-key order.
  Iterator begin() const { return {first_, 0, last_}; }
  Iterator end() const { return {nullptr, 0, last_}; }
  // The first entry whose key is >= key, or the first >= key ‖ suffix.
  Iterator lower_bound(std::string_view key) const;
  Iterator lower_bound(std::string_view key, char suffix) const;

  void swap(Memtable& other) noexcept {
    arena_.swap(other.arena_);
    std::swap(root_, other.root_);
    std::swap(height_, other.height_);
    std::swap(first_, other.first_);
    std::swap(last_, other.last_);
    std::swap(size_, other.size_);
    std::swap(approx_bytes_, other.approx_bytes_);
    std::swap(spare_leaf_, other.spare_leaf_);
    std::swap(spare_inners_, other.spare_inners_);
    std::swap(spare_inner_count_, other.spare_inner_count_);
  }

 private:
  template <typename Probe>
  Iterator find_lower_bound(const Probe& probe) const;
  memtable_detail::Entry* new_entry(std::string_view key, std::string_view value);
  memtable_detail::Leaf* new_leaf();
  memtable_detail::Inner* new_inner();

  util::Arena arena_;
  void* root_ = nullptr;  // null while empty
  int height_ = 0;        // Inner levels above the leaves
  memtable_detail::Leaf* first_ = nullptr;
  memtable_detail::Leaf* last_ = nullptr;
  std::size_t size_ = 0;
  std::uint64_t approx_bytes_ = 0;
  // Nodes kept ready for the splits of one insert: a leaf, and one inner node per level plus one
  // for a new root (a list through child[0]). Further inserts of a reservation draw on the arena.
  memtable_detail::Leaf* spare_leaf_ = nullptr;
  memtable_detail::Inner* spare_inners_ = nullptr;
  int spare_inner_count_ = 0;
};

}  // namespace quenlordb::storage
