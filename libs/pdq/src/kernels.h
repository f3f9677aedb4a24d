#pragma once
// The inner loops of the hash, compiled once per instruction set. Every
// kernel vectorises across independent lanes only (pixels, rows, columns,
// DCT outputs), so each lane performs the same rounded single-precision
// operations, in the same order, as the plain algorithm.

#include <cstddef>
#include <cstdint>

namespace pdq::detail {

/// Rows the row blur handles side by side; the strip buffer holds two
/// width x kStripRows planes.
inline constexpr std::size_t kStripRows = 64;

/// Planes keep rows `stride` floats apart: a multiple of 16 floats, padded
/// so that the rows of a power-of-two width do not all fall into the same
/// cache sets when a strip is transposed.
constexpr std::size_t plane_stride(std::size_t width) { return (width + 15) / 16 * 16 + 16; }

struct Kernels {
  /// out[y * stride + x] = fl(fl(fl(R*0.299) + fl(G*0.587)) + fl(B*0.114))
  /// of pixel (x, y) of a gap-free RGBA image.
  void (*luminance)(const std::uint8_t* rgba, float* out, std::size_t width, std::size_t height,
                    std::size_t stride);
  /// Box filter along every row of a width x height plane.
  void (*blur_rows)(const float* in, float* out, std::size_t width, std::size_t height,
                    std::size_t stride, std::size_t window, float* strip);
  /// Box filter along every column.
  void (*blur_columns)(const float* in, float* out, std::size_t width, std::size_t height,
                       std::size_t stride, std::size_t window);
  /// B (16x16) = D * A * D^T for A 64x64, sums in increasing k.
  void (*dct)(const float* a, float* b);
};

const Kernels& baseline_kernels();
/// nullptr when the processor lacks the instruction set.
const Kernels* avx2_kernels();
const Kernels* avx512_kernels();

}  // namespace pdq::detail
