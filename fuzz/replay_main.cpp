// Runs a fuzz target without libFuzzer: every file named on the command line,
// and every file inside a named folder, once. The normal builds use it to
// replay the kept crash inputs and the seeds under their own compiler and
// sanitizers, and to time worst-case inputs without instrumentation.

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <vector>

#include "fuzz_util.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size);

int main(int argc, char** argv) {
  namespace fs = std::filesystem;
  std::vector<fs::path> files;
  for (int i = 1; i < argc; ++i) {
    const fs::path path(argv[i]);
    if (!fs::exists(path)) continue;  // a target that never failed has no regressions folder
    if (!fs::is_directory(path)) {
      files.push_back(path);
      continue;
    }
    for (const auto& entry : fs::recursive_directory_iterator(path))
      if (entry.is_regular_file()) files.push_back(entry.path());
  }
  std::sort(files.begin(), files.end());
  for (const fs::path& file : files) {
    std::ifstream in(file, std::ios::binary);
    if (!in) {
      std::fprintf(stderr, "cannot read %s\n", file.c_str());
      return 1;
    }
    const std::vector<std::uint8_t> bytes{std::istreambuf_iterator<char>(in),
                                          std::istreambuf_iterator<char>()};
    std::fprintf(stderr, "replaying %s\n", file.c_str());
    fuzz::slowest_call_ms = 0;
    LLVMFuzzerTestOneInput(bytes.data(), bytes.size());
    std::fprintf(stderr, "replayed %s: slowest call %.1f ms\n", file.c_str(),
                 fuzz::slowest_call_ms);
  }
  std::printf("replayed %zu inputs\n", files.size());
  return files.empty() ? 1 : 0;
}
