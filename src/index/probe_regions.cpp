// Probe generation by region: each query visits the regions its key's high
// bits reach within the radius, the visits are radix-sorted by region (a
// few per query, not one per probe), and a region's probes are spelled out
// only when it is its turn.

#include "index/probe_regions.h"

#include <bit>

#include "index/multi_index.h"
#include "index/posting_table.h"

ProbeRegions::ProbeRegions(std::span<const std::uint32_t> keys, int key_bits, int radius,
                           int split_bits)
    : keys_(keys), radius_(radius), split_(split_bits) {
  const std::vector<std::uint32_t> high_masks = flip_masks(key_bits - split_bits, radius);
  visits_.reserve(keys.size() * high_masks.size());
  for (std::uint64_t q = 0; q < keys.size(); ++q) {
    const std::uint32_t high = keys[q] >> split_bits;
    for (std::uint32_t m : high_masks) {
      visits_.push_back(std::uint64_t{high ^ m} << 32 | q << 2 |
                        static_cast<std::uint64_t>(std::popcount(m)));
    }
  }
  std::vector<std::uint64_t> scratch;
  sort_by_bits(visits_, 32, key_bits - split_bits, scratch);
  for (int left = 0; left <= radius; ++left) low_masks_.push_back(flip_masks(split_bits, left));
}

bool ProbeRegions::next(std::uint64_t& region, std::vector<std::uint64_t>& probes) {
  if (at_ == visits_.size()) return false;
  region = visits_[at_] >> 32;
  probes.clear();
  const std::uint32_t low_mask = (std::uint32_t{1} << split_) - 1;
  for (; at_ < visits_.size() && visits_[at_] >> 32 == region; ++at_) {
    const std::uint64_t q = (visits_[at_] & 0xffffffffu) >> 2;
    const std::uint64_t base = region << split_;
    const std::uint32_t low = keys_[q] & low_mask;
    for (std::uint32_t m : low_masks_[radius_ - static_cast<int>(visits_[at_] & 3)]) {
      probes.push_back((base | (low ^ m)) << 32 | q);
    }
  }
  return true;
}
