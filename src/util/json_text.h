// Compact JSON text written by hand where a record's exact bytes matter: the system's float text
// and string escaping. The layout is that of the nlohmann printer the rest of the system writes JSON
// with, but the digits of a double are always the shortest that read back to the same value (the
// nlohmann printer is only guaranteed to round-trip, and now and then gives one digit more).
//
// Float text: the shortest round-trip digits, always with a fraction or an exponent. Positional when
// the decimal exponent allows it (1.0, 0.65, 100.0, 0.0001, 123456789012345.0), otherwise one digit,
// the other digits after a point and an exponent of at least two digits with its sign (1e+16, 1e-05,
// 1.7976931348623157e+308). Zero is 0.0 or -0.0. A value that is not finite is null, as nlohmann
// writes it.
//
// Pure functions, safe to call from any thread.
#pragma once

#include <string>
#include <string_view>

namespace quenlordb::util {

// Appends the float text of value.
void append_json_float(std::string& out, double value);
std::string json_float_text(double value);

// Appends text as a JSON string: quotes, '"' and '\' escaped, \b \f \n \r \t for those controls and
// \u00XX (lowercase hex) for the other bytes below 0x20; every other byte unchanged. text must be
// UTF-8 for the result to be JSON.
void append_json_string(std::string& out, std::string_view text);

}  // namespace quenlordb::util
