#pragma once
// Base64 (RFC 4648, standard alphabet, padded). The decoder is strict and
// canonical; its error texts are part of user-visible messages.

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "result.h"

std::string base64_encode(std::span<const std::uint8_t> bytes);
/// Fails with "Invalid symbol ...", "Invalid input length: ...",
/// "Invalid last symbol ..." or "Invalid padding".
Result<std::vector<std::uint8_t>> base64_decode(std::string_view text);
