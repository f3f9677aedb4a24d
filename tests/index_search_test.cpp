// The index's search against the plainest possible answer: every signed
// hash compared with every query. Hashes are generated at random and, like
// static scenes, as runs a few bits apart that come back later; queries are
// signed hashes moved by 0 to 40 bits, and unrelated ones.

#include <gtest/gtest.h>

#include <random>
#include <vector>

#include "index/recording_search.h"
#include "index_test_util.h"

namespace {

using index_test::clustered_hashes;
using index_test::flat_scan;
using index_test::nearby_queries;
using index_test::random_hashes;

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
}

// Past 2^19 runs the tables switch to 11 longer substrings.
TEST(RecordingSearch, LongSubstringsAreExactToo) {
  const std::vector<PackedHash> hashes = random_hashes((1u << 19) + 100, 4);
  const RecordingSearch search(hashes);
  const std::vector<PackedHash> queries = nearby_queries(hashes, 20, 5);
  for (int d : {0, 16, 31, 32}) {
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
