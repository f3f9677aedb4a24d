#pragma once
// The confidence command: grading the statistics of a frame-matching run.

#include <cstdint>
#include <span>
#include <string>
#include <string_view>

#include "result.h"

/// Reads MATCHED_FRAMES TOTAL_QUERY_FRAMES AVG_DISTANCE and prints the level.
CommandOutcome run_confidence(std::span<const std::string> args);

enum class ConfidenceLevel { High, Medium, Low };

/// The level for matched of total query frames at the given average distance;
/// Low when there were no query frames or the distance is not finite.
ConfidenceLevel classify_confidence(std::uint32_t matched_frames, std::uint32_t total_query_frames,
                                    double avg_distance);
/// "high", "medium" or "low".
std::string_view confidence_word(ConfidenceLevel level);
