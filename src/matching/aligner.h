#pragma once
// Places a candidate clip inside one signed recording from the votes its
// frames cast for the recording's signed hashes: the stretches of the clip
// that follow one line (recording time = offset + tempo x clip time), each
// with the view that matched and how firmly its position is pinned.

#include <cstdint>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

#include <pdq/pdq.h>

#include "result.h"
#include "sampling/frame_sampler.h"

/// The operation that turns the recording's picture into the candidate's:
/// one of the square's eight symmetries, named by pdq::dihedral_name.
using Transform = pdq::Dihedral;

/// The bars the candidate put around the recording's picture.
enum class Box : std::uint8_t { None, Letterbox, Pillarbox };

/// "none", "letterbox" or "pillarbox".
std::string_view box_word(Box box);

/// Which of a candidate frame's hashes matched: the variant and the area.
struct View {
  Transform transform = Transform::None;
  Box box = Box::None;
  bool operator==(const View&) const = default;
};

/// The moment, in seconds, that sample `index` of a stream sampled at `fps`
/// shows: ffmpeg's fps filter keeps for each tick the last frame before
/// about (index + 1/2) / fps, so the middle of the sample's interval.
double sample_moment(std::uint64_t index, double fps);

/// The moment candidate frame `index` of `format` shows: 0 for a still.
double candidate_moment(const FrameFormat& format, std::uint64_t index);

/// The recording's signed samples: `count` hashes taken at `fps`.
struct RecordingClock {
  double fps = 2.0;
  std::uint32_t count = 0;
};

struct CandidateFrame {
  double moment_s = 0;       // increasing from frame to frame
  bool low_quality = false;  // blank or uniform: casts no votes, neither matched nor not
};

/// The signed samples first..last (inclusive, consecutive) lie within the
/// match distance of one of `frame`'s views.
struct Vote {
  std::uint32_t frame = 0;
  std::uint32_t first = 0;
  std::uint32_t last = 0;
  int distance = 0;  // the smallest over the run
  View view;
};

/// Where a segment whose matched hashes repeat (a static scene, a loop)
/// could start: every start in between fits as well as the others.
struct UndeterminedStart {
  double recording_start_min_s = 0;  // the earliest and latest start that
  double recording_start_max_s = 0;  // fit, both within the recording
  double repeated_from_s = 0;        // the stretch of the recording that the
  double repeated_to_s = 0;          // matched hashes cover
};

/// A stretch of the candidate that follows one line through the recording.
struct Segment {
  double candidate_start_s = 0;  // edges of its first and last frame's intervals
  double candidate_end_s = 0;
  double tempo = 1.0;  // recording seconds per candidate second
  View view;
  std::optional<double> recording_start_s;        // the line at the candidate's edges,
  std::optional<double> recording_end_s;          // when its offset is pinned
  std::optional<UndeterminedStart> undetermined;  // when it is not
  bool between_samples = false;                   // a still that lies between two signed moments
  std::uint64_t frames = 0;  // signed samples in its span compared with a candidate frame
  std::uint64_t matched_frames = 0;
  std::optional<double> avg_distance;  // over the matched comparisons
};

struct Alignment {
  std::vector<Segment> segments;  // in candidate order
  std::uint64_t matched_frames = 0;
  std::uint64_t total_query_frames = 0;  // comparisons, plus one per signed interval elsewhere
  std::optional<double> avg_distance;
  std::optional<double> offset_seconds;  // the first segment's line at candidate time 0
  bool edited = false;                   // several segments, or foreign material inside one
  std::optional<int> nearest_distance;   // the smallest distance of any vote
};

/// The candidate's segments in the recording, in candidate order; a
/// candidate of one frame (a still) gets one segment at its best vote. The
/// votes may come in any order. Fails on inputs that contradict each other:
/// a rate that is not positive, moments that do not increase, a distance
/// outside 0..256, or a vote for a frame, a sample or a view that does not
/// exist.
Result<Alignment> align_votes(const RecordingClock& clock, std::span<const CandidateFrame> frames,
                              std::span<const Vote> votes);
