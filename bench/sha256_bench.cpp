// Throughput of sha256_file on a 1 GiB file in the page cache, next to
// `openssl dgst -sha256` on the same file in the same run, so machine load
// affects both alike. Besides wall-clock throughput each reports
// cpu_bytes_per_second (bytes over user+system CPU time of the hashing
// process), which a busy shared machine disturbs far less. The file is made once
// (VORLANT_BENCH_FILE, default /tmp/vorlant-sha256-bench.bin) and read once before timing to cache
// it.

#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "fileio/fd.h"
#include "fileio/fileio.h"

extern char** environ;

namespace {

constexpr std::uint64_t kFileSize = 1ull << 30;

std::string bench_file() {
  const char* env = std::getenv("VORLANT_BENCH_FILE");
  return env ? env : "/tmp/vorlant-sha256-bench.bin";
}

// Creates the file with varied bytes unless it already has the right size.
bool prepare_file(const std::string& path) {
  struct stat st;
  if (::stat(path.c_str(), &st) == 0 && static_cast<std::uint64_t>(st.st_size) == kFileSize) {
    return true;
  }
  Fd fd(::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644));
  if (!fd.valid()) return false;
  std::vector<std::uint8_t> chunk(1 << 20);
  std::uint64_t state = 0x9E3779B97F4A7C15ull;
  for (std::uint64_t written = 0; written < kFileSize; written += chunk.size()) {
    for (auto& b : chunk) {
      state ^= state << 13, state ^= state >> 7, state ^= state << 17;
      b = static_cast<std::uint8_t>(state);
    }
    if (!write_all(fd.get(), chunk)) return false;
  }
  return true;
}

double seconds(const timeval& t) { return static_cast<double>(t.tv_sec) + t.tv_usec / 1e6; }

void set_throughput(benchmark::State& state, double cpu_seconds) {
  auto bytes = static_cast<double>(state.iterations() * kFileSize);
  state.SetBytesProcessed(static_cast<std::int64_t>(bytes));
  state.counters["cpu_bytes_per_second"] = benchmark::Counter(
      bytes / cpu_seconds, benchmark::Counter::kDefaults, benchmark::Counter::kIs1024);
}

double process_cpu_seconds() {
  timespec t;
  ::clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
  return static_cast<double>(t.tv_sec) + t.tv_nsec / 1e9;
}

void BM_Sha256File(benchmark::State& state) {
  const std::string path = bench_file();
  double cpu = 0;
  for (auto _ : state) {
    double start = process_cpu_seconds();
    auto digest = sha256_file(path);
    cpu += process_cpu_seconds() - start;
    if (!digest) state.SkipWithError(digest.error().c_str());
    benchmark::DoNotOptimize(digest);
  }
  set_throughput(state, cpu);
}

void BM_OpensslDgst(benchmark::State& state) {
  std::string path = bench_file();
  std::vector<std::string> args = {"openssl", "dgst", "-sha256", path};
  std::vector<char*> argv;
  for (auto& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  double cpu = 0;
  for (auto _ : state) {
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
    pid_t pid = 0;
    int status = 0;
    rusage usage{};
    bool ok = posix_spawnp(&pid, "openssl", &actions, nullptr, argv.data(), environ) == 0 &&
              ::wait4(pid, &status, 0, &usage) == pid && WIFEXITED(status) &&
              WEXITSTATUS(status) == 0;
    posix_spawn_file_actions_destroy(&actions);
    if (!ok) state.SkipWithError("openssl dgst failed");
    cpu += seconds(usage.ru_utime) + seconds(usage.ru_stime);
  }
  set_throughput(state, cpu);
}

BENCHMARK(BM_Sha256File)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(3);
BENCHMARK(BM_OpensslDgst)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(3);

}  // namespace

int main(int argc, char** argv) {
  if (!prepare_file(bench_file())) return 1;
  (void)sha256_file(bench_file());  // pull the file into the page cache
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
