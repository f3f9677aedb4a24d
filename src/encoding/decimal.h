#pragma once
// Decimal numbers as the program reads them from text.

#include <cstdint>
#include <string_view>

#include "result.h"

/// Decimal integers: an optional "+" (or "-" for the signed form) and digits
/// only; the message is the bare reason, for the caller to prefix.
Result<std::uint32_t> parse_u32(std::string_view text);
Result<std::int64_t> parse_i64(std::string_view text);
/// A double in the plain decimal grammar (sign, digits with an optional point,
/// exponent; inf, infinity, nan in any case); no white space, no hex floats.
Result<double> parse_double(std::string_view text);
