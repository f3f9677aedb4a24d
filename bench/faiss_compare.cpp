// The same archive through FAISS's binary multi-hash index, for the
// comparison in bench/README.md: build time, memory, file size, the load
// of a fresh process and a 60-second clip's range search at distance 31.
// Built by bench/index.sh when libfaiss-dev is present; not part of the
// program or its build.
//   faiss_compare build FILE random|realistic RECORDINGS NHASH BITS
//   faiss_compare search FILE random|realistic RECORDINGS VIEWS NFLIP

#include <faiss/IndexBinaryHash.h>
#include <faiss/impl/AuxIndexStructures.h>
#include <faiss/index_io.h>
#include <sys/resource.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "index_content.h"

namespace {

double cpu_seconds() {
  rusage u{};
  ::getrusage(RUSAGE_SELF, &u);
  return static_cast<double>(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
         static_cast<double>(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

double wall_seconds() {
  using namespace std::chrono;
  return duration<double>(steady_clock::now().time_since_epoch()).count();
}

std::string peak() {
  std::ifstream in("/proc/self/status");
  for (std::string line; std::getline(in, line);) {
    if (line.starts_with("VmHWM")) return line;
  }
  return {};
}

std::vector<std::uint8_t> codes(const std::vector<PackedHash>& hashes) {
  std::vector<std::uint8_t> out(hashes.size() * 32);
  std::memcpy(out.data(), hashes.data(), out.size());
  return out;
}

}  // namespace

int main(int argc, char** argv) {
  const std::vector<std::string> a(argv + 1, argv + argc);
  if (a.size() != 6) return 2;
  const bool realistic = a[2] == "realistic";
  const std::uint64_t recordings = std::stoull(a[3]);
  if (a[0] == "build") {
    faiss::IndexBinaryMultiHash index(256, std::stoi(a[4]), std::stoi(a[5]));
    double cpu = 0, wall = 0;
    for (std::uint64_t i = 0; i < recordings; ++i) {
      const auto c = codes(bench_content::recording(realistic, i));
      const double c0 = cpu_seconds(), w0 = wall_seconds();
      index.add(static_cast<faiss::IndexBinary::idx_t>(c.size() / 32), c.data());
      cpu += cpu_seconds() - c0;
      wall += wall_seconds() - w0;
    }
    std::printf("faiss add: %.3f s CPU, %.3f s wall, %.0f hashes per CPU second; %s\n", cpu, wall,
                static_cast<double>(index.ntotal) / cpu, peak().c_str());
    const double w0 = wall_seconds();
    faiss::write_index_binary(&index, a[1].c_str());
    std::printf("faiss write: %.3f s wall\n", wall_seconds() - w0);
    return 0;
  }
  if (a[0] == "search") {
    const auto queries = bench_content::clip_queries(realistic, recordings, std::stoi(a[4]), 1);
    double c0 = cpu_seconds(), w0 = wall_seconds();
    std::unique_ptr<faiss::IndexBinary> index(faiss::read_index_binary(a[1].c_str()));
    std::printf("faiss load: %.3f s CPU, %.3f s wall\n", cpu_seconds() - c0, wall_seconds() - w0);
    dynamic_cast<faiss::IndexBinaryMultiHash&>(*index).nflip = std::stoi(a[5]);
    const auto q = codes(queries);
    faiss::RangeSearchResult result(static_cast<faiss::IndexBinary::idx_t>(queries.size()));
    c0 = cpu_seconds();
    w0 = wall_seconds();
    index->range_search(static_cast<faiss::IndexBinary::idx_t>(queries.size()), q.data(), 32,
                        &result);
    std::printf("faiss search: %.3f s CPU, %.3f s wall, %zu lookups, %zu hashes found; %s\n",
                cpu_seconds() - c0, wall_seconds() - w0, queries.size(),
                static_cast<std::size_t>(result.lims[queries.size()]), peak().c_str());
    return 0;
  }
  return 2;
}
