#pragma once
// Grading the statistics of a frame-matching run as high, medium or low.

#include <cstdint>
#include <string_view>

enum class ConfidenceLevel { High, Medium, Low };

/// The level for matched of total query frames at the given average distance;
/// Low when there were no query frames or the distance is not finite.
ConfidenceLevel classify_confidence(std::uint32_t matched_frames, std::uint32_t total_query_frames,
                                    double avg_distance);
/// "high", "medium" or "low".
std::string_view confidence_word(ConfidenceLevel level);
