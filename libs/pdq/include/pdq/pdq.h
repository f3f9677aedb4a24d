#pragma once
// PDQ perceptual hash of RGBA images (512x512 frames on the fast path), bit
// for bit reproducible, with the hashes of the image's eight symmetries and
// PDQ's quality figure. No input/output and no dependency outside the C++
// standard library.

#include <array>
#include <cstddef>
#include <cstdint>
#include <expected>
#include <memory>
#include <span>
#include <string>
#include <string_view>

namespace pdq {

inline constexpr std::size_t kRgbaFrameBytes = 1048576;  // 512 x 512 x 4
inline constexpr std::size_t kFrameSide = 512;

struct FrameHashError {
  enum class Kind { InvalidRgbaFrameSize, HashFailed };
  Kind kind = Kind::HashFailed;
  std::uint64_t got = 0;       // InvalidRgbaFrameSize
  std::uint64_t expected = 0;  // InvalidRgbaFrameSize
  std::string text;            // HashFailed
  /// "invalid RGBA frame size: got N, expected 1048576" or "pdq hash failed: ...".
  std::string message() const;
};

using Hash256 = std::array<std::uint8_t, 32>;

/// An RGBA image (4 bytes a pixel) whose rows start `stride` bytes apart,
/// such as the picture area inside a letterboxed frame: `bytes` begins at
/// its top-left pixel and holds at least (height - 1) * stride + 4 * width
/// bytes. A stride of 0 means rows without gaps (4 * width).
struct RgbaImage {
  std::span<const std::uint8_t> bytes;
  std::size_t width = 0;
  std::size_t height = 0;
  std::size_t stride = 0;
};

/// The eight symmetries of the square, each named as the operation that
/// turns an original picture into the transformed one.
enum class Dihedral : std::uint8_t {
  None,
  Mirrored,  // left and right swapped
  Flipped,   // top and bottom swapped
  Rotated90Clockwise,
  Rotated180,
  Rotated90CounterClockwise,
  Transposed,      // mirrored across the top-left to bottom-right diagonal
  AntiTransposed,  // mirrored across the other diagonal
};
inline constexpr std::size_t kDihedralCount = 8;

/// "none", "mirrored", "flipped", "rotated 90 clockwise", "rotated 180",
/// "rotated 90 counter-clockwise", "transposed" or "anti-transposed".
std::string_view dihedral_name(Dihedral transform);

/// An image's hash, the hashes of its symmetries and its quality, all from
/// one luminance, blur and DCT.
struct HashVariants {
  /// variant(T): the hash this image's picture had before T turned it into
  /// this image, derived from this image's own DCT (B transposed and the
  /// signs of its odd-frequency rows or columns flipped, the median taken
  /// again). When a candidate frame is a recording's picture transformed by
  /// T, the candidate's variant(T) approximates the recording's hash: equal
  /// for Transposed, within about 10 to 22 bits of 256 for one reversed
  /// axis and 10 to 28 for two on 512x512 test frames, since a sample sits
  /// 1.5 pixels past its cell's centre and a reversed axis moves it to the
  /// other side. variant(None) is the image's hash, bit for bit.
  std::array<Hash256, kDihedralCount> variants{};
  /// PDQ's quality, 0 to 100: the sum over neighbouring 64x64 samples, down
  /// and across, of |difference| * 100 / 255 (each term truncated), over 90,
  /// capped at 100. Featureless images (uniform, nearly flat) come out at
  /// or near 0, and their hash should not be trusted.
  int quality = 0;

  const Hash256& hash() const { return variants[0]; }
  const Hash256& variant(Dihedral t) const { return variants[static_cast<std::size_t>(t)]; }
};

namespace detail {
struct Kernels;
}

/// Reusable working buffers, so hashing a stream allocates nothing per frame
/// once the first image of a size has been hashed. One hasher per thread.
class Hasher {
 public:
  /// Uses the fastest kernels this processor runs; all give the same bits.
  Hasher();
  /// Uses the given kernels (see pdq_testing.h).
  explicit Hasher(const detail::Kernels& kernels);
  ~Hasher();
  Hasher(const Hasher&) = delete;
  Hasher& operator=(const Hasher&) = delete;

  /// The 32-byte hash of a width x height RGBA image (4 bytes a pixel, rows
  /// without gaps); "empty image" below 5 pixels a side, "image buffer too
  /// small" when the bytes are fewer than the image needs.
  std::expected<Hash256, FrameHashError> pdq_hash(std::span<const std::uint8_t> rgba,
                                                  std::size_t width, std::size_t height);
  /// The same for an image with rows `stride` bytes apart, read in place;
  /// also "row stride shorter than a row" when the stride is below 4 * width.
  std::expected<Hash256, FrameHashError> pdq_hash(const RgbaImage& image);
  /// The hash, its eight variants and the quality; fails as pdq_hash does.
  std::expected<HashVariants, FrameHashError> pdq_hash_variants(const RgbaImage& image);
  /// 64 lowercase hex digits of a 512x512 RGBA frame; InvalidRgbaFrameSize
  /// unless the frame is exactly kRgbaFrameBytes long.
  std::expected<std::string, FrameHashError> hash_rgba_frame(std::span<const std::uint8_t> frame);

 private:
  struct Buffers;
  std::expected<void, FrameHashError> compute_coefficients(const RgbaImage& image);
  void blur_and_decimate(const RgbaImage& image);
  const detail::Kernels* kernels_;
  std::unique_ptr<Buffers> buffers_;
};

/// One-shot forms of the hasher's operations (they allocate the buffers).
std::expected<Hash256, FrameHashError> pdq_hash(std::span<const std::uint8_t> rgba,
                                                std::size_t width, std::size_t height);
std::expected<std::string, FrameHashError> hash_rgba_frame(std::span<const std::uint8_t> frame);

/// 64 lowercase hex digits, byte 0 first, high nibble first.
std::string hash_to_hex(const Hash256& hash);

/// The code path a default Hasher takes on this processor: "baseline",
/// "avx2" or "avx512". Every path gives the same bits.
std::string_view selected_kernel_name();

}  // namespace pdq
