#pragma once
// PDQ hashes as four 64-bit words, so a distance is four XORs and four
// popcounts, and the nearest of a list by a flat scan.

#include <array>
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
/// The number of bits in which the two hashes differ, 0 to 256.
int hamming_distance(const PackedHash& a, const PackedHash& b);

struct NearestHash {
  std::size_t index = 0;
  int distance = 257;  // 257, and index 0, when there was nothing to compare with
};

/// The hash of `hashes` nearest to `query`; among equally near ones the one
/// with the lowest index.
NearestHash find_nearest(const PackedHash& query, std::span<const PackedHash> hashes);
