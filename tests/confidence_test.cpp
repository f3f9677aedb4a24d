// The confidence thresholds at and around their edges.

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
    ConfidenceLevel level;
  };
  const Case kCases[] = {
      {5, 10, 16.0, ConfidenceLevel::High},  // both edges inclusive
      {5, 10, 16.5, ConfidenceLevel::Medium},
      {3, 10, 32.0, ConfidenceLevel::Medium},  // 3/10 rounds to the double nearest 0.3
      {2, 10, 32.0, ConfidenceLevel::Low},
      {10, 10, 32.5, ConfidenceLevel::Low},
      {4, 10, 1.0, ConfidenceLevel::Medium},  // good distance, ratio only medium
      {0, 0, 0.0, ConfidenceLevel::Low},
      {5, 0, 0.0, ConfidenceLevel::Low},
      {5, 10, std::nan(""), ConfidenceLevel::Low},
      {5, 10, kInf, ConfidenceLevel::Low},
      {5, 10, -kInf, ConfidenceLevel::Low},
      {12, 10, 1.0, ConfidenceLevel::High},  // ratio above 1 accepted
      {5, 10, -3.0, ConfidenceLevel::High},
      {4294967295u, 4294967295u, 0.0, ConfidenceLevel::High},
      {1, 4294967295u, 0.0, ConfidenceLevel::Low},
  };
  for (const Case& c : kCases) {
    SCOPED_TRACE(std::to_string(c.matched) + "/" + std::to_string(c.total) + " at " +
                 std::to_string(c.distance));
    EXPECT_EQ(classify_confidence(c.matched, c.total, c.distance), c.level);
  }
}

TEST(Confidence, Words) {
  EXPECT_EQ(confidence_word(ConfidenceLevel::High), "high");
  EXPECT_EQ(confidence_word(ConfidenceLevel::Medium), "medium");
  EXPECT_EQ(confidence_word(ConfidenceLevel::Low), "low");
}

}  // namespace
