// Packed hashes built bit by bit: a hash with its first k bits
// set is |k - m| bits from one with m, so distances can be read off a table.

#include "index/packed_hash.h"

#include <gtest/gtest.h>

#include <cstring>
#include <optional>
#include <vector>

namespace {

PackedHash first_bits(int k) {
  PackedHash h{};
  for (int b = 0; b < k; ++b) h[b / 64] |= std::uint64_t{1} << (b % 64);
  return h;
}

std::vector<PackedHash> hashes(std::initializer_list<int> bit_counts) {
  std::vector<PackedHash> out;
  for (int k : bit_counts) out.push_back(first_bits(k));
  return out;
}

TEST(PackHash, HexDigitsInOrderEitherCase) {
  EXPECT_EQ(pack_hash("0123456789abcdefFEDCBA98765432100000000000000001800000000000000f"),
            (PackedHash{0x0123456789abcdef, 0xfedcba9876543210, 1, 0x800000000000000f}));
  EXPECT_EQ(pack_hash("0123456789abcdef0123456789abcdef0123456789abcdef0123456789abcdeg"),
            std::nullopt);
  EXPECT_EQ(pack_hash(" 123456789abcdef0123456789abcdef0123456789abcdef0123456789abcde "),
            std::nullopt);  // 64 characters, 62 digits
}

TEST(FindNearest, HammingDistanceAndTheLowestIndexOnATie) {
  const struct {
    std::vector<PackedHash> signed_hashes;
    int query;
    std::size_t index;
    int distance;
  } kCases[] = {
      {hashes({0}), 256, 0, 256},           // every bit of every word
      {hashes({60, 200}), 130, 0, 70},      // equally near: the earlier
      {hashes({100, 7, 7}), 7, 1, 0},       // an exact copy twice: the first
      {hashes({0, 256, 129}), 200, 1, 56},  // nearer beats earlier
      {{}, 5, 0, 257},                      // nothing to compare with
  };
  for (const auto& c : kCases) {
    const NearestHash n = find_nearest(first_bits(c.query), c.signed_hashes);
    EXPECT_EQ(n.index, c.index) << c.query;
    EXPECT_EQ(n.distance, c.distance) << c.query;
  }
}

// The first halves of hashes with their first k bits set, 16 bytes each.
std::vector<std::uint8_t> halves(const std::vector<int>& bit_counts) {
  std::vector<std::uint8_t> out(bit_counts.size() * 16);
  for (std::size_t i = 0; i < bit_counts.size(); ++i) {
    std::memcpy(out.data() + 16 * i, first_bits(bit_counts[i]).data(), 16);
  }
  return out;
}

// Wide vector units take four halves at a time: the nearest is found in
// every place of a group of four and among the ones left over.
TEST(NearestHalf, FoundWhereverItLies) {
  for (std::size_t count = 0; count <= 9; ++count) {
    for (std::size_t at = 0; at < count; ++at) {
      std::vector<int> bits(count, 120);  // 80 bits from the query
      bits[at] = 37;                      // 3 bits from it
      const std::vector<std::uint8_t> h = halves(bits);
      const PackedHash q = first_bits(40);
      EXPECT_EQ(nearest_half(h.data(), count, q[0], q[1]), 3) << count << " " << at;
    }
  }
  const std::vector<std::uint8_t> none;
  EXPECT_EQ(nearest_half(none.data(), 0, 0, 0), 257);
  const std::vector<std::uint8_t> all = halves({128, 128, 128, 128, 128});
  EXPECT_EQ(nearest_half(all.data(), 5, 0, 0), 128);
}

}  // namespace
