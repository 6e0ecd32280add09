// The cheap keyword risk score that the write path computes for a document's raw bytes, and the
// lowercase hexadecimal text that writes user keys inside reserved keys. Both are pure functions:
// no state, no allocation in the score, no failure.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace quenlordb::ai::risk {

// Scores the raw bytes in [0, 1]: each keyword group found as a byte substring (only its listed
// letter-case variants count) adds its weight once; a document under 5 bytes scores 0.
double quick_risk_score(std::string_view doc);

// Each byte as two lowercase hexadecimal digits, high nibble first; "" for "".
std::string hex_encode(std::string_view bytes);

// Keys beginning with this are the insight features' own; they are never scored.
inline constexpr std::string_view kReservedKeyPrefix = "__ai/";

// "__ai/risk/{hex of user_key}/": the prefix of the inline risk records of user_key, each of which
// continues with the commit timestamp of the put it scored, in decimal. So byte order is not the
// order of those timestamps ("…/9" sorts after "…/10"): the newest record is the one whose
// risk_key_source_ts is greatest.
std::string risk_key_prefix(std::string_view user_key);

// The commit timestamp a risk record key ends in (the decimal digits after its last '/'); none when
// they are missing, not all digits or beyond 2^64 - 1.
std::optional<std::uint64_t> risk_key_source_ts(std::string_view risk_key);

}  // namespace quenlordb::ai::risk
