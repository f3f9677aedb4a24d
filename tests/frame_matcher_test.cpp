// The matching core on hashes built bit by bit: a hash with its first k bits
// set is |k - m| bits from one with m, so distances can be read off a table.

#include "matching/frame_matcher.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>
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
  EXPECT_EQ(pack_hash("0123456789abcdef"
                      "FEDCBA9876543210"
                      "0000000000000001"
                      "8000000000000000"),
            (PackedHash{0x0123456789abcdef, 0xfedcba9876543210, 1, 0x8000000000000000}));
  constexpr std::string_view kNotHashes[] = {
      "",
      "0123456789abcdef0123456789abcdef0123456789abcdef0123456789abcde",   // 63 digits
      "0123456789abcdef0123456789abcdef0123456789abcdef0123456789abcdeg",  // not hex
      " 123456789abcdef0123456789abcdef0123456789abcdef0123456789abcde ",  // padded
  };
  for (std::string_view bad : kNotHashes) {
    EXPECT_EQ(pack_hash(bad), std::nullopt) << bad;
  }
}

TEST(HammingDistance, CountsDifferingBitsInEveryWord) {
  EXPECT_EQ(hamming_distance(first_bits(0), first_bits(256)), 256);
  EXPECT_EQ(hamming_distance(first_bits(63), first_bits(193)), 130);
  EXPECT_EQ(hamming_distance(PackedHash{1, 2, 4, 8}, PackedHash{0, 0, 0, 0}), 4);
  EXPECT_EQ(hamming_distance(first_bits(100), first_bits(100)), 0);
}

TEST(FindNearest, LowestIndexWinsATie) {
  struct Case {
    std::vector<PackedHash> signed_hashes;
    int query;
    std::size_t index;
    int distance;
  };
  const Case kCases[] = {
      {hashes({0, 10}), 5, 0, 5},  // equally near: the earlier
      {hashes({10, 0, 10}), 5, 0, 5},
      {hashes({100, 7, 7}), 7, 1, 0},  // an exact copy twice: the first
      {hashes({0, 256, 129}), 200, 1, 56},
      {{}, 5, 0, 257},  // nothing to compare with
  };
  for (const Case& c : kCases) {
    const NearestHash n = find_nearest(first_bits(c.query), c.signed_hashes);
    EXPECT_EQ(n.index, c.index) << c.query;
    EXPECT_EQ(n.distance, c.distance) << c.query;
  }
}

TEST(FrameMatcher, CountsMeanDistanceAndLowerMedianOffset) {
  struct Case {
    std::string_view name;
    std::vector<int> queries;  // candidate frames, in order
    int max_distance;
    double candidate_fps;
    std::uint64_t matched;
    std::optional<double> avg_distance, offset_seconds;
  };
  // Signed at 2 fps: frame j is j / 2 seconds into the recording.
  const std::vector<PackedHash> kSigned = hashes({0, 40, 80, 120, 160});
  const Case kCases[] = {
      // offsets 1.0, 1.0, -0.5: the middle one
      {"odd count", {80, 121, 40}, 31, 2, 3, 1.0 / 3.0, 1.0},
      // offsets 1.0, 1.0, -0.5, 0.5: the earlier of the two middle ones
      {"even count", {80, 121, 40, 160}, 31, 2, 4, 0.25, 0.5},
      // offsets 1.0, 0.5, -1.5 from frames 0, 2 and 4
      {"unmatched frames left out", {80, 200, 121, 250, 40}, 31, 2, 3, 1.0 / 3.0, 0.5},
      {"limit inclusive", {20, 61}, 19, 2, 1, 19.0, 0.5},
      {"exact only", {0, 1, 41}, 0, 2, 1, 0.0, 0.0},
      {"nothing matches", {20, 60}, 19, 2, 0, std::nullopt, std::nullopt},
      {"no frames", {}, 31, 2, 0, std::nullopt, std::nullopt},
      // at 4 fps frame i is i / 4 s into the clip: offsets 1.0 and 0.75
      {"other candidate rate", {80, 80}, 31, 4, 2, 0.0, 0.75},
  };
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.name);
    FrameMatcher matcher(kSigned, 2.0, c.candidate_fps, c.max_distance);
    for (int q : c.queries) matcher.add_frame(first_bits(q));
    const MatchStatistics s = matcher.statistics();
    EXPECT_EQ(s.total_query_frames, c.queries.size());
    EXPECT_EQ(s.matched_frames, c.matched);
    EXPECT_EQ(s.avg_distance, c.avg_distance);
    EXPECT_EQ(s.offset_seconds, c.offset_seconds);
  }
}

}  // namespace
