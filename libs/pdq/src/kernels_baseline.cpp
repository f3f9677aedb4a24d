// Kernels for every x86-64 processor: 4-lane SSE2 vectors.

#include <cstddef>
#include <cstdint>

#include "dct_table.h"
#include "kernels.h"

namespace pdq::detail {
namespace {

typedef float Vec __attribute__((vector_size(16)));
typedef int VecI __attribute__((vector_size(16)));
constexpr int kUnroll = 8;
constexpr bool kFusedProducts = false;
inline Vec fused(Vec a, Vec b, Vec c) { return a * b + c; }  // not used
#include "kernels_image.inc"
#include "kernels_sweep.inc"

}  // namespace

const Kernels& baseline_kernels() { return kKernels; }

}  // namespace pdq::detail
