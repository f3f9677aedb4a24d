#pragma once
// The confidence command: grading the statistics of a frame-matching run.

#include <span>
#include <string>

#include "result.h"

/// Reads MATCHED_FRAMES TOTAL_QUERY_FRAMES AVG_DISTANCE and prints the level.
CommandOutcome run_confidence(std::span<const std::string> args);
