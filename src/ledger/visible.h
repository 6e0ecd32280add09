// What a read answers: the version of a key visible at a snapshot and a valid time, owned
// (VisibleVersion) or as views into the stored entry it came from (VisibleView), and the rule that
// turns one stored entry (internal key, encoded FactValue) into a view for a read of a key prefix.
// Every source of versions (memtables, table files) applies that one rule.
#pragma once

#include <cstdint>
#include <cstring>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <string_view>

#include "error.h"
#include "ledger/internal_key.h"
#include "ledger/record.h"
#include "util/coding.h"

namespace quenlordb::ledger {

// One visible version: commit timestamp and document bytes.
struct VisibleVersion {
  std::uint64_t commit_ts;
  std::string doc;

  friend bool operator==(const VisibleVersion&, const VisibleVersion&) = default;
};

// User key -> newest visible version, in user-key byte order.
using VisibleMap = std::map<std::string, VisibleVersion, std::less<>>;

// A visible version read in place; the views point into the stored entry and live as long as it.
struct VisibleView {
  std::string_view user_key;
  std::uint64_t commit_ts;
  std::string_view doc;
};

// What one entry gives a read of prefix at snapshot and valid_at: true with its version in out, or
// false when the version lies above the snapshot, its user key does not begin with prefix or it is
// not valid at valid_at (out is then unspecified). The key is checked first and the value read only
// when the key qualifies, so the value of an entry the read skips cannot fail it; the errors are
// those of decode_internal_key_view and read_fact_value. Inline: scans call it for every entry they
// pass.
inline Result<bool> visible_in_prefix(std::string_view internal_key, std::string_view stored, std::string_view prefix,
                                      std::uint64_t snapshot, std::optional<std::uint64_t> valid_at,
                                      VisibleView& out) {
  if (internal_key.size() < kInternalKeySuffixBytes ||
      internal_key[internal_key.size() - kInternalKeySuffixBytes] != '\0')
    return fail(decode_internal_key_view(internal_key).error());
  const std::size_t n = internal_key.size() - kInternalKeySuffixBytes;
  const std::uint64_t ts = util::load_u64_be(internal_key.data() + n + 1);
  if (ts > snapshot || n < prefix.size() ||
      (!prefix.empty() && std::memcmp(internal_key.data(), prefix.data(), prefix.size()) != 0))
    return false;
  // Documents shorter than 128 bytes have a one-byte length; the rest take the general reader.
  if (stored.size() > kFactValueBoundsBytes && static_cast<unsigned char>(stored[kFactValueBoundsBytes]) < 0x80 &&
      static_cast<unsigned char>(stored[kFactValueBoundsBytes]) <= stored.size() - kFactValueBoundsBytes - 1) {
    out.doc = {stored.data() + kFactValueBoundsBytes + 1, static_cast<unsigned char>(stored[kFactValueBoundsBytes])};
  } else {
    out.doc = TRY(read_fact_value(stored)).doc;
  }
  if (valid_at && !valid_at_time(util::load_u64_be(stored.data()), util::load_u64_be(stored.data() + 8), valid_at))
    return false;
  out.user_key = {internal_key.data(), n};
  out.commit_ts = ts;
  return true;
}

}  // namespace quenlordb::ledger
