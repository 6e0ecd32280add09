#include "ai/risk/risk.h"

#include <algorithm>
#include <array>
#include <charconv>
#include <cstddef>
#include <system_error>

namespace quenlordb::ai::risk {
namespace {

// Documents shorter than this score 0.
constexpr std::size_t kMinScoredBytes = 5;

struct KeywordGroup {
  std::array<std::string_view, 3> variants;  // unused entries are empty
  double weight;
};

// Tested and summed in this order: the sum's rounding depends on it.
constexpr std::array<KeywordGroup, 6> kGroups{{
    {{"error", "Error", "ERROR"}, 0.30},
    {{"failed", "Failed", "FAILED"}, 0.25},
    {{"critical", "Critical", "CRITICAL"}, 0.35},
    {{"unauthorized", "Unauthorized", ""}, 0.40},
    {{"timeout", "Timeout", ""}, 0.20},
    {{"panic", "PANIC", ""}, 0.40},
}};

bool contains_any(std::string_view doc, const KeywordGroup& group) {
  for (std::string_view variant : group.variants) {
    if (!variant.empty() && doc.find(variant) != std::string_view::npos) return true;
  }
  return false;
}

}  // namespace

double quick_risk_score(std::string_view doc) {
  if (doc.size() < kMinScoredBytes) return 0.0;
  double score = 0.0;
  for (const KeywordGroup& group : kGroups) {
    if (contains_any(doc, group)) score += group.weight;
  }
  return std::min(score, 1.0);
}

std::string hex_encode(std::string_view bytes) {
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string out(bytes.size() * 2, '\0');
  for (std::size_t i = 0; i < bytes.size(); ++i) {
    const auto b = static_cast<unsigned char>(bytes[i]);
    out[2 * i] = kDigits[b >> 4];
    out[2 * i + 1] = kDigits[b & 0x0f];
  }
  return out;
}

std::string risk_key_prefix(std::string_view user_key) {
  std::string prefix = "__ai/risk/";
  prefix += hex_encode(user_key);
  prefix += '/';
  return prefix;
}

std::optional<std::uint64_t> risk_key_source_ts(std::string_view risk_key) {
  const std::string_view digits = risk_key.substr(risk_key.rfind('/') + 1);  // npos + 1 == 0
  std::uint64_t ts = 0;
  const auto [end, err] = std::from_chars(digits.data(), digits.data() + digits.size(), ts);
  if (digits.empty() || err != std::errc() || end != digits.data() + digits.size()) return std::nullopt;
  return ts;
}

}  // namespace quenlordb::ai::risk
