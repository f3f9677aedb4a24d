// The PDQ hash: luminance, two passes of a running-sum box blur, decimation
// to 64x64, a 16x16 DCT, and one bit per coefficient above the median. The
// heavy loops and the median live in the kernels; this file checks the
// image's shape, sequences them and owns the buffers and the bit layout.

#include "pdq/pdq.h"

#include <algorithm>
#include <new>
#include <vector>

#include "dct_table.h"
#include "dihedral.h"
#include "kernels.h"
#include "pdq/pdq_testing.h"
#include "quality.h"

namespace pdq {
namespace {

constexpr std::size_t kMinSide = 5;

FrameHashError hash_failed(std::string text) {
  return FrameHashError{FrameHashError::Kind::HashFailed, 0, 0, std::move(text)};
}

// Coefficient c, B[i][j] with c = 16i + j, owns bit c mod 8 of byte
// 31 - c / 8; read transposed, B[j][i] takes that bit.
Hash256 bits_above(const float* values, float threshold, bool transposed) {
  Hash256 hash{};
  for (std::size_t c = 0; c < 256; ++c) {
    const float v = transposed ? values[c % 16 * 16 + c / 16] : values[c];
    if (v > threshold) hash[31 - c / 8] |= static_cast<std::uint8_t>(1u << (c % 8));
  }
  return hash;
}

const detail::Kernels& best_kernels() {
  if (const detail::Kernels* k = detail::avx512_kernels()) return *k;
  if (const detail::Kernels* k = detail::avx2_kernels()) return *k;
  return detail::baseline_kernels();
}

}  // namespace

std::string FrameHashError::message() const {
  if (kind == Kind::InvalidRgbaFrameSize) {
    return "invalid RGBA frame size: got " + std::to_string(got) + ", expected " +
           std::to_string(expected);
  }
  return "pdq hash failed: " + text;
}

// Floats on 64-byte boundaries, for the frame kernel's working memory.
struct AlignedDelete {
  void operator()(float* p) const { ::operator delete[](p, std::align_val_t{64}); }
};

struct Hasher::Buffers {
  std::unique_ptr<float[], AlignedDelete> frame_work;
  std::vector<float> luma;     // L: height rows, plane_stride(width) apart
  std::vector<float> scratch;  // S: the same shape
  std::vector<float> strip;    // two width x kStripRows planes for the row blur
  std::vector<float> sampled;  // the 64 kept columns, before and after the last column blur
  std::array<float, 64 * 64> decimated{};
  std::array<float, 256> coefficients{};
};

Hasher::Hasher() : Hasher(best_kernels()) {}
Hasher::Hasher(const detail::Kernels& kernels)
    : kernels_(&kernels), buffers_(std::make_unique<Buffers>()) {}
Hasher::~Hasher() = default;

std::expected<Hash256, FrameHashError> Hasher::pdq_hash(std::span<const std::uint8_t> rgba,
                                                        std::size_t width, std::size_t height) {
  return pdq_hash(RgbaImage{rgba, width, height, 0});
}

std::expected<Hash256, FrameHashError> Hasher::pdq_hash(const RgbaImage& image) {
  if (auto done = compute_coefficients(image); !done) return std::unexpected(std::move(done.error()));
  const float* coefficients = buffers_->coefficients.data();
  return bits_above(coefficients, kernels_->median(coefficients), false);
}

std::expected<HashVariants, FrameHashError> Hasher::pdq_hash_variants(const RgbaImage& image) {
  if (auto done = compute_coefficients(image); !done) return std::unexpected(std::move(done.error()));
  const Buffers& b = *buffers_;
  HashVariants result;
  std::array<float, 256> flipped{};
  for (const detail::SignPattern& p : detail::kSignPatterns) {
    detail::flip_odd_frequencies(b.coefficients.data(), p.rows, p.columns, flipped.data());
    const float threshold = kernels_->median(flipped.data());
    result.variants[static_cast<std::size_t>(p.plain)] =
        bits_above(flipped.data(), threshold, false);
    result.variants[static_cast<std::size_t>(p.transposed)] =
        bits_above(flipped.data(), threshold, true);
  }
  result.quality = detail::quality(b.decimated.data());
  return result;
}

// The checks of an image's shape, then its 64x64 samples into `decimated`
// and their DCT into `coefficients`.
std::expected<void, FrameHashError> Hasher::compute_coefficients(const RgbaImage& image) {
  const std::size_t width = image.width, height = image.height;
  if (width < kMinSide || height < kMinSide) return std::unexpected(hash_failed("empty image"));
  const std::size_t size = image.bytes.size();
  // Past this check a row fits in the buffer, so 4 * width does not wrap.
  if (size / 4 / width == 0) return std::unexpected(hash_failed("image buffer too small"));
  const std::size_t row = 4 * width, stride = image.stride ? image.stride : row;
  if (stride < row) return std::unexpected(hash_failed("row stride shorter than a row"));
  if ((size - row) / stride < height - 1) {
    return std::unexpected(hash_failed("image buffer too small"));
  }
  Buffers& b = *buffers_;
  const detail::Kernels& k = *kernels_;
  if (width == kFrameSide && height == kFrameSide && stride == row) {
    if (!b.frame_work) {
      b.frame_work.reset(static_cast<float*>(
          ::operator new[](detail::kFrameWorkFloats * sizeof(float), std::align_val_t{64})));
    }
    k.frame(image.bytes.data(), b.frame_work.get(), b.decimated.data());
  } else {
    blur_and_decimate({image.bytes, width, height, stride});
  }
  k.dct(b.decimated.data(), b.coefficients.data());
  return {};
}

// Images of other sizes, or with gaps between rows: whole planes, two
// passes of rows then columns.
void Hasher::blur_and_decimate(const RgbaImage& image) {
  const std::size_t width = image.width, height = image.height;
  const std::size_t stride = detail::plane_stride(width);
  const std::size_t plane = stride * height;
  Buffers& b = *buffers_;
  // Grow only: a stream of equal frames allocates once.
  if (b.luma.size() < plane) {
    b.luma.resize(plane);
    b.scratch.resize(plane);
  }
  if (b.strip.size() < 2 * width * detail::kStripRows)
    b.strip.resize(2 * width * detail::kStripRows);

  if (b.sampled.size() < 2 * height * detail::kSampledColumns) {
    b.sampled.resize(2 * height * detail::kSampledColumns);
  }

  // Two passes of rows then columns. The first row pass reads the pixels
  // directly; the last column pass runs only down the 64 columns that the
  // decimation keeps, since no other column is ever read.
  const detail::Kernels& k = *kernels_;
  const std::size_t row_window = (width + 127) / 128;
  const std::size_t column_window = (height + 127) / 128;
  float* luma = b.luma.data();
  float* scratch = b.scratch.data();
  k.blur_rows({.rgba = image.bytes.data(), .stride = image.stride},
              {.plane = scratch, .stride = stride}, width, height, row_window, b.strip.data());
  k.blur_columns(scratch, luma, width, height, stride, column_window);

  std::array<std::size_t, detail::kSampledColumns> columns{};
  for (std::size_t j = 0; j < 64; ++j) columns[j] = (2 * j + 1) * width / 128;
  float* gathered = b.sampled.data();
  float* filtered = gathered + height * detail::kSampledColumns;
  k.blur_rows({.plane = luma, .stride = stride},
              {.plane = gathered, .stride = detail::kSampledColumns, .columns = columns.data()},
              width, height, row_window, b.strip.data());
  k.blur_columns(gathered, filtered, detail::kSampledColumns, height, detail::kSampledColumns,
                 column_window);
  for (std::size_t i = 0; i < 64; ++i) {
    const float* row = filtered + (2 * i + 1) * height / 128 * detail::kSampledColumns;
    std::copy(row, row + 64, b.decimated.begin() + static_cast<std::ptrdiff_t>(i * 64));
  }
}

std::expected<std::string, FrameHashError> Hasher::hash_rgba_frame(
    std::span<const std::uint8_t> frame) {
  if (frame.size() != kRgbaFrameBytes) {
    return std::unexpected(FrameHashError{
        FrameHashError::Kind::InvalidRgbaFrameSize, frame.size(), kRgbaFrameBytes, {}});
  }
  auto hash = pdq_hash(frame, kFrameSide, kFrameSide);
  if (!hash) return std::unexpected(std::move(hash.error()));
  return hash_to_hex(*hash);
}

std::expected<Hash256, FrameHashError> pdq_hash(std::span<const std::uint8_t> rgba,
                                                std::size_t width, std::size_t height) {
  Hasher hasher;
  return hasher.pdq_hash(rgba, width, height);
}

std::expected<std::string, FrameHashError> hash_rgba_frame(std::span<const std::uint8_t> frame) {
  Hasher hasher;
  return hasher.hash_rgba_frame(frame);
}

std::string hash_to_hex(const Hash256& hash) {
  constexpr char kDigits[] = "0123456789abcdef";
  std::string text(64, '0');
  for (std::size_t i = 0; i < 32; ++i) {
    text[2 * i] = kDigits[hash[i] >> 4];
    text[2 * i + 1] = kDigits[hash[i] & 0xf];
  }
  return text;
}

std::string_view selected_kernel_name() { return testing::path_name(testing::selected_path()); }

namespace testing {

const detail::Kernels* kernels_for(KernelPath path) {
  switch (path) {
    case KernelPath::Baseline:
      return &detail::baseline_kernels();
    case KernelPath::Avx2:
      return detail::avx2_kernels();
    case KernelPath::Avx512:
      return detail::avx512_kernels();
  }
  return nullptr;
}

KernelPath selected_path() {
  const detail::Kernels* best = &best_kernels();
  for (KernelPath path : kAllPaths) {
    if (kernels_for(path) == best) return path;
  }
  return KernelPath::Baseline;
}

std::string_view path_name(KernelPath path) {
  switch (path) {
    case KernelPath::Baseline:
      return "baseline";
    case KernelPath::Avx2:
      return "avx2";
    case KernelPath::Avx512:
      return "avx512";
  }
  return "unknown";
}

std::span<const float, 1024> dct_matrix() { return std::span<const float, 1024>(detail::kDct); }

}  // namespace testing
}  // namespace pdq
