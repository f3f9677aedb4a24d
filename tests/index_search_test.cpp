// The index's search against the plainest possible answer: every signed
// hash compared with every query. Hashes are generated at random and, like
// static scenes, as runs a few bits apart that come back later; queries are
// signed hashes moved by 0 to 40 bits, and unrelated ones.

#include <gtest/gtest.h>

#include <random>
#include <vector>

#include "index/multi_index.h"
#include "index/recording_search.h"
#include "index_test_util.h"

namespace {

using index_test::clustered_hashes;
using index_test::flat_scan;
using index_test::nearby_queries;
using index_test::random_hashes;

// The radii spend the fewest probes that still make the sum of (r + 1)
// exceed the distance, and give up where radius 2 everywhere is not enough.
TEST(ProbeRadii, ExactForTheDistanceAtTheFewestProbes) {
  using Radii = std::optional<std::vector<int>>;
  const auto row = [](int count, int radius) { return std::vector<int>(count, radius); };
  const HammingLayout small = layout_for(1000), large = layout_for(1u << 20);
  ASSERT_EQ(small.size(), 16u);
  ASSERT_EQ(large.size(), 11u);
  EXPECT_EQ(large[0], (Substring{0, 23}));
  EXPECT_EQ(large[10], (Substring{232, 24}));
  std::vector<int> sixteen = row(16, 0);
  sixteen[0] = 1;
  std::vector<int> thirty_one = row(11, 2);
  thirty_one[10] = 1;
  const struct {
    const HammingLayout& layout;
    int distance;
    Radii radii;
  } kCases[] = {
      {small, 0, row(16, 0)},    {small, 15, row(16, 0)}, {small, 16, sixteen},
      {small, 31, row(16, 1)},   {small, 47, row(16, 2)}, {small, 48, std::nullopt},
      {large, 10, row(11, 0)},   {large, 31, thirty_one}, {large, 32, row(11, 2)},
      {large, 33, std::nullopt},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.distance);
    EXPECT_EQ(probe_radii(c.layout, c.distance), c.radii);
  }
}

TEST(RecordingSearch, FindsExactlyWhatAFlatScanFinds) {
  const struct {
    const char* name;
    std::vector<PackedHash> hashes;
  } kContents[] = {{"random", random_hashes(3000, 1)}, {"clustered", clustered_hashes(3000, 2)}};
  for (const auto& content : kContents) {
    const RecordingSearch search(content.hashes);
    const std::vector<PackedHash> queries = nearby_queries(content.hashes, 300, 3);
    for (int d : {0, 8, 16, 31, 48}) {
      SCOPED_TRACE(std::string(content.name) + " at distance " + std::to_string(d));
      EXPECT_EQ(search.search(queries, d), flat_scan(content.hashes, queries, d));
    }
  }
  // More queries than one batch of the search takes at a time.
  const std::vector<PackedHash>& clustered = kContents[1].hashes;
  const std::vector<PackedHash> many = nearby_queries(clustered, 4200, 5);
  EXPECT_EQ(RecordingSearch(clustered).search(many, 31), flat_scan(clustered, many, 31));
}

// Past 2^20 runs the tables switch to 11 longer substrings.
TEST(RecordingSearch, LongSubstringsAreExactToo) {
  const std::vector<PackedHash> hashes = random_hashes((1u << 20) + 100, 4);
  const RecordingSearch search(hashes);
  std::mt19937_64 random(5);
  std::vector<PackedHash> queries;
  for (int bits : {0, 16, 28, 30, 31, 32, 33, 40}) {
    queries.push_back(index_test::flip_bits(hashes[random() % hashes.size()], bits, random));
  }
  for (int d : {16, 31, 32}) {
    SCOPED_TRACE(d);
    EXPECT_EQ(search.search(queries, d), flat_scan(hashes, queries, d));
  }
}

TEST(RecordingSearch, ReportsStretchesWithTheirSmallestDistance) {
  // A static scene: hashes 0 to 3 within 4 bits of hash 0, then unrelated.
  PackedHash scene{0, 0, 0, 0};
  std::vector<PackedHash> hashes = {scene, scene, scene, scene, {~0ull, ~0ull, ~0ull, ~0ull}};
  hashes[1][0] = 0b11;    // 2 bits away
  hashes[2][1] = 0b1111;  // 4 bits away
  hashes[3][0] = 0b1;     // 1 bit away
  const RecordingSearch search(hashes);
  PackedHash query = scene;
  query[1] = 0b111;  // 3 bits from hash 0, 1 from hash 2
  // Distances 3, 5, 1 and 4 from the query.
  EXPECT_EQ(search.search(std::vector{query}, 5), (std::vector<QueryHit>{{0, 0, 3, 1}}));
  EXPECT_EQ(search.search(std::vector{query}, 3),
            (std::vector<QueryHit>{{0, 0, 0, 3}, {0, 2, 2, 1}}));
  EXPECT_EQ(search.search(std::vector{query}, 0), std::vector<QueryHit>{});
}

}  // namespace
