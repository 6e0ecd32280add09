#include "storage/memtable.h"

#include <cstring>
#include <new>

#include "ledger/internal_key.h"
#include "ledger/record.h"
#include "util/coding.h"

namespace quenlordb::storage {

using ledger::VisibleMap;
using ledger::VisibleVersion;

using memtable_detail::Entry;
using memtable_detail::Inner;
using memtable_detail::kFanout;
using memtable_detail::Leaf;

namespace {

// Ample: every split leaves at least kFanout / 2 children in each node, so 20 levels hold far more
// entries than memory could.
constexpr int kMaxHeight = 20;

// A key searched for: its prefix and how to compare an entry's key with the whole of it.
struct PlainProbe {
  explicit PlainProbe(std::string_view k) : prefix(util::load_prefix_u64_be(k)), key(k) {}
  int compare(std::string_view entry_key) const { return entry_key.compare(key); }

  std::uint64_t prefix;
  std::string_view key;
};

// key ‖ suffix, without building it.
struct SuffixProbe {
  SuffixProbe(std::string_view k, char s) : key(k), suffix(s) {
    prefix = util::load_prefix_u64_be(k);
    // A key of fewer than 8 bytes has the suffix inside its prefix, as the byte after it.
    if (k.size() < 8) prefix |= static_cast<std::uint64_t>(static_cast<unsigned char>(s)) << (8 * (7 - k.size()));
  }
  int compare(std::string_view entry_key) const { return ledger::compare_with_suffix(entry_key, key, suffix); }

  std::uint64_t prefix;
  std::string_view key;
  char suffix;
};

// Sign of (entry key - probe).
template <typename Probe>
int compare(std::uint64_t prefix, const Entry* entry, const Probe& probe) {
  if (prefix != probe.prefix) return prefix < probe.prefix ? -1 : 1;
  return probe.compare(entry->key_view());
}

// The positions [lo, hi) of a node's sorted prefixes that equal the probe's: below lo every key is
// smaller than the probe, from hi on every key is larger. Counted rather than searched, so that the
// loads of a node's cache lines do not wait on each other.
struct PrefixTie {
  int lo;
  int hi;
};
PrefixTie prefix_tie(const std::uint64_t* prefixes, int n, std::uint64_t probe) {
  int below = 0;
  int not_above = 0;
  for (int i = 0; i < n; ++i) {
    below += prefixes[i] < probe;
    not_above += prefixes[i] <= probe;
  }
  return {below, not_above};
}

// The first position whose entry is >= probe (count when none).
template <typename Probe>
int leaf_lower_bound(const Leaf& leaf, const Probe& probe) {
  auto [lo, hi] = prefix_tie(leaf.prefix, leaf.count, probe.prefix);
  while (lo < hi) {
    const int mid = (lo + hi) / 2;
    if (probe.compare(leaf.entry[mid]->key_view()) < 0) {
      lo = mid + 1;
    } else {
      hi = mid;
    }
  }
  return lo;
}

// The child whose key range holds probe: the number of separators <= probe.
template <typename Probe>
int inner_child(const Inner& node, const Probe& probe) {
  auto [lo, hi] = prefix_tie(node.prefix, node.count - 1, probe.prefix);
  while (lo < hi) {
    const int mid = (lo + hi) / 2;
    if (probe.compare(node.sep[mid]->key_view()) <= 0) {
      lo = mid + 1;
    } else {
      hi = mid;
    }
  }
  return lo;
}

void leaf_insert_at(Leaf& leaf, int at, std::uint64_t prefix, Entry* entry) {
  const int tail = leaf.count - at;
  std::memmove(&leaf.prefix[at + 1], &leaf.prefix[at], sizeof(leaf.prefix[0]) * tail);
  std::memmove(&leaf.entry[at + 1], &leaf.entry[at], sizeof(leaf.entry[0]) * tail);
  leaf.prefix[at] = prefix;
  leaf.entry[at] = entry;
  ++leaf.count;
}

// Adds child right of child `at`, with the separator between them. The node has room.
void inner_insert_at(Inner& node, int at, std::uint64_t prefix, const Entry* sep, void* child) {
  const int seps_after = node.count - 1 - at;
  std::memmove(&node.prefix[at + 1], &node.prefix[at], sizeof(node.prefix[0]) * seps_after);
  std::memmove(&node.sep[at + 1], &node.sep[at], sizeof(node.sep[0]) * seps_after);
  std::memmove(&node.child[at + 2], &node.child[at + 1], sizeof(node.child[0]) * seps_after);
  node.prefix[at] = prefix;
  node.sep[at] = sep;
  node.child[at + 1] = child;
  ++node.count;
}

}  // namespace

Entry* Memtable::new_entry(std::string_view key, std::string_view value) {
  char* block = arena_.allocate(sizeof(Entry) + key.size() + value.size(), alignof(Entry));
  char* bytes = block + sizeof(Entry);
  if (!key.empty()) std::memcpy(bytes, key.data(), key.size());
  if (!value.empty()) std::memcpy(bytes + key.size(), value.data(), value.size());
  return new (block) Entry{bytes, bytes + key.size(), key.size(), value.size()};
}

Leaf* Memtable::new_leaf() {
  if (spare_leaf_ != nullptr) return std::exchange(spare_leaf_, nullptr);
  return new (arena_.allocate(sizeof(Leaf), alignof(Leaf))) Leaf();
}

Inner* Memtable::new_inner() {
  if (spare_inners_ != nullptr) {
    Inner* node = std::exchange(spare_inners_, static_cast<Inner*>(spare_inners_->child[0]));
    node->child[0] = nullptr;
    --spare_inner_count_;
    return node;
  }
  return new (arena_.allocate(sizeof(Inner), alignof(Inner))) Inner();
}

void Memtable::reserve_inserts(std::size_t count, std::size_t key_bytes, std::size_t value_bytes) {
  if (count == 0) return;
  if (spare_leaf_ == nullptr) spare_leaf_ = new (arena_.allocate(sizeof(Leaf), alignof(Leaf))) Leaf();
  while (spare_inner_count_ < height_ + 1) {
    Inner* node = new (arena_.allocate(sizeof(Inner), alignof(Inner))) Inner();
    node->child[0] = spare_inners_;
    spare_inners_ = node;
    ++spare_inner_count_;
  }
  // Each insert allocates its entry (or a replacing value, which is smaller); every insert after
  // the first (the nodes above serve the first) may split a leaf and one inner node per level and
  // add a root. Nodes other than the root hold at least half of kFanout, so a tree of height h
  // holds at least 2 * 16^h entries. What is reserved and not used serves later inserts.
  constexpr std::size_t kEntry = sizeof(Entry) + alignof(Entry) - 1;
  constexpr std::size_t kNode = std::max(sizeof(Leaf) + alignof(Leaf), sizeof(Inner) + alignof(Inner)) - 1;
  const std::size_t entries = size_ + count;
  std::size_t max_height = 0;
  constexpr std::size_t kHalf = kFanout / 2;
  for (std::size_t least = 2 * kHalf; least <= entries && least <= SIZE_MAX / kHalf; least *= kHalf) ++max_height;
  const std::size_t later = count - 1;
  arena_.reserve(count * kEntry + key_bytes + value_bytes + later * (max_height + 2) * kNode);
}

void Memtable::insert(std::string_view key, std::string_view value) {
  // Everything the insert allocates is set aside first, so a failure leaves the tree untouched.
  reserve_inserts(1, key.size(), value.size());
  const PlainProbe probe(key);
  if (root_ == nullptr) {
    Leaf* leaf = new_leaf();
    leaf_insert_at(*leaf, 0, probe.prefix, new_entry(key, value));
    root_ = first_ = last_ = leaf;
    size_ = 1;
    approx_bytes_ = key.size() + value.size();
    return;
  }

  Inner* path[kMaxHeight];
  int slot[kMaxHeight];
  void* node = root_;
  for (int depth = 0; depth < height_; ++depth) {
    Inner* inner = static_cast<Inner*>(node);
    path[depth] = inner;
    slot[depth] = inner_child(*inner, probe);
    node = inner->child[slot[depth]];
  }
  Leaf* leaf = static_cast<Leaf*>(node);
  const int at = leaf_lower_bound(*leaf, probe);

  if (at < leaf->count && compare(leaf->prefix[at], leaf->entry[at], probe) == 0) {
    Entry* present = leaf->entry[at];
    const std::uint64_t removed = present->key_len + present->value_len;
    approx_bytes_ = approx_bytes_ > removed ? approx_bytes_ - removed : 0;
    char* bytes = arena_.allocate(value.size(), 1);
    if (!value.empty()) std::memcpy(bytes, value.data(), value.size());
    present->value = bytes;
    present->value_len = value.size();
    approx_bytes_ += key.size() + value.size();
    return;
  }

  Entry* entry = new_entry(key, value);
  ++size_;
  approx_bytes_ += key.size() + value.size();
  if (leaf->count < kFanout) {
    leaf_insert_at(*leaf, at, probe.prefix, entry);
    return;
  }

  // Split the full leaf in halves, link the new right half in, then place the entry.
  constexpr int kHalf = kFanout / 2;
  Leaf* right = new_leaf();
  std::memcpy(right->prefix, &leaf->prefix[kHalf], sizeof(leaf->prefix[0]) * (kFanout - kHalf));
  std::memcpy(right->entry, &leaf->entry[kHalf], sizeof(leaf->entry[0]) * (kFanout - kHalf));
  right->count = kFanout - kHalf;
  leaf->count = kHalf;
  right->prev = leaf;
  right->next = leaf->next;
  if (leaf->next != nullptr) {
    leaf->next->prev = right;
  } else {
    last_ = right;
  }
  leaf->next = right;
  if (at <= kHalf) {
    leaf_insert_at(*leaf, at, probe.prefix, entry);
  } else {
    leaf_insert_at(*right, at - kHalf, probe.prefix, entry);
  }

  // Hand the new node up, splitting full parents on the way.
  void* added = right;
  std::uint64_t sep_prefix = right->prefix[0];
  const Entry* sep = right->entry[0];
  for (int depth = height_ - 1; depth >= 0; --depth) {
    Inner& parent = *path[depth];
    const int child_at = slot[depth];
    if (parent.count < kFanout) {
      inner_insert_at(parent, child_at, sep_prefix, sep, added);
      return;
    }
    // kFanout + 1 children and kFanout separators: the left node keeps the first kLeftChildren
    // children, the separator after them moves up, the right node takes the rest.
    std::uint64_t prefixes[kFanout];
    const Entry* seps[kFanout];
    void* children[kFanout + 1];
    for (int i = 0, j = 0; i < kFanout - 1; ++i, ++j) {
      if (i == child_at) {
        prefixes[j] = sep_prefix;
        seps[j++] = sep;
      }
      prefixes[j] = parent.prefix[i];
      seps[j] = parent.sep[i];
    }
    if (child_at == kFanout - 1) {
      prefixes[kFanout - 1] = sep_prefix;
      seps[kFanout - 1] = sep;
    }
    for (int i = 0, j = 0; i < kFanout; ++i, ++j) {
      children[j] = parent.child[i];
      if (i == child_at) children[++j] = added;
    }

    constexpr int kLeftChildren = (kFanout + 1) / 2;
    Inner* split = new_inner();
    parent.count = kLeftChildren;
    std::memcpy(parent.prefix, prefixes, sizeof(prefixes[0]) * (kLeftChildren - 1));
    std::memcpy(parent.sep, seps, sizeof(seps[0]) * (kLeftChildren - 1));
    std::memcpy(parent.child, children, sizeof(children[0]) * kLeftChildren);
    split->count = kFanout + 1 - kLeftChildren;
    std::memcpy(split->prefix, &prefixes[kLeftChildren], sizeof(prefixes[0]) * (split->count - 1));
    std::memcpy(split->sep, &seps[kLeftChildren], sizeof(seps[0]) * (split->count - 1));
    std::memcpy(split->child, &children[kLeftChildren], sizeof(children[0]) * split->count);
    added = split;
    sep_prefix = prefixes[kLeftChildren - 1];
    sep = seps[kLeftChildren - 1];
  }

  // The root split: a new root above the two halves.
  if (height_ == kMaxHeight) panic("memtable tree too deep");
  Inner* root = new_inner();
  root->count = 2;
  root->prefix[0] = sep_prefix;
  root->sep[0] = sep;
  root->child[0] = root_;
  root->child[1] = added;
  root_ = root;
  ++height_;
}

template <typename Probe>
Memtable::Iterator Memtable::find_lower_bound(const Probe& probe) const {
  if (root_ == nullptr) return end();
  const void* node = root_;
  for (int depth = 0; depth < height_; ++depth) {
    const Inner* inner = static_cast<const Inner*>(node);
    node = inner->child[inner_child(*inner, probe)];
  }
  const Leaf* leaf = static_cast<const Leaf*>(node);
  const int at = leaf_lower_bound(*leaf, probe);
  // Every key of the following leaves is >= the separator above them, which is > probe.
  if (at == leaf->count) return {leaf->next, 0, last_};
  return {leaf, at, last_};
}

Memtable::Iterator Memtable::lower_bound(std::string_view key) const { return find_lower_bound(PlainProbe(key)); }

Memtable::Iterator Memtable::lower_bound(std::string_view key, char suffix) const {
  return find_lower_bound(SuffixProbe(key, suffix));
}

Result<std::optional<VisibleVersion>> Memtable::visible_get(std::string_view user_key, std::uint64_t snapshot,
                                                            std::optional<std::uint64_t> valid_at) const {
  const std::optional<ledger::VisibleView> found = TRY(visible_view(user_key, snapshot, valid_at));
  if (!found) return std::nullopt;
  return VisibleVersion{found->commit_ts, std::string(found->doc)};
}

Result<std::optional<ledger::VisibleView>> Memtable::visible_view(std::string_view user_key, std::uint64_t snapshot,
                                                                  std::optional<std::uint64_t> valid_at) const {
  // Every version of user_key lies in [k ‖ 0x00, k ‖ 0x01), newest last; so do those of longer user
  // keys that begin with k ‖ 0x00, skipped by comparing the decoded user key.
  auto it = lower_bound(user_key, '\x01');
  const Iterator first = begin();
  while (it != first) {
    --it;
    const std::string_view ikey = it.key();
    if (ledger::compare_with_suffix(ikey, user_key, '\0') < 0) break;
    const ledger::InternalKeyView key = TRY(ledger::decode_internal_key_view(ikey));
    if (key.user_key != user_key || key.commit_ts > snapshot) continue;
    const ledger::FactValueView value = TRY(ledger::read_fact_value(it.value()));
    if (value.visible_at(valid_at)) return ledger::VisibleView{user_key, key.commit_ts, value.doc};
  }
  return std::nullopt;
}

Memtable::PrefixWalk Memtable::walk_prefix(std::string_view prefix, std::uint64_t snapshot,
                                           std::optional<std::uint64_t> valid_at) const {
  const std::optional<std::string> upper = ledger::prefix_upper_bound(prefix);
  return PrefixWalk(lower_bound(prefix), upper ? lower_bound(*upper) : end(), prefix, snapshot, valid_at);
}

Result<VisibleMap> Memtable::scan_prefix_visible(std::string_view prefix, std::uint64_t snapshot,
                                                 std::optional<std::uint64_t> valid_at) const {
  VisibleMap out;
  PrefixWalk walk = walk_prefix(prefix, snapshot, valid_at);
  while (TRY(walk.next())) {
    const ledger::VisibleView& hit = walk.view();
    auto found = out.find(hit.user_key);
    if (found == out.end()) {
      out.emplace(std::string(hit.user_key), VisibleVersion{hit.commit_ts, std::string(hit.doc)});
    } else if (found->second.commit_ts < hit.commit_ts) {
      found->second = VisibleVersion{hit.commit_ts, std::string(hit.doc)};
    }
  }
  return out;
}

}  // namespace quenlordb::storage
