// Queries are searched in batches of frames, which the exact search serves
// far faster than one frame at a time, and dropped after: memory grows with
// the votes only. A frame none of whose views came within the distance is
// compared, as it is, with every signed hash, so the report can say how near
// an unrelated clip came.

#include "matching/clip_matcher.h"

#include <algorithm>

namespace {

constexpr std::size_t kBatchFrames = 64;

}  // namespace

ClipMatcher::ClipMatcher(std::vector<PackedHash> signed_hashes, double signed_fps,
                         int max_distance)
    : signed_(std::move(signed_hashes)),
      clock_{signed_fps, static_cast<std::uint32_t>(signed_.size())},
      max_distance_(max_distance),
      search_(signed_) {}

Result<void> ClipMatcher::add_frame(std::span<const std::uint8_t> rgba, std::size_t width,
                                    std::size_t height, double moment_s) {
  if (auto added = clip_.add_frame(rgba, width, height, moment_s); !added) return added;
  if (frames() % kBatchFrames == 0) search_queued();
  return {};
}

void ClipMatcher::search_queued() {
  const std::span<const QueryOrigin> origins = clip_.origins();
  if (origins.empty()) return;
  const std::vector<QueryHit> hits = search_.search(clip_.queries(), max_distance_);
  add_votes(hits, origins, votes_);
  // The queued frames are the last ones added, in order.
  const std::uint32_t first = origins.front().frame;
  std::vector<bool> voted(origins.back().frame - first + 1, false);
  for (const QueryHit& h : hits) voted[origins[h.query].frame - first] = true;
  for (std::size_t q = 0; q < origins.size(); ++q) {
    const QueryOrigin& o = origins[q];
    if (voted[o.frame - first] || o.view != View{}) continue;
    const int distance = find_nearest(clip_.queries()[q], signed_).distance;
    nearest_ = std::min(nearest_.value_or(distance), distance);
  }
  clip_.clear_queries();
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
