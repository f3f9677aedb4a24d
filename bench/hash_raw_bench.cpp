// hash-raw-rgba's loop in process, against its two parts: hashing a frame
// and reading a frame from the same file. Per frame, the loop should cost no
// more than the two together: reading, framing and formatting add nothing.
// The frames come from VORLANT_BENCH_FRAMES (bench/hash_raw.sh makes a
// 500-frame file) or from a temporary file of synthetic frames.

#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <unistd.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "commands/hash_frames.h"
#include "fileio/fd.h"
#include "kernel_paths.h"
#include "pdq/pdq.h"

namespace {

constexpr std::size_t kFrames = 500;

struct FramesFile {
  std::string path;
  bool temporary = false;
  FramesFile() {
    if (const char* env = std::getenv("VORLANT_BENCH_FRAMES")) {
      path = env;
      return;
    }
    path = "/tmp/vorlant-bench-frames-" + std::to_string(::getpid()) + ".rgba";
    temporary = true;
    Fd fd(::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600));
    std::vector<std::uint8_t> frame(pdq::kRgbaFrameBytes);
    for (std::size_t n = 0; n < kFrames; ++n) {
      for (std::size_t i = 0; i < frame.size(); ++i)
        frame[i] = static_cast<std::uint8_t>((i >> 2) % 512 * (n + 1) / 3 + i / 4096);
      (void)write_all(fd.get(), frame);
    }
  }
  ~FramesFile() {
    if (temporary) ::unlink(path.c_str());
  }
  std::size_t frames() const {
    Fd fd(::open(path.c_str(), O_RDONLY));
    return static_cast<std::size_t>(::lseek(fd.get(), 0, SEEK_END)) / pdq::kRgbaFrameBytes;
  }
};

const FramesFile& frames_file() {
  static const FramesFile file;
  return file;
}

// Per-frame times: each iteration handles every frame of the file.
void per_frame(benchmark::State& state, std::size_t frames) {
  state.counters["per_frame"] =
      benchmark::Counter(static_cast<double>(state.iterations() * frames),
                         benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}

void BM_HashRawStream(benchmark::State& state) {
  const std::size_t frames = frames_file().frames();
  Fd sink(::open("/dev/null", O_WRONLY));
  for (auto _ : state) {
    Fd input(::open(frames_file().path.c_str(), O_RDONLY));
    auto result = hash_frame_stream(input.get(), sink.get(), false, HashFormat::Hex);
    if (!result) state.SkipWithError(result.error().c_str());
  }
  per_frame(state, frames);
}
BENCHMARK(BM_HashRawStream)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_ReadFrames(benchmark::State& state) {
  const std::size_t frames = frames_file().frames();
  std::vector<std::uint8_t> frame(pdq::kRgbaFrameBytes);
  for (auto _ : state) {
    Fd input(::open(frames_file().path.c_str(), O_RDONLY));
    while (read_exact(input.get(), frame)) benchmark::ClobberMemory();
  }
  per_frame(state, frames);
}
BENCHMARK(BM_ReadFrames)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_HashFrames(benchmark::State& state) {
  const std::size_t frames = frames_file().frames();
  std::vector<std::uint8_t> frame(pdq::kRgbaFrameBytes);
  {
    Fd input(::open(frames_file().path.c_str(), O_RDONLY));
    (void)read_exact(input.get(), frame);
  }
  pdq::Hasher hasher;
  for (auto _ : state) {
    for (std::size_t n = 0; n < frames; ++n)
      benchmark::DoNotOptimize(hasher.hash_rgba_frame(frame));
  }
  per_frame(state, frames);
}
BENCHMARK(BM_HashFrames)->Unit(benchmark::kMillisecond)->UseRealTime();

// Reading and hashing every frame on one vector path: the command's loop
// less its output, for each path this processor runs.
void BM_ReadAndHashOnPath(benchmark::State& state) {
  const pdq::detail::Kernels* kernels = kernels_of_run(state);
  if (!kernels) return;
  const std::size_t frames = frames_file().frames();
  std::vector<std::uint8_t> frame(pdq::kRgbaFrameBytes);
  pdq::Hasher hasher(*kernels);
  for (auto _ : state) {
    Fd input(::open(frames_file().path.c_str(), O_RDONLY));
    while (read_exact(input.get(), frame)) benchmark::DoNotOptimize(hasher.hash_rgba_frame(frame));
  }
  per_frame(state, frames);
}
BENCHMARK(BM_ReadAndHashOnPath)->Apply(every_path)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
