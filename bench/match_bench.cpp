// The matching core at the size that matters: 3 hours of signed hashes
// (21,600 at 2 fps) against a 10-minute candidate's frames at 30 fps
// (18,000). The hashes are pseudo-random, which is the worst case: no early
// agreement, no repeated runs to skip.

#include <benchmark/benchmark.h>

#include <algorithm>
#include <random>
#include <span>
#include <vector>

#include "index/packed_hash.h"
#include "index/recording_search.h"

namespace {

constexpr std::size_t kSignedHashes = 21600;
constexpr std::size_t kCandidateFrames = 18000;

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

// Every candidate frame through the exact search match asks, in batches of
// 64 as the matcher sends them.
void BM_SearchTenMinutesInThreeHours(benchmark::State& state) {
  const auto signed_hashes = random_hashes(kSignedHashes, 1);
  const auto candidate = random_hashes(kCandidateFrames, 3);
  const RecordingSearch search(signed_hashes);
  for (auto _ : state) {
    std::size_t hits = 0;
    for (std::size_t i = 0; i < candidate.size(); i += 64) {
      const std::size_t n = std::min<std::size_t>(64, candidate.size() - i);
      hits += search.search(std::span(candidate).subspan(i, n), 31).size();
    }
    benchmark::DoNotOptimize(hits);
  }
}
BENCHMARK(BM_SearchTenMinutesInThreeHours)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
