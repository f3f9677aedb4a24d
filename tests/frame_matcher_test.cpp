// The matching core on hashes built bit by bit: a hash with its first k bits
// set is |k - m| bits from one with m, so distances can be read off a table.

#include "matching/frame_matcher.h"

#include <gtest/gtest.h>

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

TEST(FrameMatcher, CountsMeanDistanceAndLowerMedianOffset) {
  // Signed at 2 fps: frame j is j / 2 seconds into the recording.
  const std::vector<PackedHash> kSigned = hashes({0, 40, 80, 120, 160});
  const struct {
    std::vector<int> queries;  // candidate frames, in order
    int max_distance;
    double candidate_fps;
    std::uint64_t matched;
    std::optional<double> avg_distance, offset_seconds;
  } kCases[] = {
      {{80, 121, 40}, 31, 2, 3, 1.0 / 3, 1.0},            // offsets 1, 1, -0.5: the middle one
      {{80, 121, 40, 160}, 31, 2, 4, 0.25, 0.5},          // 1, 1, -0.5, 0.5: the earlier middle one
      {{80, 200, 121, 250, 40}, 31, 2, 3, 1.0 / 3, 0.5},  // frames 1 and 3 match nothing
      {{20, 61}, 19, 2, 1, 19.0, 0.5},                    // the limit is inclusive
      {{20, 60}, 19, 2, 0, std::nullopt, std::nullopt},
      {{}, 31, 2, 0, std::nullopt, std::nullopt},
      {{80, 80}, 31, 4, 2, 0.0, 0.75},  // frame i is i / 4 s into the clip
  };
  for (const auto& c : kCases) {
    FrameMatcher matcher(kSigned, 2.0, c.candidate_fps, c.max_distance);
    for (int q : c.queries) matcher.add_frame(first_bits(q));
    const MatchStatistics s = matcher.statistics();
    SCOPED_TRACE(testing::PrintToString(c.queries));
    EXPECT_EQ(s.total_query_frames, c.queries.size());
    EXPECT_EQ(s.matched_frames, c.matched);
    EXPECT_EQ(s.avg_distance, c.avg_distance);
    EXPECT_EQ(s.offset_seconds, c.offset_seconds);
  }
}

}  // namespace
