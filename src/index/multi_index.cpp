// The substring layouts and the probe radii of multi-index hashing. The
// radii are chosen per search, not per table, so a table built once serves
// every distance up to what radius 2 on each substring reaches.

#include "index/multi_index.h"

#include <numeric>

namespace {

// Past radius 2 a 24-bit substring needs 2,325 probes; a scan is the better
// answer for such distances.
constexpr int kMaxRadius = 2;
// Above this many entries a 16-bit key names more than about 16 hashes per
// bucket, and the longer substrings' fewer candidates win over their probes.
constexpr std::uint64_t kLongSubstringsFrom = 1u << 20;

HammingLayout even_layout(int count) {
  HammingLayout layout;
  int offset = 0;
  for (int i = 0; i < count; ++i) {
    const int bits = (256 - offset) / (count - i);
    layout.push_back({static_cast<std::uint16_t>(offset), static_cast<std::uint16_t>(bits)});
    offset += bits;
  }
  return layout;
}

std::uint64_t choose(int n, int k) {
  std::uint64_t c = 1;
  for (int i = 0; i < k; ++i)
    c = c * static_cast<std::uint64_t>(n - i) / static_cast<std::uint64_t>(i + 1);
  return c;
}

}  // namespace

HammingLayout layout_for(std::uint64_t entries) {
  return even_layout(entries < kLongSubstringsFrom ? 16 : 11);
}

bool is_valid_layout(const HammingLayout& layout) {
  int end = 0;
  for (const Substring& s : layout) {
    if (s.offset < end || s.bits < 1 || s.bits > kMaxSubstringBits || s.offset + s.bits > 256) {
      return false;
    }
    end = s.offset + s.bits;
  }
  return !layout.empty();
}

std::uint32_t substring_key(const PackedHash& hash, Substring s) {
  const int word = s.offset / 64;
  const int shift = s.offset % 64;
  std::uint64_t v = hash[word] >> shift;
  if (shift + s.bits > 64) v |= hash[word + 1] << (64 - shift);
  return static_cast<std::uint32_t>(v & ((std::uint64_t{1} << s.bits) - 1));
}

std::optional<std::vector<int>> probe_radii(const HammingLayout& layout, int max_distance) {
  if (max_distance < 0) return std::nullopt;
  std::vector<int> radii(layout.size(), 0);
  // Each step raises the radius whose next ring of keys is smallest.
  for (int reach = static_cast<int>(layout.size()); reach <= max_distance; ++reach) {
    std::size_t best = layout.size();
    for (std::size_t i = 0; i < layout.size(); ++i) {
      if (radii[i] == kMaxRadius) continue;
      if (best == layout.size() ||
          choose(layout[i].bits, radii[i] + 1) < choose(layout[best].bits, radii[best] + 1)) {
        best = i;
      }
    }
    if (best == layout.size()) return std::nullopt;
    ++radii[best];
  }
  return radii;
}

std::vector<std::uint32_t> flip_masks(int bits, int radius) {
  std::vector<std::uint32_t> masks{0};
  if (radius >= 1) {
    for (int a = 0; a < bits; ++a) masks.push_back(1u << a);
  }
  if (radius >= 2) {
    for (int a = 0; a < bits; ++a) {
      for (int b = a + 1; b < bits; ++b) masks.push_back((1u << a) | (1u << b));
    }
  }
  return masks;
}
