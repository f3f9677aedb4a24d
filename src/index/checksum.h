#pragma once
// The checksum that index files carry for each page they hold.

#include <cstdint>
#include <span>

/// A 64-bit checksum of the bytes: catches torn writes, truncation and bit
/// rot, not deliberate tampering (the signatures in the evidence do that).
std::uint64_t checksum64(std::span<const std::uint8_t> bytes);
