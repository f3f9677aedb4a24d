// The confidence thresholds at and around their edges, as the words the
// reports and the confidence command print.

#include "matching/confidence.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

namespace {

TEST(Confidence, Thresholds) {
  constexpr double kInf = std::numeric_limits<double>::infinity();
  struct Case {
    std::uint32_t matched, total;
    double distance;
    std::string_view word;
  };
  const Case kCases[] = {
      {5, 10, 16.0, "high"},  // both edges inclusive
      {5, 10, 16.5, "medium"},
      {3, 10, 32.0, "medium"},  // 3/10 rounds to the double nearest 0.3
      {2, 10, 32.0, "low"},
      {10, 10, 32.5, "low"},
      {4, 10, 1.0, "medium"},  // good distance, ratio only medium
      {0, 0, 0.0, "low"},
      {5, 0, 0.0, "low"},
      {5, 10, std::nan(""), "low"},
      {5, 10, kInf, "low"},
      {5, 10, -kInf, "low"},
      {12, 10, 1.0, "high"},  // ratio above 1 accepted
      {5, 10, -3.0, "high"},
      {4294967295u, 4294967295u, 0.0, "high"},
      {1, 4294967295u, 0.0, "low"},
  };
  for (const Case& c : kCases) {
    SCOPED_TRACE(std::to_string(c.matched) + "/" + std::to_string(c.total) + " at " +
                 std::to_string(c.distance));
    EXPECT_EQ(confidence_word(classify_confidence(c.matched, c.total, c.distance)), c.word);
  }
}

}  // namespace
