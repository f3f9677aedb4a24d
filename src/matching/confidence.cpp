// Grades a frame-matching run. The thresholds are fixed so that the same
// statistics always give the same word, in every command that reports one.

#include "matching/confidence.h"

#include <cmath>

namespace {

constexpr double kHighRatio = 0.5;
constexpr double kHighMaxDistance = 16.0;
constexpr double kMediumRatio = 0.3;
constexpr double kMediumMaxDistance = 32.0;

}  // namespace

ConfidenceLevel classify_confidence(std::uint32_t matched_frames, std::uint32_t total_query_frames,
                                    double avg_distance) {
  if (total_query_frames == 0 || !std::isfinite(avg_distance)) return ConfidenceLevel::Low;
  double ratio = static_cast<double>(matched_frames) / static_cast<double>(total_query_frames);
  if (ratio >= kHighRatio && avg_distance <= kHighMaxDistance) return ConfidenceLevel::High;
  if (avg_distance <= kMediumMaxDistance && ratio >= kMediumRatio) return ConfidenceLevel::Medium;
  return ConfidenceLevel::Low;
}

std::string_view confidence_word(ConfidenceLevel level) {
  switch (level) {
    case ConfidenceLevel::High:
      return "high";
    case ConfidenceLevel::Medium:
      return "medium";
    case ConfidenceLevel::Low:
      return "low";
  }
  return "low";
}
