// The cheap keyword risk score that the write path computes for a document's raw bytes, and the
// lowercase hexadecimal text that writes user keys inside reserved keys. Both are pure functions:
// no state, no allocation in the score, no failure.
#pragma once

#include <string>
#include <string_view>

namespace quenlordb::ai {

// Scores the raw bytes in [0, 1]: each keyword group found as a byte substring (only its listed
// letter-case variants count) adds its weight once; a document under 5 bytes scores 0.
double quick_risk_score(std::string_view doc);

// Each byte as two lowercase hexadecimal digits, high nibble first; "" for "".
std::string hex_encode(std::string_view bytes);

}  // namespace quenlordb::ai
