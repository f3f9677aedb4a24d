// Kernels for processors with AVX-512F, chosen at run time: 16-lane vectors.
// The target pragma covers only this file's own code (clang's attribute
// pragma does the same); the standard headers are included before it.

#include <cstddef>
#include <cstdint>
#if defined(__x86_64__)
#include <immintrin.h>
#endif

#include "dct_table.h"
#include "kernels.h"

namespace pdq::detail {

#if defined(__x86_64__)
#if defined(__clang__)
#pragma clang attribute push(__attribute__((target("avx512f"))), apply_to = function)
#else
#pragma GCC push_options
#pragma GCC target("avx512f")
#endif
namespace {

typedef float Vec __attribute__((vector_size(64)));
typedef int VecI __attribute__((vector_size(64)));
constexpr int kUnroll = 4;
constexpr bool kFusedProducts = true;
inline Vec fused(Vec a, Vec b, Vec c) { return _mm512_fmadd_ps((__m512)a, (__m512)b, (__m512)c); }
#include "kernels_image.inc"
#include "kernels_sweep.inc"

}  // namespace
#if defined(__clang__)
#pragma clang attribute pop
#else
#pragma GCC pop_options
#endif

const Kernels* avx512_kernels() {
  __builtin_cpu_init();
  return __builtin_cpu_supports("avx512f") ? &kKernels : nullptr;
}
#else
const Kernels* avx512_kernels() { return nullptr; }
#endif

}  // namespace pdq::detail
