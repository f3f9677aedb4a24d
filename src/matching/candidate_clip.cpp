// Keeps of each candidate frame only what alignment needs once its views
// were asked for, so a long clip costs a few bytes a frame. A frame equal
// to the one before it (a still stretch, or a frame the rate filter showed
// twice) costs a comparison of its bytes and no hash at all.

#include "matching/candidate_clip.h"

#include <algorithm>
#include <cstring>

Result<void> CandidateClip::add_frame(std::span<const std::uint8_t> rgba, std::size_t width,
                                      std::size_t height, double moment_s) {
  const auto frame = static_cast<std::uint32_t>(frames_.size());
  const bool repeat = !pending_.empty() && last_frame_.size() == rgba.size() &&
                      std::memcmp(last_frame_.data(), rgba.data(), rgba.size()) == 0;
  if (repeat) {
    const bool low = frames_.back().low_quality;
    frames_.push_back({moment_s, low});
    low_quality_ += low;
    pending_.back().repeats.push_back(frame);
    return {};
  }
  auto made = views_.views_of(rgba, width, height);
  if (!made) return fail(made.error());
  last_frame_.assign(rgba.begin(), rgba.end());
  frames_.push_back({moment_s, made->low_quality});
  low_quality_ += made->low_quality;
  pending_.push_back({frame, std::move(made->views), {}});
  return {};
}

bool CandidateClip::asked_first(const PendingFrame& f, const View& view,
                                std::span<const View> active) const {
  return view == View{} || f.frame % stride_ == 0 ||
         std::find(active.begin(), active.end(), view) != active.end();
}

QueryBatch CandidateClip::first_queries(std::span<const View> active) const {
  QueryBatch batch;
  for (const PendingFrame& f : pending_) {
    for (const FrameView& v : f.views) {
      if (!asked_first(f, v.view, active)) continue;
      batch.hashes.push_back(v.hash);
      batch.origins.push_back({f.frame, v.view});
    }
  }
  return batch;
}

QueryBatch CandidateClip::followup_queries(std::span<const View> active,
                                           std::span<const View> found) const {
  QueryBatch batch;
  for (const PendingFrame& f : pending_) {
    for (const FrameView& v : f.views) {
      if (asked_first(f, v.view, active)) continue;
      if (std::find(found.begin(), found.end(), v.view) == found.end()) continue;
      batch.hashes.push_back(v.hash);
      batch.origins.push_back({f.frame, v.view});
    }
  }
  return batch;
}

void CandidateClip::drop_views() {
  pending_.clear();
  last_frame_.clear();
}

void CandidateClip::add_votes(const QueryBatch& batch, std::span<const QueryHit> hits,
                              std::vector<Vote>& votes) const {
  const std::uint32_t first = pending_.empty() ? 0 : pending_.front().frame;
  for (const QueryHit& h : hits) {
    const QueryOrigin& o = batch.origins[h.query];
    const Vote vote{o.frame, h.first, h.last, static_cast<int>(h.distance), o.view};
    votes.push_back(vote);
    // The pending frames are in the order they were added.
    const PendingFrame* source = nullptr;
    if (!pending_.empty() && o.frame >= first) {
      auto it = std::lower_bound(pending_.begin(), pending_.end(), o.frame,
                                 [](const PendingFrame& f, std::uint32_t n) { return f.frame < n; });
      if (it != pending_.end() && it->frame == o.frame) source = &*it;
    }
    if (!source) continue;
    for (std::uint32_t repeat : source->repeats) {
      votes.push_back({repeat, vote.first, vote.last, vote.distance, vote.view});
    }
  }
}

std::vector<View> views_found(const QueryBatch& batch, std::span<const QueryHit> hits) {
  std::vector<View> found;
  for (const QueryHit& h : hits) {
    const View& view = batch.origins[h.query].view;
    if (std::find(found.begin(), found.end(), view) == found.end()) found.push_back(view);
  }
  return found;
}
