// Time to hash one 512x512 frame: the library on each vector path this
// processor runs, the plain scalar transcription, and a memcpy of the frame
// as the floor; also the hash with its variants and quality, and smaller
// frames. The hashes are checked equal before timing. Each is repeated
// and also reported by its fastest repetition ("_min"), the figure least
// disturbed by other work on a shared machine; bench/pdq.sh turns a run into
// speed-ups over the transcription.

#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstring>
#include <random>
#include <vector>

#include "kernel_paths.h"
#include "pdq/pdq.h"
#include "pdq/pdq_testing.h"
#include "pdq_reference.h"

namespace {

const std::vector<std::uint8_t>& frame() {
  static const std::vector<std::uint8_t> bytes = [] {
    std::vector<std::uint8_t> b(pdq::kRgbaFrameBytes);
    std::mt19937 rng(12345);
    for (std::size_t y = 0; y < 512; ++y)
      for (std::size_t x = 0; x < 512; ++x)
        for (std::size_t c = 0; c < 4; ++c)
          b[4 * (y * 512 + x) + c] = static_cast<std::uint8_t>((x * (c + 1) + y) / 3 + rng() % 32);
    return b;
  }();
  return bytes;
}

constexpr int kRepetitions = 9;

void repeated(benchmark::internal::Benchmark* b) {
  b->Unit(benchmark::kMicrosecond)
      ->Repetitions(kRepetitions)
      ->ComputeStatistics("min", [](const std::vector<double>& v) {
        return *std::min_element(v.begin(), v.end());
      });
}

void BM_PdqHash(benchmark::State& state) {
  const pdq::detail::Kernels* kernels = kernels_of_run(state);
  if (!kernels) return;
  pdq::Hasher hasher(*kernels);
  const auto expected = pdq_reference::pdq_hash(frame(), 512, 512);
  if (*hasher.pdq_hash(frame(), 512, 512) != expected) {
    state.SkipWithError("hash differs from the scalar transcription");
    return;
  }
  for (auto _ : state) benchmark::DoNotOptimize(hasher.hash_rgba_frame(frame()));
}
BENCHMARK(BM_PdqHash)->Apply(every_path)->Apply(repeated);

void BM_PdqHashSelected(benchmark::State& state) {
  state.SetLabel(std::string(pdq::testing::path_name(pdq::testing::selected_path())));
  pdq::Hasher hasher;
  for (auto _ : state) benchmark::DoNotOptimize(hasher.hash_rgba_frame(frame()));
}
BENCHMARK(BM_PdqHashSelected)->Apply(repeated);

// The hash with its eight dihedral variants and its quality, against the
// hash alone above: what the extras cost beside one blur and DCT.
void BM_PdqHashVariants(benchmark::State& state) {
  pdq::Hasher hasher;
  for (auto _ : state) benchmark::DoNotOptimize(hasher.pdq_hash_variants({frame(), 512, 512}));
}
BENCHMARK(BM_PdqHashVariants)->Apply(repeated);

// Smaller square frames, as a candidate clip might be sampled, on the
// general path (the fused kernel serves 512x512 only).
void BM_PdqHashSide(benchmark::State& state) {
  const auto side = static_cast<std::size_t>(state.range(0));
  std::vector<std::uint8_t> small(side * side * 4);
  for (std::size_t y = 0; y < side; ++y)
    std::memcpy(&small[4 * side * y], &frame()[4 * 512 * y], 4 * side);
  pdq::Hasher hasher;
  for (auto _ : state) benchmark::DoNotOptimize(hasher.pdq_hash(small, side, side));
}
BENCHMARK(BM_PdqHashSide)->Arg(256)->Arg(128)->Arg(64)->Apply(repeated);

void BM_ScalarTranscription(benchmark::State& state) {
  for (auto _ : state) benchmark::DoNotOptimize(pdq_reference::pdq_hash(frame(), 512, 512));
}
BENCHMARK(BM_ScalarTranscription)->Apply(repeated);

void BM_MemcpyFrame(benchmark::State& state) {
  std::vector<std::uint8_t> copy(pdq::kRgbaFrameBytes);
  for (auto _ : state) {
    std::memcpy(copy.data(), frame().data(), copy.size());
    benchmark::ClobberMemory();
  }
}
BENCHMARK(BM_MemcpyFrame)->Apply(repeated);

}  // namespace

BENCHMARK_MAIN();
