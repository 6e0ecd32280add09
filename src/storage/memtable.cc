#include "storage/memtable.h"

#include "ledger/internal_key.h"
#include "ledger/record.h"

namespace quenlordb::storage {

void Memtable::insert(std::string key, std::string value) {
  const std::uint64_t added = key.size() + value.size();
  auto [it, inserted] = entries_.try_emplace(std::move(key));
  if (!inserted) {
    const std::uint64_t removed = it->first.size() + it->second.size();
    approx_bytes_ = approx_bytes_ > removed ? approx_bytes_ - removed : 0;
  }
  it->second = std::move(value);
  approx_bytes_ += added;
}

Result<std::optional<VisibleVersion>> Memtable::visible_get(std::string_view user_key, std::uint64_t snapshot,
                                                            std::optional<std::uint64_t> valid_at) const {
  const auto [lower, upper] = ledger::user_prefix_bounds(user_key);
  auto it = entries_.lower_bound(upper);
  while (it != entries_.begin()) {
    --it;
    if (it->first < lower) break;
    const ledger::InternalKeyView key = TRY(ledger::decode_internal_key_view(it->first));
    if (key.user_key != user_key || key.commit_ts > snapshot) continue;
    const ledger::FactValueView value = TRY(ledger::read_fact_value(it->second));
    if (value.visible_at(valid_at)) return VisibleVersion{key.commit_ts, std::string(value.doc)};
  }
  return std::nullopt;
}

Result<void> Memtable::merge_prefix_visible(std::string_view prefix, std::uint64_t snapshot,
                                            std::optional<std::uint64_t> valid_at, VisibleMap& out) const {
  const std::optional<std::string> upper = ledger::prefix_upper_bound(prefix);
  const auto end = upper ? entries_.lower_bound(*upper) : entries_.end();
  for (auto it = entries_.lower_bound(prefix); it != end; ++it) {
    const ledger::InternalKeyView key = TRY(ledger::decode_internal_key_view(it->first));
    if (key.commit_ts > snapshot || !key.user_key.starts_with(prefix)) continue;
    const ledger::FactValueView value = TRY(ledger::read_fact_value(it->second));
    if (!value.visible_at(valid_at)) continue;
    auto found = out.find(key.user_key);
    if (found == out.end()) {
      out.emplace(std::string(key.user_key), VisibleVersion{key.commit_ts, std::string(value.doc)});
    } else if (found->second.commit_ts < key.commit_ts) {
      found->second = VisibleVersion{key.commit_ts, std::string(value.doc)};
    }
  }
  return {};
}

Result<VisibleMap> Memtable::scan_prefix_visible(std::string_view prefix, std::uint64_t snapshot,
                                                 std::optional<std::uint64_t> valid_at) const {
  VisibleMap out;
  TRY(merge_prefix_visible(prefix, snapshot, valid_at, out));
  return out;
}

}  // namespace quenlordb::storage
