#pragma once
// The probe keys of one substring for a batch of queries, handed out region
// by region in increasing order, so that a table is read forward and each
// region's probes stay in the cache while they are looked up. A query's
// probes reach a region only through the few flips of its key's high bits
// that lead there, so the probes are never sorted.

#include <cstdint>
#include <span>
#include <vector>

class ProbeRegions {
 public:
  /// The keys within `radius` (0 to 2) bits of each of `keys` (query q's
  /// key of `key_bits` bits is keys[q]); a region is the keys that agree
  /// above their lowest `split_bits` (at most key_bits).
  ProbeRegions(std::span<const std::uint32_t> keys, int key_bits, int radius, int split_bits);
  /// The next region that has probes, and its probes (key << 32 | query);
  /// false when none is left.
  bool next(std::uint64_t& region, std::vector<std::uint64_t>& probes);

 private:
  std::span<const std::uint32_t> keys_;
  int radius_, split_;
  // (region << 32 | query << 2 | bits flipped above the split), by region.
  std::vector<std::uint64_t> visits_;
  std::size_t at_ = 0;
  // For each number of flips left, the masks of the split bits that spend them.
  std::vector<std::vector<std::uint32_t>> low_masks_;
};
