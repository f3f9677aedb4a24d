#pragma once
// One share of a set of paths, so that N machines can each take theirs
// without talking to each other: the shares are disjoint, together they are
// the whole set, and a path's share depends on its text alone.

#include <cstdint>
#include <string_view>

/// Share K of N, counted from 1.
struct Shard {
  std::uint64_t index = 1;
  std::uint64_t count = 1;
};

/// True when the first 8 bytes of the path's SHA-256, read as a big-endian
/// number, are K-1 modulo N.
bool in_shard(std::string_view path, const Shard& shard);
