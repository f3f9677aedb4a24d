#pragma once
// Hex text: written lowercase, read in either case.

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "result.h"

/// Two lowercase digits per byte.
std::string hex_encode(std::span<const std::uint8_t> bytes);
/// Bytes of hex text with surrounding Unicode white space removed; fails with
/// "hex string has odd length" or "hex string contains non-hex characters".
Result<std::vector<std::uint8_t>> hex_decode(std::string_view text);
