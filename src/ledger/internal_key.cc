#include "ledger/internal_key.h"

#include <algorithm>
#include <cstring>

#include "util/coding.h"

namespace quenlordb::ledger {

void append_internal_key(std::string& out, std::string_view user_key, std::uint64_t commit_ts) {
  const std::size_t at = out.size();
  out.resize(at + user_key.size() + kInternalKeySuffixBytes);
  char* p = out.data() + at;
  if (!user_key.empty()) std::memcpy(p, user_key.data(), user_key.size());
  p += user_key.size();
  p[0] = '\0';
  util::store_u64_be(p + 1, commit_ts);
  p[9] = '\0';
}

std::string encode_internal_key(std::string_view user_key, std::uint64_t commit_ts) {
  std::string out;
  append_internal_key(out, user_key, commit_ts);
  return out;
}

Result<InternalKeyView> decode_internal_key_view(std::string_view key) {
  if (key.size() < kInternalKeySuffixBytes) return fail(QuenlorError::sstable_format("internal key too short"));
  const std::size_t n = key.size() - kInternalKeySuffixBytes;
  if (key[n] != '\0') return fail(QuenlorError::sstable_format("internal key suffix malformed"));
  return InternalKeyView{key.substr(0, n), util::load_u64_be(key.data() + n + 1),
                         static_cast<std::uint8_t>(key[n + 9])};
}

Result<InternalKey> decode_internal_key(std::string_view key) {
  InternalKeyView v = TRY(decode_internal_key_view(key));
  return InternalKey{std::string(v.user_key), v.commit_ts, v.kind};
}

int compare_with_suffix(std::string_view a, std::string_view k, char suffix) {
  const std::size_t n = std::min(a.size(), k.size());
  if (n > 0) {
    if (int c = std::memcmp(a.data(), k.data(), n)) return c;
  }
  if (a.size() <= k.size()) return -1;
  const auto x = static_cast<unsigned char>(a[k.size()]);
  const auto y = static_cast<unsigned char>(suffix);
  if (x != y) return x < y ? -1 : 1;
  return a.size() > k.size() + 1 ? 1 : 0;
}

std::pair<std::string, std::string> user_prefix_bounds(std::string_view user_key) {
  std::string lower;
  lower.reserve(user_key.size() + 1);
  lower.append(user_key).push_back('\0');
  std::string upper = lower;
  upper.back() = '\x01';
  return {std::move(lower), std::move(upper)};
}

std::optional<std::string> prefix_upper_bound(std::string_view prefix) {
  std::size_t end = prefix.size();
  while (end > 0 && static_cast<unsigned char>(prefix[end - 1]) == 0xFF) --end;
  if (end == 0) return std::nullopt;
  std::string upper(prefix.substr(0, end));
  upper.back() = static_cast<char>(static_cast<unsigned char>(upper.back()) + 1);
  return upper;
}

}  // namespace quenlordb::ledger
