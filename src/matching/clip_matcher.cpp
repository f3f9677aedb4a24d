// Queries are searched in batches of frames, which the exact search serves
// far faster than one frame at a time, and dropped after: memory grows with
// the votes only. A frame none of whose views came within the distance is
// compared, as it is, with every signed hash, so the report can say how near
// an unrelated clip came.

#include "matching/clip_matcher.h"

#include <algorithm>
#include <cmath>

namespace {

constexpr std::size_t kBatchFrames = 64;

}  // namespace

std::uint32_t view_stride(double candidate_fps, double signed_fps) {
  return static_cast<std::uint32_t>(std::max(1.0, std::floor(candidate_fps / (2 * signed_fps))));
}

ClipMatcher::ClipMatcher(std::vector<PackedHash> signed_hashes, double signed_fps,
                         double candidate_fps, int max_distance)
    : signed_(std::move(signed_hashes)),
      clock_{signed_fps, static_cast<std::uint32_t>(signed_.size())},
      max_distance_(max_distance),
      search_(signed_),
      clip_(view_stride(candidate_fps, signed_fps)) {}

Result<void> ClipMatcher::add_frame(std::span<const std::uint8_t> rgba, std::size_t width,
                                    std::size_t height, double moment_s) {
  if (auto added = clip_.add_frame(rgba, width, height, moment_s); !added) return added;
  if (frames() % kBatchFrames == 0) search_queued();
  return {};
}

std::vector<QueryHit> ClipMatcher::search(const QueryBatch& batch) {
  std::vector<QueryHit> hits = search_.search(batch.hashes, max_distance_);
  clip_.add_votes(batch, hits, votes_);
  return hits;
}

void ClipMatcher::search_queued() {
  const QueryBatch first = clip_.first_queries(active_);
  const std::vector<QueryHit> hits = search(first);
  active_ = views_found(first, hits);
  const QueryBatch followup = clip_.followup_queries({}, active_);
  if (!followup.hashes.empty()) search(followup);
  note_nearest(first, hits);
  clip_.drop_views();
}

// A frame as it is, when none of its views came within the distance.
void ClipMatcher::note_nearest(const QueryBatch& batch, std::span<const QueryHit> hits) {
  std::vector<std::uint32_t> voted;
  for (const QueryHit& h : hits) voted.push_back(batch.origins[h.query].frame);
  std::sort(voted.begin(), voted.end());
  for (std::size_t q = 0; q < batch.origins.size(); ++q) {
    const QueryOrigin& o = batch.origins[q];
    if (o.view != View{} || std::binary_search(voted.begin(), voted.end(), o.frame)) continue;
    const int distance = find_nearest(batch.hashes[q], signed_).distance;
    nearest_ = std::min(nearest_.value_or(distance), distance);
  }
}

Result<Alignment> ClipMatcher::align() {
  search_queued();
  auto alignment = align_votes(clock_, clip_.frames(), votes_);
  if (!alignment) return alignment;
  if (nearest_ && (!alignment->nearest_distance || *nearest_ < *alignment->nearest_distance)) {
    alignment->nearest_distance = nearest_;
  }
  return alignment;
}
