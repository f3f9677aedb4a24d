// Kernels for processors with AVX2, chosen at run time: 8-lane vectors.
// The target pragma covers only this file's own code; the standard headers
// are included before it.

#include <cstddef>
#include <cstdint>

#include "dct_table.h"
#include "kernels.h"

namespace pdq::detail {

#if defined(__x86_64__)
#pragma GCC push_options
#pragma GCC target("avx2")
namespace {

typedef float Vec __attribute__((vector_size(32)));
typedef int VecI __attribute__((vector_size(32)));
constexpr int kUnroll = 4;
#include "kernels_impl.inc"

}  // namespace
#pragma GCC pop_options

const Kernels* avx2_kernels() {
  __builtin_cpu_init();
  return __builtin_cpu_supports("avx2") ? &kKernels : nullptr;
}
#else
const Kernels* avx2_kernels() { return nullptr; }
#endif

}  // namespace pdq::detail
