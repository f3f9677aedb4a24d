// The aligner on votes made the way matching real clips makes them: a
// recording of scenes (distinct moments, a static shot, a loop) signed at
// 2 fps, and a candidate cut from it and sampled at 8 fps whose frames vote
// for the signed samples showing what they show, within 0.15 s of their own
// moment, miss some of them, and now and then vote at random.

#include "matching/aligner.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace {

constexpr double kSignedFps = 2.0;
constexpr double kCandidateFps = 8.0;
constexpr View kPlain{};
constexpr View kMirrored{Transform::Mirrored, Box::None};
constexpr View kLetterboxed{Transform::None, Box::Letterbox};

// splitmix64: the same votes on every platform and library.
struct Random {
  std::uint64_t state;
  std::uint64_t next() {
    std::uint64_t z = (state += 0x9e3779b97f4a7c15);
    z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9;
    z = (z ^ (z >> 27)) * 0x94d049bb133111eb;
    return z ^ (z >> 31);
  }
  double unit() { return static_cast<double>(next() >> 11) / 9007199254740992.0; }
  int below(int n) { return static_cast<int>(next() % static_cast<std::uint64_t>(n)); }
};

struct Scene {
  enum Kind { Distinct, Static, Loop } kind;
  double seconds;
  int period = 0;  // samples, for a loop
};

// A stretch of the candidate: a cut of the recording from `from_s` played at
// `tempo`, foreign material (no `from_s`), or blank frames.
struct Stretch {
  double seconds;
  std::optional<double> from_s;
  double tempo = 1;
  View view = kPlain;
  bool blank = false;
};

Stretch cut(double from_s, double seconds, double tempo = 1, View view = kPlain) {
  return {seconds, from_s, tempo, view};
}
Stretch foreign(double seconds) { return {seconds, std::nullopt}; }
Stretch blank(double seconds) { return {seconds, std::nullopt, 1, kPlain, true}; }

using Runs = std::vector<std::pair<std::uint32_t, std::uint32_t>>;

// Each signed sample's content as a label (equal labels, equal hashes), and
// the runs of samples that show each label.
struct Recording {
  std::vector<std::int64_t> labels;
  std::map<std::int64_t, Runs> runs;

  explicit Recording(const std::vector<Scene>& scenes) {
    for (std::size_t s = 0; s < scenes.size(); ++s) {
      const auto n = static_cast<std::int64_t>(scenes[s].seconds * kSignedFps);
      for (std::int64_t i = 0; i < n; ++i) {
        const auto j = static_cast<std::int64_t>(labels.size());
        const std::int64_t scene = static_cast<std::int64_t>(s + 1) << 32;
        labels.push_back(scenes[s].kind == Scene::Distinct ? scene + j
                         : scenes[s].kind == Scene::Static ? scene
                                                           : scene + i % scenes[s].period);
      }
    }
    for (std::uint32_t j = 0; j < labels.size(); ++j) {
      Runs& r = runs[labels[j]];
      if (!r.empty() && r.back().second + 1 == j) {
        r.back().second = j;
      } else {
        r.push_back({j, j});
      }
    }
  }
  auto count() const { return static_cast<std::uint32_t>(labels.size()); }
};

struct Clip {
  std::vector<CandidateFrame> frames;
  std::vector<Vote> votes;
};

// The runs a frame showing recording moment t votes for, merged: those of
// the samples within 0.15 s of it, or of the two around it when they show
// the same picture.
Runs runs_seen(const Recording& rec, double t, double miss, Random& random) {
  Runs seen;
  const auto before = static_cast<std::int64_t>(std::floor(t * kSignedFps - 0.5));
  const bool still =
      before >= 0 && before + 1 < rec.count() && rec.labels[before] == rec.labels[before + 1];
  for (std::int64_t j = before - 1; j <= before + 2; ++j) {
    if (j < 0 || j >= rec.count()) continue;
    const bool shown =
        still ? j == before || j == before + 1 : std::abs(sample_moment(j, kSignedFps) - t) <= 0.15;
    if (!shown || random.unit() < miss) continue;
    const Runs& r = rec.runs.at(rec.labels[j]);
    seen.insert(seen.end(), r.begin(), r.end());
  }
  std::sort(seen.begin(), seen.end());
  Runs merged;
  for (const auto& r : seen) {
    if (!merged.empty() && r.first <= merged.back().second + 1) {
      merged.back().second = std::max(merged.back().second, r.second);
    } else {
      merged.push_back(r);
    }
  }
  return merged;
}

Clip make_clip(const Recording& rec, const std::vector<Stretch>& stretches, double miss,
               double spurious, std::uint64_t seed = 1) {
  Random random{seed};
  Clip clip;
  double start = 0;
  for (const Stretch& stretch : stretches) {
    const double end = start + stretch.seconds;
    for (auto k = static_cast<std::uint32_t>(clip.frames.size());; ++k) {
      const double c = sample_moment(k, kCandidateFps);
      if (c >= end) break;
      clip.frames.push_back({c, stretch.blank});
      const double t = stretch.from_s ? *stretch.from_s + stretch.tempo * (c - start) : -1;
      if (stretch.from_s && t >= 0 && t < rec.count() / kSignedFps) {
        for (const auto& [first, last] : runs_seen(rec, t, miss, random)) {
          clip.votes.push_back({k, first, last, 5 + random.below(11), stretch.view});
        }
      }
      if (!stretch.blank && random.unit() < spurious) {
        clip.votes.push_back(
            {k, static_cast<std::uint32_t>(random.below(static_cast<int>(rec.count()))), 0, 0,
             kPlain});
        clip.votes.back().last = clip.votes.back().first;
        clip.votes.back().distance = 20 + random.below(12);
      }
    }
    start = end;
  }
  return clip;
}

Alignment align(const Recording& rec, const Clip& clip) {
  auto a = align_votes({kSignedFps, rec.count()}, clip.frames, clip.votes);
  EXPECT_TRUE(a.has_value()) << a.error();
  return a.value_or(Alignment{});
}

// What a segment must show. An undetermined one must hold `recording_s`
// among its starts; a placed one must start within a signed interval of it.
// Candidate edges may miss by one candidate frame.
struct Expected {
  double candidate_start_s, candidate_end_s, recording_s;
  bool undetermined = false;
  double tempo = 1;
  View view = kPlain;
};

struct Case {
  const char* name;
  std::vector<Scene> scenes;
  std::vector<Stretch> stretches;
  std::vector<Expected> segments;
  std::uint64_t total, min_matched;
  bool edited = false;
  double miss = 0.1;
};

const std::vector<Scene> kMoving = {{Scene::Distinct, 600}};
const std::vector<Scene> kLooping = {{Scene::Distinct, 100}, {Scene::Loop, 100, 8}};

const Case kCases[] = {
    {"PlainExcerpt", kMoving, {cut(20, 10)}, {{0, 10, 20}}, 20, 20, false, 0},
    {"ForeignInsert",
     kMoving,
     {cut(30, 10), foreign(5), cut(40, 10)},
     {{0, 10, 30}, {15, 25, 40}},
     50,
     32,
     true},
    {"ReversedJoin",
     kMoving,
     {cut(70, 10), cut(15, 15)},
     {{0, 10, 70}, {10, 25, 15}},
     50,
     40,
     true},
    {"Join", kMoving, {cut(10, 10), cut(60, 10)}, {{0, 10, 10}, {10, 20, 60}}, 40, 32, true},
    {"OffGridCut", kMoving, {cut(20.25, 10)}, {{0, 10, 20.25}}, 20, 16},
    {"Tempo125",
     kMoving,
     {cut(40, 12, 1.25, kLetterboxed)},
     {{0, 12, 40, false, 1.25, kLetterboxed}},
     30,
     24},
    {"HalfTempo", kMoving, {cut(300, 16, 0.5)}, {{0, 16, 300, false, 0.5}}, 16, 12},
    {"Mirrored",
     kMoving,
     {cut(100, 10, 1, kMirrored)},
     {{0, 10, 100, false, 1, kMirrored}},
     20,
     16},
    {"BlankStretchInside", kMoving, {cut(20, 4), blank(3), cut(27, 3)}, {{0, 10, 20}}, 14, 11},
    {"StartsBeforeTheRecording", kMoving, {cut(-3, 10)}, {{3, 10, 0}}, 20, 11},
    {"RunsPastTheRecording", kMoving, {cut(595, 8)}, {{0, 5, 595}}, 16, 8},
    {"StaticSceneAtTheStart",
     {{Scene::Static, 40}, {Scene::Distinct, 60}},
     {cut(2, 10)},
     {{0, 10, 2, true}},
     20,
     16},
    // Proposed at the loop's first instance, then moved amid the others.
    {"LoopAfterForeignSeconds", kLooping, {foreign(5), cut(120, 10)}, {{5, 15, 120, true}}, 30, 16},
    {"Unrelated", kMoving, {foreign(60)}, {}, 120, 0},
    {"AFlashOfTheRecording", kMoving, {foreign(10), cut(50, 0.75), foreign(10)}, {}, 42, 0},
};

void PrintTo(const Case& c, std::ostream* out) { *out << c.name; }

class AlignerCase : public testing::TestWithParam<Case> {};

void expect_segment(const Segment& s, const Expected& e, double end) {
  EXPECT_NEAR(s.candidate_start_s, e.candidate_start_s, 0.126);
  EXPECT_NEAR(s.candidate_end_s, e.candidate_end_s, 0.126);
  EXPECT_EQ(s.view, e.view);
  if (e.tempo == 1) {
    EXPECT_EQ(s.tempo, 1.0);  // exactly: a plain copy must not read 0.99
  }
  EXPECT_NEAR(s.tempo, e.tempo, 0.05 * e.tempo);
  ASSERT_EQ(s.undetermined.has_value(), e.undetermined);
  if (s.undetermined) {
    EXPECT_LE(0, s.undetermined->recording_start_min_s);
    EXPECT_LE(s.undetermined->recording_start_min_s, e.recording_s);
    EXPECT_LE(e.recording_s, s.undetermined->recording_start_max_s);
    EXPECT_LE(s.undetermined->recording_start_max_s, end);
  } else {
    ASSERT_TRUE(s.recording_start_s && s.recording_end_s);
    EXPECT_NEAR(*s.recording_start_s, e.recording_s, 1 / kSignedFps);
    EXPECT_LE(0, *s.recording_start_s);
    EXPECT_LE(*s.recording_end_s, end);
  }
}

TEST_P(AlignerCase, SegmentsWhereTheCutsAre) {
  const Case& c = GetParam();
  const Recording rec(c.scenes);
  Clip clip = make_clip(rec, c.stretches, c.miss, 0.03);
  const Alignment a = align(rec, clip);
  ASSERT_EQ(a.segments.size(), c.segments.size());
  std::reverse(clip.votes.begin(), clip.votes.end());  // the order votes come in must not matter
  const Alignment reversed = align(rec, clip);
  ASSERT_EQ(reversed.segments.size(), c.segments.size());
  EXPECT_EQ(reversed.matched_frames, a.matched_frames);
  for (std::size_t i = 0; i < a.segments.size(); ++i) {
    SCOPED_TRACE(i);
    expect_segment(a.segments[i], c.segments[i], rec.count() / kSignedFps);
    EXPECT_EQ(reversed.segments[i].recording_start_s, a.segments[i].recording_start_s);
  }
  EXPECT_EQ(a.total_query_frames, c.total);
  EXPECT_GE(a.matched_frames, c.min_matched);
  EXPECT_EQ(a.edited, c.edited);
  if (c.segments.empty() || c.segments[0].undetermined) {
    EXPECT_FALSE(a.offset_seconds);
  } else {
    const Expected& e = c.segments[0];
    EXPECT_NEAR(a.offset_seconds.value_or(-1e9), e.recording_s - e.tempo * e.candidate_start_s,
                1 / kSignedFps);
  }
}

INSTANTIATE_TEST_SUITE_P(Edits, AlignerCase, testing::ValuesIn(kCases),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(Aligner, JoinReadsAtSignedIntervalEdges) {
  const Recording rec(kMoving);
  Clip clip = make_clip(rec, {cut(70, 10), cut(15, 15)}, 0, 0);
  clip.votes.push_back({0, 900, 900, 25, kPlain});  // a stray vote must not shorten the edge
  const Alignment join = align(rec, clip);
  ASSERT_EQ(join.segments.size(), 2u);
  EXPECT_DOUBLE_EQ(join.segments[0].candidate_start_s, 0.0);
  EXPECT_DOUBLE_EQ(join.segments[0].candidate_end_s, 10.0);
  EXPECT_DOUBLE_EQ(join.segments[1].candidate_start_s, 10.0);
  EXPECT_DOUBLE_EQ(join.segments[1].candidate_end_s, 25.0);
  EXPECT_EQ(join.matched_frames, 50u);
}

TEST(Aligner, StaticSceneAfterForeignMaterial) {
  const Recording rec({{Scene::Distinct, 12}, {Scene::Static, 46}, {Scene::Distinct, 60}});
  const Alignment a = align(rec, make_clip(rec, {foreign(3), cut(30, 10)}, 0, 0.03));
  ASSERT_EQ(a.segments.size(), 1u);
  const Segment& s = a.segments[0];
  EXPECT_DOUBLE_EQ(s.candidate_start_s, 3.0);
  EXPECT_DOUBLE_EQ(s.candidate_end_s, 13.0);
  ASSERT_TRUE(s.undetermined);
  EXPECT_DOUBLE_EQ(s.undetermined->repeated_from_s, 12.0);
  EXPECT_DOUBLE_EQ(s.undetermined->repeated_to_s, 58.0);
  EXPECT_DOUBLE_EQ(s.undetermined->recording_start_min_s, 12.0);
  EXPECT_DOUBLE_EQ(s.undetermined->recording_start_max_s, 48.0);
}

TEST(Aligner, SignedRateHalfAnIntervalOffIsPlaced) {
  // Every frame lies between two signed moments and resembles both.
  std::vector<CandidateFrame> frames;
  std::vector<Vote> votes;
  for (std::uint32_t k = 0; k < 20; ++k) {
    frames.push_back({sample_moment(k, kSignedFps), false});
    votes.push_back({k, 40 + k, 41 + k, 12, kPlain});
  }
  const auto a = align_votes({kSignedFps, 600}, frames, votes);
  ASSERT_TRUE(a && a->segments.size() == 1);
  EXPECT_NEAR(a->segments[0].recording_start_s.value_or(-1), 20.25, 1 / kSignedFps);
  EXPECT_EQ(a->matched_frames, 20u);
  EXPECT_EQ(a->total_query_frames, 20u);
}

TEST(Aligner, StillTakesItsBestVotedSample) {
  const struct {
    std::vector<Vote> votes;
    std::optional<double> start;
    bool between;
    std::optional<std::pair<double, double>> range;
  } kStills[] = {
      {{{0, 41, 41, 6, kPlain}, {0, 300, 300, 25, kPlain}}, 20.75, false, {}},
      {{{0, 40, 41, 14, kMirrored}}, 20.5, true, {}},
      {{{0, 40, 40, 14, kPlain}, {0, 42, 42, 17, kPlain}}, std::nullopt, false, {{20.25, 21.25}}},
      {{{0, 24, 115, 3, kPlain}}, std::nullopt, false, {{12.25, 57.75}}},
  };
  for (const auto& still : kStills) {
    SCOPED_TRACE(still.votes.front().first);
    const CandidateFrame frame{0.0625, false};
    const auto a = align_votes({kSignedFps, 600}, {&frame, 1}, still.votes);
    ASSERT_TRUE(a && a->segments.size() == 1);
    const Segment& s = a->segments[0];
    EXPECT_EQ(s.candidate_start_s, 0.0);
    EXPECT_EQ(s.candidate_end_s, 0.0);
    EXPECT_EQ(s.recording_start_s, still.start);
    EXPECT_EQ(s.between_samples, still.between);
    ASSERT_EQ(s.undetermined.has_value(), still.range.has_value());
    if (still.range) {
      EXPECT_EQ(s.undetermined->recording_start_min_s, still.range->first);
      EXPECT_EQ(s.undetermined->recording_start_max_s, still.range->second);
    }
    EXPECT_EQ(a->matched_frames, 1u);
    EXPECT_EQ(a->total_query_frames, 1u);
    EXPECT_EQ(a->nearest_distance, still.votes.front().distance);
  }
}

TEST(Aligner, RefusesInputsThatContradictEachOther) {
  const CandidateFrame frames[] = {{0.0625, false}, {0.1875, false}};
  const CandidateFrame backwards[] = {{0.1875, false}, {0.0625, false}};
  const Vote past_end[] = {{1, 599, 600, 9, kPlain}};
  const Vote no_frame[] = {{2, 5, 5, 9, kPlain}};
  EXPECT_EQ(align_votes({0, 600}, frames, {}).error(),
            "the signed rate must be a positive number of frames per second");
  EXPECT_EQ(align_votes({2, 600}, backwards, {}).error(),
            "candidate frame moments must increase: frame 1");
  EXPECT_EQ(align_votes({2, 600}, frames, past_end).error(),
            "vote of candidate frame 1 for signed samples 599 to 600 does not fit a candidate of 2 "
            "frames and a recording of 600 samples");
  EXPECT_FALSE(align_votes({2, 600}, frames, no_frame));
}

}  // namespace
