// Writes an alignment for people and for scripts. A segment's position is a
// fact only when the aligner pinned it; otherwise the report gives the range
// of starts that fit and the summary says the position is undetermined.

#include "matching/alignment_report.h"

#include <cmath>
#include <limits>

#include "encoding/decimal.h"

namespace {

// To `digits` decimals, as the double nearest that decimal, so it prints as
// the decimal (4503.833, not 4503.8330000000005).
double rounded(double value, int digits) {
  const double scale = std::pow(10.0, digits);
  return std::round(value * scale) / scale;
}
double seconds(double value) { return rounded(value, 3); }

std::uint32_t saturated_u32(std::uint64_t value) {
  return static_cast<std::uint32_t>(
      std::min<std::uint64_t>(value, std::numeric_limits<std::uint32_t>::max()));
}

nlohmann::json segment_json(const Segment& s) {
  nlohmann::json j = {
      {"candidate_start_s", seconds(s.candidate_start_s)},
      {"candidate_end_s", seconds(s.candidate_end_s)},
      {"frames", s.frames},
      {"matched_frames", s.matched_frames},
      {"tempo", rounded(s.tempo, 3)},
      {"transform", pdq::dihedral_name(s.view.transform)},
      {"boxed", box_word(s.view.box)},
      {"position", s.undetermined ? "undetermined" : "determined"},
  };
  if (s.avg_distance) j["avg_distance"] = *s.avg_distance;
  if (s.undetermined) {
    j["recording_start_min_s"] = seconds(s.undetermined->recording_start_min_s);
    j["recording_start_max_s"] = seconds(s.undetermined->recording_start_max_s);
    j["recording_repeats_from_s"] = seconds(s.undetermined->repeated_from_s);
    j["recording_repeats_to_s"] = seconds(s.undetermined->repeated_to_s);
  } else {
    if (s.recording_start_s) j["recording_start_s"] = seconds(*s.recording_start_s);
    if (s.recording_end_s) j["recording_end_s"] = seconds(*s.recording_end_s);
  }
  if (s.between_samples) j["between_samples"] = true;
  return j;
}

// "mirrored, letterboxed, at 1.25x the recording's speed", or nothing for a
// plain copy.
std::string how_changed(const Segment& s) {
  std::string words;
  auto add = [&](const std::string& w) { words += (words.empty() ? "" : ", ") + w; };
  if (s.view.transform != Transform::None) add(std::string(pdq::dihedral_name(s.view.transform)));
  if (s.view.box == Box::Letterbox) add("letterboxed");
  if (s.view.box == Box::Pillarbox) add("pillarboxed");
  if (s.tempo != 1.0) add("at " + format_decimal(rounded(s.tempo, 2)) + "x the recording's speed");
  return words;
}

std::string span_text(double from, double to) { return one_decimal(from) + "-" + one_decimal(to); }

// "0.0-10.0 s is 70.0-80.0 s", or where an undetermined segment may lie.
std::string segment_place(const Segment& s, bool first) {
  std::string text = span_text(s.candidate_start_s, s.candidate_end_s) + " s is ";
  if (s.undetermined) {
    text += "somewhere in the repeated scene from " + one_decimal(s.undetermined->repeated_from_s) +
            " s to " + one_decimal(s.undetermined->repeated_to_s) + " s";
  } else {
    text += span_text(s.recording_start_s.value_or(0), s.recording_end_s.value_or(0)) + " s";
  }
  if (first) text += " of the recording";
  if (const std::string changed = how_changed(s); !changed.empty()) text += " (" + changed + ")";
  return text;
}

std::string counts(const Alignment& a, int max_distance) {
  std::string text = std::to_string(a.matched_frames) + " of " +
                     std::to_string(a.total_query_frames) + " frames within distance " +
                     std::to_string(max_distance);
  if (a.avg_distance) text += " (mean " + one_decimal(*a.avg_distance) + ")";
  return text;
}

}  // namespace

ConfidenceLevel alignment_confidence(const Alignment& a) {
  return classify_confidence(saturated_u32(a.matched_frames), saturated_u32(a.total_query_frames),
                             a.avg_distance.value_or(std::numeric_limits<double>::quiet_NaN()));
}

void add_alignment_members(nlohmann::json& document, const Alignment& a) {
  document["confidence"] = confidence_word(alignment_confidence(a));
  document["matched_frames"] = a.matched_frames;
  document["total_query_frames"] = a.total_query_frames;
  if (a.avg_distance) document["avg_distance"] = *a.avg_distance;
  if (a.offset_seconds) document["offset_seconds"] = seconds(*a.offset_seconds);
  document["edited"] = a.edited;
  nlohmann::json segments = nlohmann::json::array();
  for (const Segment& s : a.segments) segments.push_back(segment_json(s));
  document["segments"] = std::move(segments);
}

std::string describe_alignment(const Alignment& a, int max_distance) {
  if (a.segments.empty()) {
    std::string text = counts(a, max_distance);
    if (a.nearest_distance) {
      text += "; the nearest frame is " + std::to_string(*a.nearest_distance) +
              " bits from a signed hash";
    }
    return text;
  }
  const Segment& first = a.segments.front();
  const bool still = first.candidate_end_s == 0;
  if (still && !first.undetermined) {
    std::string text = counts(a, max_distance) + "; the still shows " +
                       one_decimal(first.recording_start_s.value_or(0)) + " s of the recording";
    if (first.between_samples) text += ", between two signed samples";
    if (const std::string changed = how_changed(first); !changed.empty()) text += ", " + changed;
    return text;
  }
  if (a.segments.size() == 1 && !a.edited && !first.undetermined && a.offset_seconds) {
    const double offset = *a.offset_seconds;
    std::string text = counts(a, max_distance) + "; the clip starts " +
                       one_decimal(std::fabs(offset)) +
                       (offset < 0 ? " s before the recording" : " s into the recording");
    if (const std::string changed = how_changed(first); !changed.empty()) text += ", " + changed;
    return text;
  }
  if (a.segments.size() == 1 && first.undetermined) {
    const UndeterminedStart& u = *first.undetermined;
    return std::string(still ? "a still" : "one segment") +
           ", position undetermined: it starts between " + one_decimal(u.recording_start_min_s) +
           " s and " + one_decimal(u.recording_start_max_s) +
           " s of the recording, whose matched hashes repeat from " +
           one_decimal(u.repeated_from_s) + " s to " + one_decimal(u.repeated_to_s) +
           " s (a static, looping or slowly changing scene)";
  }
  std::string text = (a.segments.size() == 1 ? std::string("one segment")
                                             : std::to_string(a.segments.size()) + " segments") +
                     (a.edited ? ", the clip is edited: " : ": ");
  for (std::size_t i = 0; i < a.segments.size(); ++i) {
    text += (i == 0 ? "" : ", ") + segment_place(a.segments[i], i == 0);
  }
  return text;
}
