// The matching core at the size that matters: a 10-minute candidate sampled
// at 2 fps (1,200 frames) against 3 hours of signed hashes (21,600). The
// whole comparison must cost well under a second on top of the decode. The
// hashes are pseudo-random, which is the worst case: no early agreement.

#include <benchmark/benchmark.h>

#include <random>
#include <vector>

#include "matching/frame_matcher.h"

namespace {

constexpr std::size_t kSignedHashes = 21600;
constexpr std::size_t kCandidateFrames = 1200;

std::vector<PackedHash> random_hashes(std::size_t count, std::uint64_t seed) {
  std::mt19937_64 random(seed);
  std::vector<PackedHash> hashes(count);
  for (PackedHash& h : hashes) {
    for (std::uint64_t& word : h) word = random();
  }
  return hashes;
}

// One candidate frame against every signed hash.
void BM_FindNearest(benchmark::State& state) {
  const auto signed_hashes = random_hashes(kSignedHashes, 1);
  const auto query = random_hashes(1, 2)[0];
  for (auto _ : state) benchmark::DoNotOptimize(find_nearest(query, signed_hashes));
  state.counters["comparisons"] = benchmark::Counter(
      static_cast<double>(state.iterations() * kSignedHashes), benchmark::Counter::kIsRate);
}
BENCHMARK(BM_FindNearest)->Unit(benchmark::kMicrosecond);

// The whole candidate, frame by frame, through the matcher the command uses.
void BM_MatchTenMinutesAgainstThreeHours(benchmark::State& state) {
  const auto signed_hashes = random_hashes(kSignedHashes, 1);
  const auto candidate = random_hashes(kCandidateFrames, 3);
  for (auto _ : state) {
    FrameMatcher matcher(signed_hashes, 2.0, 2.0, 31);
    for (const PackedHash& frame : candidate) matcher.add_frame(frame);
    benchmark::DoNotOptimize(matcher.statistics());
  }
}
BENCHMARK(BM_MatchTenMinutesAgainstThreeHours)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
