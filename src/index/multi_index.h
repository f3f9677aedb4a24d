#pragma once
// Multi-index hashing over 256-bit hashes: the hash is cut into disjoint
// substrings, each indexed in a table of its own; a query probes substring
// i within radius r_i. By the pigeonhole principle every hash within D of
// the query agrees with it within r_i on some substring i whenever the sum
// of (r_i + 1) exceeds D, so the probes find every such hash.

#include <cstdint>
#include <optional>
#include <vector>

#include "index/packed_hash.h"

/// Bits [offset, offset + bits) of the hash, bit p being bit p % 64 of word p / 64.
struct Substring {
  std::uint16_t offset = 0;
  std::uint16_t bits = 0;
  bool operator==(const Substring&) const = default;
};

using HammingLayout = std::vector<Substring>;

/// Longest substring any table may use.
inline constexpr int kMaxSubstringBits = 28;

/// The layout for a table set over `entries` hashes: 16 substrings of 16 bits
/// for small sets, 11 of 23 or 24 bits (fewer candidates per probe) for large.
HammingLayout layout_for(std::uint64_t entries);
/// True when the substrings are disjoint, in order, inside the 256 bits, and
/// each 1 to kMaxSubstringBits long.
bool is_valid_layout(const HammingLayout& layout);
/// The substring's bits as a number.
std::uint32_t substring_key(const PackedHash& hash, Substring s);
/// The probe radius of each substring that makes a search exact for
/// `max_distance`, spending the fewest probes; nullopt when that would need a
/// radius above 2 somewhere (the caller scans instead).
std::optional<std::vector<int>> probe_radii(const HammingLayout& layout, int max_distance);
/// Every mask of `bits` bits with at most `radius` bits set, the empty one first.
std::vector<std::uint32_t> flip_masks(int bits, int radius);
