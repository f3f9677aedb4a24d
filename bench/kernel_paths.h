#pragma once
// The PDQ vector paths as benchmark arguments: one run per path, labelled
// with its name, and skipped where this processor lacks it.

#include <benchmark/benchmark.h>

#include <string>

#include "pdq/pdq.h"
#include "pdq/pdq_testing.h"

/// One argument per path.
inline void every_path(benchmark::internal::Benchmark* b) {
  for (pdq::testing::KernelPath path : pdq::testing::kAllPaths) b->Arg(static_cast<int>(path));
}

/// The kernels of the run's path, or nullptr (the run then skipped).
inline const pdq::detail::Kernels* kernels_of_run(benchmark::State& state) {
  const auto path = static_cast<pdq::testing::KernelPath>(state.range(0));
  const pdq::detail::Kernels* kernels = pdq::testing::kernels_for(path);
  if (!kernels) {
    state.SkipWithError("path not supported on this processor");
    return nullptr;
  }
  state.SetLabel(std::string(pdq::testing::path_name(path)));
  return kernels;
}
