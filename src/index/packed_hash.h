#pragma once
// PDQ hashes as four 64-bit words, so a distance is four XORs and four
// popcounts, and the nearest of a list by a flat scan.

#include <array>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

/// The 256 bits of a PDQ hash as four words, so a distance is four popcounts.
using PackedHash = std::array<std::uint64_t, 4>;

/// The hash of 64 hex digits (either case); nullopt for any other text.
std::optional<PackedHash> pack_hash(std::string_view hex);
/// The number of bits in which the two hashes differ, 0 to 256. Inline, so
/// that a caller compiled for the POPCNT instruction counts with it.
inline int hamming_distance(const PackedHash& a, const PackedHash& b) {
  return std::popcount(a[0] ^ b[0]) + std::popcount(a[1] ^ b[1]) + std::popcount(a[2] ^ b[2]) +
         std::popcount(a[3] ^ b[3]);
}

struct NearestHash {
  std::size_t index = 0;
  int distance = 257;  // 257, and index 0, when there was nothing to compare with
};

/// The smallest distance from `query`'s first two words (a half hash, 16
/// little-endian bytes) to any of the `count` half hashes at `halves`; 257
/// for none. Wide vector units count 4 at once where the processor has them.
int nearest_half(const std::uint8_t* halves, std::size_t count, std::uint64_t q0,
                 std::uint64_t q1);

/// The hash of `hashes` nearest to `query`; among equally near ones the one
/// with the lowest index.
NearestHash find_nearest(const PackedHash& query, std::span<const PackedHash> hashes);
