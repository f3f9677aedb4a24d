#pragma once
// How an alignment reads in a report and in a summary line, the same for
// match (one recording) and search (each recording found): the counts and
// their grade, where the clip starts, and its segments.

#include <nlohmann/json.hpp>
#include <string>

#include "matching/aligner.h"
#include "matching/confidence.h"

/// The grade of the matched comparisons over all of them at their mean
/// distance, as the confidence command grades them.
ConfidenceLevel alignment_confidence(const Alignment& alignment);

/// Adds confidence, matched_frames, total_query_frames, avg_distance and
/// offset_seconds (when known), edited and segments. Seconds are given to
/// the millisecond and tempos to a thousandth, since neither is known
/// finer than that.
void add_alignment_members(nlohmann::json& document, const Alignment& alignment);

/// What an investigator needs first, after "==> LEVEL confidence: ": where
/// the clip lies, segment by segment when it is edited, or why its position
/// is not known; `max_distance` is the limit the counts used.
std::string describe_alignment(const Alignment& alignment, int max_distance);
