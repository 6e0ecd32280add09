// The two text forms of a number in the SQL dialect.
//
// Positional float text: the shortest digits that read back to the same double, laid out without
// an exponent (1e21 is a 1 and 21 zeros, 1e-7 is 0.0000001), no decimal point when integral, "-"
// for every negative value including -0; "NaN", "inf", "-inf".
//
// Decimal float syntax: [+-]? (digits [. digits?] | . digits) ([eE] [+-]? digits)?, or in any
// letter case [+-]? (inf | infinity | nan). Nothing else: no white space, hexadecimal, separators
// or empty text. The value is the correctly rounded nearest double; beyond the range it is an
// infinity, below it zero (with the sign).
// Pure functions.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace quenlordb::sql::eval {

void append_positional_float(std::string& out, double value);
std::string positional_float_text(double value);

// None when text does not match the decimal float syntax.
std::optional<double> parse_decimal_float(std::string_view text);

}  // namespace quenlordb::sql::eval
