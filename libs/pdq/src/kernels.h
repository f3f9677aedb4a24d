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

/// Decimation keeps 64 of the columns.
inline constexpr std::size_t kSampledColumns = 64;

/// Where the row blur reads: the luminance of an RGBA image with rows
/// `stride` bytes apart, or a plane of rows `stride` floats apart.
struct RowSource {
  const std::uint8_t* rgba = nullptr;
  const float* plane = nullptr;
  std::size_t stride = 0;
};

/// Where it writes: every column into a plane, or only the kSampledColumns
/// listed in `columns` (column j of the result is input column columns[j]).
struct RowSink {
  float* plane = nullptr;
  std::size_t stride = 0;
  const std::size_t* columns = nullptr;
};

/// Working memory of the fused 512x512 frame kernel, in floats; the block
/// must be aligned to 64 bytes. Its contents need not survive between calls.
inline constexpr std::size_t kFrameWorkFloats = 528 * 176 + 64 * (528 + 512);

struct Kernels {
  /// Box filter along every row of a width x height image. The luminance of
  /// pixel (x, y) is fl(fl(fl(R*0.299) + fl(G*0.587)) + fl(B*0.114)).
  void (*blur_rows)(const RowSource& source, const RowSink& sink, std::size_t width,
                    std::size_t height, std::size_t window, float* strip);
  /// Box filter along every column of a plane.
  void (*blur_columns)(const float* in, float* out, std::size_t width, std::size_t height,
                       std::size_t stride, std::size_t window);
  /// The 64x64 decimated plane of a 512x512 RGBA frame: luminance, both
  /// blur passes and the sampling in one sweep, identical to blur_rows and
  /// blur_columns run twice over whole planes.
  void (*frame)(const std::uint8_t* rgba, float* work, float* decimated);
  /// B (16x16) = D * A * D^T for A 64x64, sums in increasing k.
  void (*dct)(const float* a, float* b);
  /// The 128th smallest of 256 values (the lower middle one).
  float (*median)(const float* values);
};

const Kernels& baseline_kernels();
/// nullptr when the processor lacks the instruction set.
const Kernels* avx2_kernels();
const Kernels* avx512_kernels();

}  // namespace pdq::detail
