#pragma once
// A candidate clip as the searches see it: each sampled frame's moment and
// quality, and the hashes of its views, queued as queries until they are
// searched; the hits found for them become the aligner's votes.

#include <cstdint>
#include <span>
#include <vector>

#include "index/segment_search.h"
#include "matching/aligner.h"
#include "matching/candidate_views.h"
#include "result.h"

/// Which frame and view a queued query hash stands for.
struct QueryOrigin {
  std::uint32_t frame = 0;
  View view;
};

class CandidateClip {
 public:
  /// Adds the clip's next frame (RGBA, width x height), shown at `moment_s`.
  Result<void> add_frame(std::span<const std::uint8_t> rgba, std::size_t width,
                         std::size_t height, double moment_s);
  /// The queries not searched yet, and where each comes from.
  std::span<const PackedHash> queries() const { return queries_; }
  std::span<const QueryOrigin> origins() const { return origins_; }
  /// Drops the queued queries once they were searched.
  void clear_queries();

  std::span<const CandidateFrame> frames() const { return frames_; }
  std::uint64_t low_quality_frames() const { return low_quality_; }

 private:
  ViewMaker views_;
  std::vector<PackedHash> queries_;
  std::vector<QueryOrigin> origins_;
  std::vector<CandidateFrame> frames_;
  std::uint64_t low_quality_ = 0;
};

/// Appends the votes of `hits`, found for queries from `origins`.
void add_votes(std::span<const QueryHit> hits, std::span<const QueryOrigin> origins,
               std::vector<Vote>& votes);
