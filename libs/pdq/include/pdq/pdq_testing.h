#pragma once
// Hooks for tests and benchmarks: run the hash on a chosen vector path, and
// read the DCT matrix, so every path can be checked against a plain scalar
// transcription of the algorithm.

#include <span>
#include <string_view>

#include "pdq/pdq.h"

namespace pdq::testing {

enum class KernelPath { Baseline, Avx2, Avx512 };

inline constexpr KernelPath kAllPaths[] = {KernelPath::Baseline, KernelPath::Avx2,
                                           KernelPath::Avx512};

/// The kernels of a path, or nullptr when this build or processor lacks it.
const detail::Kernels* kernels_for(KernelPath path);
/// The path a default Hasher selects on this processor.
KernelPath selected_path();
std::string_view path_name(KernelPath path);

/// D[i][k] for i = 0..15, k = 0..63, row-major.
std::span<const float, 1024> dct_matrix();

}  // namespace pdq::testing
