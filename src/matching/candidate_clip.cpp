// Keeps of each candidate frame only what alignment needs, so a long clip
// costs a few bytes per frame once its queries were searched.

#include "matching/candidate_clip.h"

Result<void> CandidateClip::add_frame(std::span<const std::uint8_t> rgba, std::size_t width,
                                      std::size_t height, double moment_s) {
  auto made = views_.views_of(rgba, width, height);
  if (!made) return fail(made.error());
  const auto frame = static_cast<std::uint32_t>(frames_.size());
  frames_.push_back({moment_s, made->low_quality});
  low_quality_ += made->low_quality;
  for (const FrameView& v : made->views) {
    queries_.push_back(v.hash);
    origins_.push_back({frame, v.view});
  }
  return {};
}

void CandidateClip::clear_queries() {
  queries_.clear();
  origins_.clear();
}

void add_votes(std::span<const QueryHit> hits, std::span<const QueryOrigin> origins,
               std::vector<Vote>& votes) {
  for (const QueryHit& h : hits) {
    const QueryOrigin& o = origins[h.query];
    votes.push_back({o.frame, h.first, h.last, static_cast<int>(h.distance), o.view});
  }
}
