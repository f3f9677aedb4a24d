#pragma once
// A candidate clip as the searches see it: each sampled frame's moment and
// quality, and the hashes of its views, kept until they were asked for. A
// clip is sampled at about its own frame rate, so asking every view of every
// frame would cost sixteen lookups a frame: the frame as it is is asked
// for on every frame, every view on a few frames per signed interval, and a
// view that found something on those is then asked for on every frame.

#include <cstdint>
#include <span>
#include <vector>

#include "index/segment_search.h"
#include "matching/aligner.h"
#include "matching/candidate_views.h"
#include "result.h"

/// Which frame and view a query hash stands for.
struct QueryOrigin {
  std::uint32_t frame = 0;
  View view;
};

/// A batch of queries and where each comes from.
struct QueryBatch {
  std::vector<PackedHash> hashes;
  std::vector<QueryOrigin> origins;
};

class CandidateClip {
 public:
  /// Every view is asked for on each `stride`-th frame.
  explicit CandidateClip(std::uint32_t stride) : stride_(stride == 0 ? 1 : stride) {}

  /// Adds the clip's next frame (RGBA, width x height), shown at `moment_s`.
  /// A frame equal to the one before it is not hashed again: it gets the
  /// same votes.
  Result<void> add_frame(std::span<const std::uint8_t> rgba, std::size_t width,
                         std::size_t height, double moment_s);

  /// The queries to ask first for the frames added since the last drop: each
  /// frame as it is, every view of every stride frame, and the views in
  /// `active` of every frame.
  QueryBatch first_queries(std::span<const View> active) const;
  /// The views in `found` of the frames that first_queries(`active`) did not
  /// ask them for.
  QueryBatch followup_queries(std::span<const View> active, std::span<const View> found) const;
  /// Drops the views of the frames added so far, once they were asked for.
  void drop_views();

  /// The votes of `hits` found for `batch`'s queries, repeated for frames
  /// equal to the frame they were found for.
  void add_votes(const QueryBatch& batch, std::span<const QueryHit> hits,
                 std::vector<Vote>& votes) const;

  std::span<const CandidateFrame> frames() const { return frames_; }
  std::uint64_t low_quality_frames() const { return low_quality_; }

 private:
  struct PendingFrame {
    std::uint32_t frame = 0;
    std::vector<FrameView> views;
    std::vector<std::uint32_t> repeats;  // later frames equal to this one
  };
  bool asked_first(const PendingFrame& f, const View& view, std::span<const View> active) const;

  std::uint32_t stride_;
  ViewMaker views_;
  std::vector<PendingFrame> pending_;
  std::vector<CandidateFrame> frames_;
  std::vector<std::uint8_t> last_frame_;
  std::uint64_t low_quality_ = 0;
};

/// The views among `origins` that `hits` found something for.
std::vector<View> views_found(const QueryBatch& batch, std::span<const QueryHit> hits);
