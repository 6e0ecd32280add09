// Internal keys: the user key, a 0x00 separator, the commit timestamp big-endian and a kind byte
// (written 0, never read). Byte order of internal keys sorts the versions of one user key oldest
// first. User keys may contain 0x00, so the versions of one key are not always contiguous: readers
// bound a key by [k ‖ 0x00, k ‖ 0x01) and compare the decoded user key.
//
//   offset  width  content
//   0       n      user key
//   n       1      0x00
//   n+1     8      commit timestamp, u64 big-endian
//   n+9     1      kind (0)
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include "error.h"

namespace quenlordb::ledger {

// Bytes an internal key adds to its user key.
inline constexpr std::size_t kInternalKeySuffixBytes = 10;

// Appends the internal key of (user_key, commit_ts).
void append_internal_key(std::string& out, std::string_view user_key, std::uint64_t commit_ts);
std::string encode_internal_key(std::string_view user_key, std::uint64_t commit_ts);

// A decoded internal key whose user key points into the decoded bytes.
struct InternalKeyView {
  std::string_view user_key;
  std::uint64_t commit_ts;
  std::uint8_t kind;
};

struct InternalKey {
  std::string user_key;
  std::uint64_t commit_ts;
  std::uint8_t kind;

  friend bool operator==(const InternalKey&, const InternalKey&) = default;
};

// Fails with SstableFormat "internal key too short" or "internal key suffix malformed".
Result<InternalKeyView> decode_internal_key_view(std::string_view key);
Result<InternalKey> decode_internal_key(std::string_view key);

// Three-way byte comparison of a with k ‖ suffix, without building the right-hand side: readers
// bound the versions of k by k ‖ 0x00 and k ‖ 0x01.
int compare_with_suffix(std::string_view a, std::string_view k, char suffix);

// (k ‖ 0x00, k ‖ 0x01): every internal key of k lies in [lower, upper).
std::pair<std::string, std::string> user_prefix_bounds(std::string_view user_key);

// The exclusive upper bound of all byte strings that begin with prefix: trailing 0xFF bytes removed
// and the last remaining byte increased by one; none for an empty or all-0xFF prefix.
std::optional<std::string> prefix_upper_bound(std::string_view prefix);

}  // namespace quenlordb::ledger
