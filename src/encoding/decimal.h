#pragma once
// Decimal numbers as the program reads them from text and writes them in
// messages: the one home of number-to-text formatting.

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "result.h"

/// Decimal integers: an optional "+" (or "-" for the signed form) and digits
/// only; the message is the bare reason, for the caller to prefix.
Result<std::uint32_t> parse_u32(std::string_view text);
Result<std::int64_t> parse_i64(std::string_view text);
/// A double in the plain decimal grammar (sign, digits with an optional point,
/// exponent; inf, infinity, nan in any case); no white space, no hex floats.
Result<double> parse_double(std::string_view text);

/// "2" for 2.0, "2.5", "0.1", "29.97": a whole value without a point, any
/// other as its shortest round-trip decimal, never with an exponent.
std::string format_decimal(double value);
/// The value with one digit after the point, rounded ("%.1f").
std::string one_decimal(double value);
/// "1 file", "2 files": a count with the word its number takes.
std::string counted(std::size_t n, std::string_view one, std::string_view many);
/// A positive value rounded up to two significant digits, without trailing
/// zeros: 8.33 gives 8.4, 5 gives 5, 0.333 gives 0.34.
std::string two_digits_up(double value);
/// A positive value cut down to two significant digits: 1.65 gives 1.6.
std::string two_digits_down(double value);
