#pragma once
// Compares a candidate clip with one recording's signed hashes as its frames
// are sampled: each frame's views ask the exact search for every signed hash
// within the distance, the hits become votes, and the votes are aligned into
// segments once the clip has ended. No frame is kept, only its votes.

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "index/recording_search.h"
#include "matching/aligner.h"
#include "matching/candidate_clip.h"
#include "result.h"

/// How many candidate frames apart every view of a frame is asked for: two
/// such frames per signed interval.
std::uint32_t view_stride(double candidate_fps, double signed_fps);

class ClipMatcher {
 public:
  /// `signed_hashes` were taken at `signed_fps`; a vote needs a distance of
  /// at most `max_distance` bits.
  ClipMatcher(std::vector<PackedHash> signed_hashes, double signed_fps, double candidate_fps,
              int max_distance);

  /// The clip's next frame (RGBA, width x height), shown at `moment_s`.
  Result<void> add_frame(std::span<const std::uint8_t> rgba, std::size_t width,
                         std::size_t height, double moment_s);
  std::uint64_t frames() const { return clip_.frames().size(); }
  std::uint64_t low_quality_frames() const { return clip_.low_quality_frames(); }
  /// The clip's segments in the recording. Its nearest distance also counts
  /// frames that came within no distance of the signed hashes.
  Result<Alignment> align();

 private:
  void search_queued();
  std::vector<QueryHit> search(const QueryBatch& batch);
  void note_nearest(const QueryBatch& batch, std::span<const QueryHit> hits);

  std::vector<PackedHash> signed_;
  RecordingClock clock_;
  int max_distance_;
  RecordingSearch search_;
  CandidateClip clip_;
  std::vector<Vote> votes_;
  std::vector<View> active_;  // views that found something in the last batch
  std::optional<int> nearest_;
};
