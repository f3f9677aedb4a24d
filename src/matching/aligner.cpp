// Aligns a candidate with one recording. Windows of four seconds propose
// lines (a tempo from a grid, the offset most frames' votes allow); the
// strongest grows frame by frame, refitted by least squares, until seconds
// pass without a hit; its frames are taken and the next grows from the rest.
// A vote is an interval, so a static scene's run of thousands of samples
// costs what one sample costs. V votes cost O(V log V) to bucket, propose
// (times the 9 tempos at most; repeated content is thinned and tries 1
// only), grow and place; memory is O(V + frames), nothing per signed sample.

#include "matching/aligner.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstddef>
#include <string>
#include <tuple>
#include <utility>

namespace {

constexpr int kBoxCount = 3;

// Windows short enough that a tempo halfway between two grid steps strays
// at most 0.2 s from the true one at a window's ends: well inside the
// signed interval a hit may stray, and the growing fit finds the rest.
constexpr double kWindowSeconds = 4.0;
constexpr double kWindowStepSeconds = 2.0;
constexpr double kTempoGridStep = 1.2;
constexpr double kMinTempo = 0.5;
constexpr double kMaxTempo = 2.0;
// Frames with more runs than this in one view show repeated content.
constexpr std::size_t kTellingReaches = 4;
// Heavily repeated content (a loop's hundreds of instances per frame) is
// thinned to about this many runs per proposal and per placement.
constexpr std::size_t kMaxSeedReaches = 2048;
constexpr std::size_t kMaxPlacementReaches = std::size_t{1} << 16;
// Three frames on one line within seconds do not happen by chance among a
// few spurious votes scattered over thousands of samples.
constexpr int kMinSeedFrames = 3;
// A segment needs three matched signed samples and a second of candidate,
// so a flash of similar content or a coincidence never becomes one.
constexpr std::uint64_t kMinMatchedSamples = 3;
constexpr double kMinSpanSeconds = 1.0;
// Unmatched frames up to this long (an occlusion, a badly encoded stretch)
// leave a segment whole; the comparisons still count them as misses.
constexpr double kMaxGapSeconds = 3.0;
// Longer runs say only where a line may pass, not where it passes.
constexpr std::uint32_t kInformativeRun = 4;
constexpr double kMinTempoSpanSeconds = 2.0;
// Tempo 1 stands when its line, through the hits' centroid, stays within a
// quarter of a signed interval of the fitted one at both ends.
constexpr double kTempoSnapIntervals = 0.5;
// Offsets that fit all but one in twenty of the best offset's frames fit
// as well: a few missed votes must not narrow a repeated scene's range.
constexpr int kCoverSlackDivisor = 20;
// Votes of neighbouring frames this close (in samples) show one content.
constexpr std::uint32_t kEchoSamples = 2;
// More consecutive unmatched signed samples than this is foreign material.
constexpr int kMaxUnmatchedRun = 2;
// A still's votes this close to its best reach the samples it resembles.
constexpr int kStillMarginBits = 4;

int view_index(View v) {
  return static_cast<int>(v.transform) * kBoxCount + static_cast<int>(v.box);
}

View view_of(int index) {
  return {static_cast<Transform>(index / kBoxCount), static_cast<Box>(index % kBoxCount)};
}

struct Line {
  double offset = 0;
  double tempo = 1;
  double at(double c) const { return offset + tempo * c; }
  double candidate_time(double r) const { return (r - offset) / tempo; }
};

struct Context {
  double fps = 0;
  std::uint32_t count = 0;
  std::span<const CandidateFrame> frames;
  std::vector<double> edges;        // frame k covers [edges[k], edges[k + 1])
  std::vector<Vote> votes;          // by frame, view, first sample
  std::vector<std::size_t> starts;  // frame k's votes: [starts[k], starts[k + 1])
  std::vector<double> tempos;       // 1 first, then ever further from it

  std::size_t size() const { return frames.size(); }
  double moment(std::size_t k) const { return frames[k].moment_s; }
  double interval() const { return 1.0 / fps; }
  double end_s() const { return count / fps; }
  double signed_moment(std::uint64_t j) const { return sample_moment(j, fps); }
  std::span<const Vote> votes_of(std::size_t k) const {
    return std::span(votes).subspan(starts[k], starts[k + 1] - starts[k]);
  }
  std::span<const Vote> votes_of(std::size_t k, int view) const {
    const auto all = votes_of(k);
    const auto lo = std::partition_point(all.begin(), all.end(),
                                         [&](const Vote& v) { return view_index(v.view) < view; });
    const auto hi = std::partition_point(lo, all.end(),
                                         [&](const Vote& v) { return view_index(v.view) == view; });
    return {lo, hi};
  }
};

Result<void> check_inputs(const RecordingClock& clock, std::span<const CandidateFrame> frames,
                          std::span<const Vote> votes) {
  if (!(clock.fps > 0) || !std::isfinite(clock.fps)) {
    return fail("the signed rate must be a positive number of frames per second");
  }
  for (std::size_t k = 0; k < frames.size(); ++k) {
    const double m = frames[k].moment_s;
    if (!std::isfinite(m) || (k > 0 && !(m > frames[k - 1].moment_s))) {
      return fail("candidate frame moments must increase: frame " + std::to_string(k));
    }
  }
  for (const Vote& v : votes) {
    if (v.distance < 0 || v.distance > 256) {
      return fail("vote distance must be 0 to 256 bits: " + std::to_string(v.distance));
    }
    if (v.frame >= frames.size() || v.first > v.last || v.last >= clock.count ||
        static_cast<std::size_t>(v.view.transform) >= pdq::kDihedralCount ||
        static_cast<int>(v.view.box) >= kBoxCount) {
      return fail("vote of candidate frame " + std::to_string(v.frame) + " for signed samples " +
                  std::to_string(v.first) + " to " + std::to_string(v.last) +
                  " does not fit a candidate of " + std::to_string(frames.size()) +
                  " frames and a recording of " + std::to_string(clock.count) + " samples");
    }
  }
  return {};
}

// Each frame's interval reaches halfway to its neighbours; the outer edges
// mirror the inner ones, so frames sampled at (k + 1/2) / rate tile [0, end).
std::vector<double> interval_edges(std::span<const CandidateFrame> frames) {
  const std::size_t n = frames.size();
  if (n == 1) return {frames[0].moment_s, frames[0].moment_s};
  std::vector<double> edges(n + 1);
  for (std::size_t k = 1; k < n; ++k) edges[k] = (frames[k - 1].moment_s + frames[k].moment_s) / 2;
  edges[0] = frames[0].moment_s - (edges[1] - frames[0].moment_s);
  edges[n] = frames[n - 1].moment_s + (frames[n - 1].moment_s - edges[n - 1]);
  return edges;
}

std::vector<double> tempo_grid() {
  std::vector<double> grid{1.0};
  for (double up = kTempoGridStep; up < kMaxTempo || 1 / up > kMinTempo; up *= kTempoGridStep) {
    if (up < kMaxTempo) grid.push_back(up);
    if (1 / up > kMinTempo) grid.push_back(1 / up);
  }
  grid.push_back(kMaxTempo);
  grid.push_back(kMinTempo);
  return grid;
}

// Votes are bucketed by frame in one pass, then each frame's few ordered by
// view and sample: cheaper than one sort of them all.
Context make_context(const RecordingClock& clock, std::span<const CandidateFrame> frames,
                     std::span<const Vote> votes) {
  Context ctx{clock.fps,
              clock.count,
              frames,
              interval_edges(frames),
              std::vector<Vote>(votes.size()),
              std::vector<std::size_t>(frames.size() + 1, 0),
              tempo_grid()};
  for (const Vote& v : votes) ++ctx.starts[v.frame + 1];
  for (std::size_t k = 0; k < frames.size(); ++k) ctx.starts[k + 1] += ctx.starts[k];
  std::vector<std::size_t> next(ctx.starts.begin(), ctx.starts.end() - 1);
  for (const Vote& v : votes) ctx.votes[next[v.frame]++] = v;
  auto before = [](const Vote& a, const Vote& b) {
    return std::tuple(view_index(a.view), a.first, a.last, a.distance) <
           std::tuple(view_index(b.view), b.first, b.last, b.distance);
  };
  for (std::size_t k = 0; k < frames.size(); ++k) {
    const auto begin = ctx.votes.begin() + static_cast<std::ptrdiff_t>(ctx.starts[k]);
    const auto end = ctx.votes.begin() + static_cast<std::ptrdiff_t>(ctx.starts[k + 1]);
    if (!std::is_sorted(begin, end, before)) std::sort(begin, end, before);
  }
  return ctx;
}

// Where one frame's votes of one view let a line pass, in recording seconds.
struct Reach {
  double moment;  // the frame's, in the candidate
  double lo, hi;
};

// Each run widened by `pad` on both sides and merged, so a frame counts once
// wherever its runs overlap.
void add_reaches(const Context& ctx, std::size_t k, int view, double pad, std::vector<Reach>& out) {
  const std::size_t begin = out.size();
  for (const Vote& v : ctx.votes_of(k, view)) {
    const double lo = ctx.signed_moment(v.first) - pad, hi = ctx.signed_moment(v.last) + pad;
    if (out.size() > begin && lo <= out.back().hi) {
      out.back().hi = std::max(out.back().hi, hi);
    } else {
      out.push_back({ctx.moment(k), lo, hi});
    }
  }
}

// A stretch of line positions that the same number of frames allow.
struct Piece {
  double lo, hi;
  int count;
};

// Scratch space that the sweeps of one window or segment reuse.
struct Sweep {
  std::vector<std::pair<double, int>> events;  // (position, 0 opens, 1 closes)
  std::vector<Piece> pieces;
};

// How many frames allow each position of a line of `tempo` at candidate
// time `pivot`, as the pieces where that number is constant and above zero.
const std::vector<Piece>& cover(std::span<const Reach> reaches, double tempo, double pivot,
                                Sweep& sweep) {
  auto& events = sweep.events;
  events.clear();
  for (const Reach& r : reaches) {
    const double shift = tempo * (r.moment - pivot);
    events.emplace_back(r.lo - shift, 0);
    events.emplace_back(r.hi - shift, 1);
  }
  std::sort(events.begin(), events.end());
  sweep.pieces.clear();
  int count = 0;
  for (std::size_t i = 0; i < events.size(); ++i) {
    count += events[i].second == 0 ? 1 : -1;
    if (count > 0 && i + 1 < events.size() && events[i + 1].first > events[i].first) {
      sweep.pieces.push_back({events[i].first, events[i + 1].first, count});
    }
  }
  return sweep.pieces;
}

// The first of the most allowed pieces; count 0 when there is none.
Piece highest(std::span<const Piece> pieces) {
  Piece best{0, 0, 0};
  for (const Piece& p : pieces) {
    if (p.count > best.count) best = p;
  }
  return best;
}

struct Window {
  std::size_t begin, end;  // frames
};

std::vector<Window> windows_of(const Context& ctx) {
  std::vector<Window> out;
  std::size_t begin = 0, end = 0;
  for (double t = ctx.edges[0]; begin < ctx.size(); t += kWindowStepSeconds) {
    while (begin < ctx.size() && ctx.moment(begin) < t) ++begin;
    if (begin == ctx.size()) break;
    // A hole in the candidate's frames is stepped over, not walked through.
    if (ctx.moment(begin) >= t + kWindowSeconds) t = ctx.moment(begin);
    while (end < ctx.size() && ctx.moment(end) < t + kWindowSeconds) ++end;
    out.push_back({begin, end});
  }
  return out;
}

// The longest run of frames of `w` that no segment has taken.
Window free_part(Window w, const std::vector<bool>& taken) {
  Window best{w.begin, w.begin};
  for (std::size_t k = w.begin; k < w.end;) {
    if (taken[k]) {
      ++k;
      continue;
    }
    std::size_t e = k;
    while (e < w.end && !taken[e]) ++e;
    if (e - k > best.end - best.begin) best = {k, e};
    k = e;
  }
  return best;
}

struct Seed {
  Window window;
  int view = 0;
  Line line;
  int support = 0;  // frames of the window on the line
};

std::uint32_t views_voting(const Context& ctx, Window w) {
  std::uint32_t mask = 0;
  for (std::size_t k = w.begin; k < w.end; ++k) {
    for (const Vote& v : ctx.votes_of(k)) mask |= std::uint32_t{1} << view_index(v.view);
  }
  return mask;
}

// One view's reaches in a window: every frame's, and apart those of frames
// with few runs, the only ones that tell a tempo (a loop's hundreds of runs
// fit every tempo about as well). A window of heavily repeated content is
// thinned to every few frames, which still finds its line.
struct WindowReaches {
  std::vector<Reach> all, telling;
  int frames = 0, telling_frames = 0;
  int stride = 1;
};

WindowReaches window_reaches(const Context& ctx, Window w, int view) {
  std::size_t votes = 0;
  for (std::size_t k = w.begin; k < w.end; ++k) votes += ctx.votes_of(k, view).size();
  WindowReaches r;
  r.stride = static_cast<int>(1 + votes / kMaxSeedReaches);
  for (std::size_t k = w.begin; k < w.end; k += static_cast<std::size_t>(r.stride)) {
    const std::size_t before = r.all.size();
    add_reaches(ctx, k, view, ctx.interval(), r.all);
    const std::size_t added = r.all.size() - before;
    if (added == 0) continue;
    ++r.frames;
    if (added > kTellingReaches) continue;
    r.telling.insert(r.telling.end(), r.all.end() - static_cast<std::ptrdiff_t>(added),
                     r.all.end());
    ++r.telling_frames;
  }
  return r;
}

// The line through most of the window's frames, over every view and tempo;
// on a tie the earlier view and the tempo nearer 1 win.
std::optional<Seed> window_seed(const Context& ctx, Window whole, const std::vector<bool>& taken) {
  const Window w = free_part(whole, taken);
  if (w.begin == w.end) return std::nullopt;
  const double pivot = (ctx.moment(w.begin) + ctx.moment(w.end - 1)) / 2;
  std::optional<Seed> best;
  Sweep sweep;
  const std::uint32_t mask = views_voting(ctx, w);
  for (int view = 0; view < 32; ++view) {
    if (!(mask >> view & 1)) continue;
    const WindowReaches r = window_reaches(ctx, w, view);
    auto consider = [&](std::span<const Reach> reaches, double tempo) {
      const Piece peak = highest(cover(reaches, tempo, pivot, sweep));
      const Line line{(peak.lo + peak.hi) / 2 - tempo * pivot, tempo};
      if (!best || peak.count * r.stride > best->support) {
        best = Seed{w, view, line, peak.count * r.stride};
      }
      return peak.count;
    };
    if (r.frames * r.stride <= (best ? best->support : 0)) continue;
    if (consider(r.all, 1.0) == r.frames) continue;  // no tempo passes through more
    if (r.telling_frames * r.stride <= best->support) continue;
    for (std::size_t t = 1; t < ctx.tempos.size(); ++t) {
      if (consider(r.telling, ctx.tempos[t]) == r.telling_frames) break;
    }
  }
  if (!best || best->support < kMinSeedFrames) return std::nullopt;
  return best;
}

// A frame's vote on a line: the point of the vote's run nearest the line.
struct Hit {
  double moment;  // the line's, in the recording
  std::uint32_t sample;
  bool informative;
};

std::optional<Hit> hit_on_line(const Context& ctx, std::size_t k, int view, const Line& line) {
  const double predicted = line.at(ctx.moment(k));
  std::optional<Hit> best;
  double best_gap = ctx.interval();  // a signed interval of jitter
  for (const Vote& v : ctx.votes_of(k, view)) {
    const double r = std::clamp(predicted, ctx.signed_moment(v.first), ctx.signed_moment(v.last));
    const double gap = std::abs(predicted - r);
    if (gap > best_gap || (best && gap == best_gap)) continue;
    const double nearest = std::round(r * ctx.fps - 0.5);
    const auto sample = static_cast<std::uint32_t>(
        std::clamp(nearest, static_cast<double>(v.first), static_cast<double>(v.last)));
    best = Hit{r, sample, v.last - v.first < kInformativeRun};
    best_gap = gap;
  }
  return best;
}

// Least squares over the informative hits, about the first one's moment so
// long candidates lose no precision; the tempo is held at the given line's
// until the hits span long enough to tell it.
class LineFit {
 public:
  void add(double c, double r) {
    if (n_ == 0) origin_ = c;
    c -= origin_;
    ++n_;
    sc_ += c, sr_ += r, scc_ += c * c, scr_ += c * r;
    lo_ = std::min(lo_, c), hi_ = std::max(hi_, c);
  }
  double span() const { return n_ == 0 ? 0 : hi_ - lo_; }
  std::optional<double> centroid() const {
    if (n_ == 0) return std::nullopt;
    return origin_ + sc_ / n_;
  }
  Line solve(const Line& held) const {
    if (n_ == 0) return held;
    double tempo = held.tempo;
    const double den = n_ * scc_ - sc_ * sc_;
    if (n_ >= 3 && span() >= kMinTempoSpanSeconds && den > 0) {
      tempo = std::clamp((n_ * scr_ - sc_ * sr_) / den, kMinTempo, kMaxTempo);
    }
    return {sr_ / n_ - tempo * (sc_ / n_ + origin_), tempo};
  }

 private:
  double n_ = 0, origin_ = 0, sc_ = 0, sr_ = 0, scc_ = 0, scr_ = 0;
  double lo_ = INFINITY, hi_ = -INFINITY;
};

struct Grown {
  int view;
  Line line;
  std::size_t first, last;  // frames with a hit
};

void add_hit(const Context& ctx, LineFit& fit, std::size_t k, const Hit& hit) {
  if (hit.informative) fit.add(ctx.moment(k), hit.moment);
}

// Follows the line away from the segment, one frame at a time, refitting at
// each hit, until more than kMaxGapSeconds of candidate pass without one.
void extend(const Context& ctx, Grown& g, LineFit& fit, const std::vector<bool>& taken, int step) {
  double gap = 0;
  // Stepping down from frame 0 wraps around and ends the walk.
  for (std::size_t k = (step > 0 ? g.last : g.first) + step; k < ctx.size() && !taken[k];
       k += step) {
    const auto hit = hit_on_line(ctx, k, g.view, g.line);
    if (!hit) {
      if (!ctx.frames[k].low_quality) gap += ctx.edges[k + 1] - ctx.edges[k];
      if (gap > kMaxGapSeconds) return;
      continue;
    }
    add_hit(ctx, fit, k, *hit);
    g.line = fit.solve(g.line);
    (step > 0 ? g.last : g.first) = k;
    gap = 0;
  }
}

std::optional<Grown> grow(const Context& ctx, const Seed& seed, const std::vector<bool>& taken) {
  LineFit fit;
  std::optional<Grown> g;
  for (std::size_t k = seed.window.begin; k < seed.window.end; ++k) {
    const auto hit = hit_on_line(ctx, k, seed.view, seed.line);
    if (!hit) continue;
    add_hit(ctx, fit, k, *hit);
    if (!g) g = Grown{seed.view, seed.line, k, k};
    g->last = k;
  }
  if (!g) return std::nullopt;
  g->line = fit.solve(seed.line);
  extend(ctx, *g, fit, taken, 1);
  extend(ctx, *g, fit, taken, -1);
  return g;
}

LineFit fit_hits(const Context& ctx, const Grown& g) {
  LineFit fit;
  for (std::size_t k = g.first; k <= g.last; ++k) {
    if (const auto hit = hit_on_line(ctx, k, g.view, g.line)) add_hit(ctx, fit, k, *hit);
  }
  return fit;
}

// Refits on all the segment's hits, holds tempo 1 when it places them as
// well (a plain copy must read 1, not 0.99), and ends the segment at hits.
void settle(const Context& ctx, Grown& g) {
  LineFit fit;
  for (int round = 0; round < 3; ++round) {
    fit = fit_hits(ctx, g);
    g.line = fit.solve(g.line);
  }
  if (std::abs(g.line.tempo - 1) * fit.span() <= kTempoSnapIntervals * ctx.interval()) {
    const double pivot = fit.centroid().value_or((ctx.moment(g.first) + ctx.moment(g.last)) / 2);
    g.line = {g.line.at(pivot) - pivot, 1.0};
  }
  while (g.first < g.last && !hit_on_line(ctx, g.first, g.view, g.line)) ++g.first;
  while (g.last > g.first && !hit_on_line(ctx, g.last, g.view, g.line)) --g.last;
}

// The offsets, at the segment's tempo, that fit nearly as many of its frames
// as the best: one narrow stretch when the matched hashes are distinct, a
// wide one or several when they repeat.
struct Placement {
  std::vector<Piece> pieces;
  double lo = 0, hi = 0;
};

// Heavily repeated content is thinned to every few frames and the last,
// which keeps the stretches of offsets and their ends.
Placement placement(const Context& ctx, const Grown& g) {
  std::size_t votes = 0;
  for (std::size_t k = g.first; k <= g.last; ++k) votes += ctx.votes_of(k, g.view).size();
  const std::size_t stride = 1 + votes / kMaxPlacementReaches;
  std::vector<Reach> reaches;
  for (std::size_t k = g.first; k <= g.last;
       k = k < g.last ? std::min(k + stride, g.last) : k + 1) {
    add_reaches(ctx, k, g.view, ctx.interval() / 2, reaches);  // each sample's own interval
  }
  Sweep sweep;
  const std::vector<Piece>& all = cover(reaches, g.line.tempo, 0, sweep);
  const int best = highest(all).count;
  Placement p;
  for (const Piece& piece : all) {
    if (piece.count >= best - best / kCoverSlackDivisor) p.pieces.push_back(piece);
  }
  if (p.pieces.empty()) return p;
  p.lo = p.pieces.front().lo;
  p.hi = p.pieces.back().hi;
  return p;
}

// Each reach spans its sample's own interval, so distinct hashes leave up
// to one interval of fitting offsets; a second admits frames that all sit
// between the same two samples (sampled at the signed rate, half off).
bool is_pinned(const Context& ctx, const Placement& p) { return p.hi - p.lo <= 2 * ctx.interval(); }

// The fitting offset nearest the middle of those that fit, so the segment's
// comparisons stay inside the recording. It moves the grown line by whole
// signed intervals, so the frames the line met stay those nearest the
// samples; the grown line stays when no such move lands on a fitting offset.
double central_offset(const Context& ctx, const Placement& p, double grown) {
  const double middle = (p.lo + p.hi) / 2;
  double best = grown;
  for (const Piece& piece : p.pieces) {
    const double steps = std::round((std::clamp(middle, piece.lo, piece.hi) - grown) * ctx.fps);
    for (const double step : {steps - 1, steps, steps + 1}) {
      const double offset = grown + step * ctx.interval();
      const bool fits = piece.lo <= offset && offset <= piece.hi;
      if (fits && std::abs(offset - middle) < std::abs(best - middle)) best = offset;
    }
  }
  return best;
}

// Whether a neighbouring frame votes within a couple of samples of one of
// frame k's votes: content, unlike an isolated spurious vote.
bool has_echoed_vote(const Context& ctx, std::size_t k) {
  for (const std::size_t n : {k - 1, k + 1}) {
    if (n >= ctx.size()) continue;
    for (const Vote& v : ctx.votes_of(k)) {
      for (const Vote& u : ctx.votes_of(n)) {
        if (u.first <= v.last + kEchoSamples && v.first <= u.last + kEchoSamples) return true;
      }
    }
  }
  return false;
}

// Ends the segment at hits, then takes in neighbours whose votes, if any,
// are noise while the line keeps them in the signed interval of the first
// or last matched sample: an excerpt covers its whole first and last
// interval. False when no hit is left.
bool fit_edges(const Context& ctx, Grown& g, const std::vector<bool>& taken) {
  auto hit = [&](std::size_t k) { return hit_on_line(ctx, k, g.view, g.line); };
  while (g.first < g.last && !hit(g.first)) ++g.first;
  while (g.last > g.first && !hit(g.last)) --g.last;
  if (!hit(g.first)) return false;
  const double from = hit(g.first)->sample * ctx.interval();
  const double to = (hit(g.last)->sample + 1.0) * ctx.interval();
  auto open = [&](std::size_t k) {
    return k < ctx.size() && !taken[k] && !has_echoed_vote(ctx, k);
  };
  while (open(g.first - 1) && g.line.at(ctx.moment(g.first - 1)) >= from) --g.first;
  while (open(g.last + 1) && g.line.at(ctx.moment(g.last + 1)) <= to) ++g.last;
  return true;
}

UndeterminedStart undetermined_start(const Context& ctx, const Grown& g, const Placement& p,
                                     double start_s, double end_s) {
  std::uint32_t from = ctx.count, to = 0;
  for (std::size_t k = g.first; k <= g.last; ++k) {
    const double shift = g.line.tempo * ctx.moment(k);
    for (const Vote& v : ctx.votes_of(k, g.view)) {
      if (v.first * ctx.interval() - shift > p.hi ||
          (v.last + 1.0) * ctx.interval() - shift < p.lo) {
        continue;
      }
      from = std::min(from, v.first);
      to = std::max(to, v.last);
    }
  }
  UndeterminedStart r{0, 0, from * ctx.interval(), (to + 1.0) * ctx.interval()};
  const double length = g.line.tempo * (end_s - start_s);
  r.recording_start_min_s =
      std::clamp(p.lo + g.line.tempo * start_s, r.repeated_from_s, ctx.end_s());
  r.recording_start_max_s =
      std::clamp(std::min(p.hi + g.line.tempo * start_s, r.repeated_to_s - length),
                 r.recording_start_min_s, ctx.end_s());
  return r;
}

// The smallest distance of a vote of frame k for sample j in the view.
std::optional<int> distance_at(const Context& ctx, std::size_t k, int view, std::uint64_t j) {
  std::optional<int> best;
  for (const Vote& v : ctx.votes_of(k, view)) {
    if (v.first <= j && j <= v.last && (!best || v.distance < *best)) best = v.distance;
  }
  return best;
}

struct Tally {
  std::uint64_t frames = 0, matched = 0, distance_sum = 0;
  bool foreign_inside = false;  // a long run of misses between two matches
};

// Each signed sample in the segment's span against the candidate frame
// nearest to where the line puts it.
Tally compare(const Context& ctx, const Grown& g) {
  const double from = g.line.at(ctx.edges[g.first]), to = g.line.at(ctx.edges[g.last + 1]);
  const double below = std::floor(from * ctx.fps - 0.5);
  std::uint64_t j =
      below > 0 ? static_cast<std::uint64_t>(std::min(below, static_cast<double>(ctx.count))) : 0;
  while (j < ctx.count && ctx.signed_moment(j) < from) ++j;
  Tally t;
  int misses = 0;
  for (std::size_t k = g.first; j < ctx.count && ctx.signed_moment(j) < to; ++j) {
    const double c = g.line.candidate_time(ctx.signed_moment(j));
    while (k < g.last && std::abs(ctx.moment(k + 1) - c) < std::abs(ctx.moment(k) - c)) ++k;
    if (ctx.frames[k].low_quality) continue;
    ++t.frames;
    const auto distance = distance_at(ctx, k, g.view, j);
    if (!distance) {
      ++misses;
      continue;
    }
    if (t.matched > 0 && misses > kMaxUnmatchedRun) t.foreign_inside = true;
    misses = 0;
    ++t.matched;
    t.distance_sum += static_cast<std::uint64_t>(*distance);
  }
  return t;
}

std::optional<double> mean(std::uint64_t sum, std::uint64_t count) {
  if (count == 0) return std::nullopt;
  return static_cast<double>(sum) / static_cast<double>(count);
}

struct Built {
  Segment segment;
  Tally tally;
  Line line;
  std::size_t first, last;
};

Segment describe(const Context& ctx, const Grown& g, const Placement& p, const Tally& t) {
  Segment s;
  s.candidate_start_s = ctx.edges[g.first];
  s.candidate_end_s = ctx.edges[g.last + 1];
  s.tempo = g.line.tempo;
  s.view = view_of(g.view);
  if (is_pinned(ctx, p)) {
    s.recording_start_s = std::clamp(g.line.at(s.candidate_start_s), 0.0, ctx.end_s());
    s.recording_end_s = std::clamp(g.line.at(s.candidate_end_s), 0.0, ctx.end_s());
  } else {
    s.undetermined = undetermined_start(ctx, g, p, s.candidate_start_s, s.candidate_end_s);
  }
  s.frames = t.frames;
  s.matched_frames = t.matched;
  s.avg_distance = mean(t.distance_sum, t.matched);
  return s;
}

// A grown line and, when it holds, the segment it makes.
struct Attempt {
  Window followed{0, 0};  // the frames the line was followed over
  std::optional<Built> built;
};

// On repeated content the proposal's offset is one of many and may run off
// the repeated stretch early: the line moves amid the fitting offsets and is
// followed once more from there.
Placement place(const Context& ctx, Grown& g, const std::vector<bool>& taken) {
  for (int round = 0;; ++round) {
    settle(ctx, g);
    Placement p = placement(ctx, g);
    if (p.pieces.empty() || is_pinned(ctx, p)) return p;
    g.line.offset = central_offset(ctx, p, g.line.offset);
    if (round == 1) return p;
    LineFit fit = fit_hits(ctx, g);
    extend(ctx, g, fit, taken, 1);
    extend(ctx, g, fit, taken, -1);
  }
}

Attempt build_segment(const Context& ctx, const Seed& seed, const std::vector<bool>& taken) {
  Attempt attempt;
  auto g = grow(ctx, seed, taken);
  if (!g) return attempt;
  attempt.followed = {g->first, g->last + 1};
  const Placement p = place(ctx, *g, taken);
  attempt.followed = {std::min(attempt.followed.begin, g->first),
                      std::max(attempt.followed.end, g->last + 1)};
  if (p.pieces.empty() || !fit_edges(ctx, *g, taken)) return attempt;
  const Tally t = compare(ctx, *g);
  if (t.matched >= kMinMatchedSamples &&
      ctx.edges[g->last + 1] - ctx.edges[g->first] >= kMinSpanSeconds) {
    attempt.built = Built{describe(ctx, *g, p, t), t, g->line, g->first, g->last};
  }
  return attempt;
}

std::optional<std::size_t> strongest(const std::vector<std::optional<Seed>>& seeds) {
  std::optional<std::size_t> best;
  for (std::size_t i = 0; i < seeds.size(); ++i) {
    if (seeds[i] && (!best || seeds[i]->support > seeds[*best]->support)) best = i;
  }
  return best;
}

// Greedy: the strongest proposal grows into a segment and the windows it
// touched propose again from the frames left. A proposal that fails takes
// with it those of its view inside the stretch it was followed over, which
// would only follow the same line again.
std::vector<Built> find_segments(const Context& ctx) {
  const std::vector<Window> windows = windows_of(ctx);
  std::vector<bool> taken(ctx.size(), false);
  std::vector<std::optional<Seed>> seeds(windows.size());
  for (std::size_t i = 0; i < windows.size(); ++i) seeds[i] = window_seed(ctx, windows[i], taken);
  std::vector<Built> built;
  while (const auto i = strongest(seeds)) {
    const Attempt a = build_segment(ctx, *seeds[*i], taken);
    if (!a.built) {
      const int view = seeds[*i]->view;
      seeds[*i].reset();
      for (auto& seed : seeds) {
        if (seed && seed->view == view && a.followed.begin <= seed->window.begin &&
            seed->window.end <= a.followed.end) {
          seed.reset();
        }
      }
      continue;
    }
    const Built& b = built.emplace_back(std::move(*a.built));
    std::fill(taken.begin() + b.first, taken.begin() + b.last + 1, true);
    for (std::size_t w = 0; w < windows.size(); ++w) {
      if (windows[w].begin <= b.last && b.first < windows[w].end) {
        seeds[w] = window_seed(ctx, windows[w], taken);
      }
    }
  }
  std::sort(built.begin(), built.end(),
            [](const Built& a, const Built& b) { return a.first < b.first; });
  return built;
}

// One comparison per signed interval of candidate time outside every
// segment, counted per stretch between segments and low-quality frames.
std::uint64_t unmatched_elsewhere(const Context& ctx, const std::vector<Built>& built) {
  std::vector<bool> covered(ctx.size(), false);
  for (const Built& b : built) {
    std::fill(covered.begin() + b.first, covered.begin() + b.last + 1, true);
  }
  std::uint64_t total = 0;
  double stretch = 0;
  for (std::size_t k = 0; k <= ctx.size(); ++k) {
    if (k < ctx.size() && !covered[k] && !ctx.frames[k].low_quality) {
      stretch += ctx.edges[k + 1] - ctx.edges[k];
      continue;
    }
    total += static_cast<std::uint64_t>(std::llround(stretch * ctx.fps));
    stretch = 0;
  }
  return total;
}

Alignment summarise(const Context& ctx, const std::vector<Built>& built) {
  Alignment a;
  std::uint64_t distance_sum = 0;
  for (const Built& b : built) {
    a.segments.push_back(b.segment);
    a.matched_frames += b.tally.matched;
    a.total_query_frames += b.tally.frames;
    distance_sum += b.tally.distance_sum;
    a.edited = a.edited || b.tally.foreign_inside;
  }
  a.total_query_frames += unmatched_elsewhere(ctx, built);
  a.avg_distance = mean(distance_sum, a.matched_frames);
  a.edited = a.edited || built.size() > 1;
  if (!built.empty() && built.front().segment.recording_start_s) {
    a.offset_seconds = built.front().line.at(0);
  }
  return a;
}

// A still is placed by its best vote alone. The votes within a few bits of
// it reach the samples it resembles: one sample pins its moment there, two
// adjacent ones put it between them (at their common interval edge, since a
// run keeps only its smallest distance), more make its moment repeat.
Alignment still_alignment(const Context& ctx) {
  Alignment a;
  a.total_query_frames = ctx.frames[0].low_quality ? 0 : 1;
  if (ctx.votes.empty() || ctx.frames[0].low_quality) return a;
  const Vote& best =
      *std::min_element(ctx.votes.begin(), ctx.votes.end(),
                        [](const Vote& x, const Vote& y) { return x.distance < y.distance; });
  std::uint32_t from = best.first, to = best.last;
  for (const Vote& v : ctx.votes_of(0, view_index(best.view))) {
    if (v.distance <= best.distance + kStillMarginBits) {
      from = std::min(from, v.first);
      to = std::max(to, v.last);
    }
  }
  Segment s;
  s.view = best.view;
  s.frames = s.matched_frames = 1;
  s.avg_distance = best.distance;
  if (to - from >= 2) {
    s.undetermined = UndeterminedStart{ctx.signed_moment(from), ctx.signed_moment(to),
                                       from * ctx.interval(), (to + 1.0) * ctx.interval()};
  } else {
    s.between_samples = to != from;
    s.recording_start_s = s.between_samples ? to * ctx.interval() : ctx.signed_moment(from);
    s.recording_end_s = s.recording_start_s;
    a.offset_seconds = s.recording_start_s;
  }
  a.segments.push_back(s);
  a.matched_frames = 1;
  a.avg_distance = s.avg_distance;
  return a;
}

}  // namespace

std::string_view box_word(Box box) {
  switch (box) {
    case Box::None:
      return "none";
    case Box::Letterbox:
      return "letterbox";
    case Box::Pillarbox:
      return "pillarbox";
  }
  return "none";
}

double sample_moment(std::uint64_t index, double fps) {
  return (static_cast<double>(index) + 0.5) / fps;
}

double candidate_moment(const FrameFormat& format, std::uint64_t index) {
  return format.first_frame_only ? 0.0 : sample_moment(index, format.fps);
}

Result<Alignment> align_votes(const RecordingClock& clock, std::span<const CandidateFrame> frames,
                              std::span<const Vote> votes) {
  if (auto checked = check_inputs(clock, frames, votes); !checked) return fail(checked.error());
  if (frames.empty()) return Alignment{};
  const Context ctx = make_context(clock, frames, votes);
  Alignment a = frames.size() == 1 ? still_alignment(ctx) : summarise(ctx, find_segments(ctx));
  for (const Vote& v : votes) {
    if (!a.nearest_distance || v.distance < *a.nearest_distance) a.nearest_distance = v.distance;
  }
  return a;
}
