#pragma once
// PDQ perceptual hash of 512x512 RGBA frames, bit for bit reproducible.
// No input/output and no dependency outside the C++ standard library.

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
  /// 64 lowercase hex digits of a 512x512 RGBA frame; InvalidRgbaFrameSize
  /// unless the frame is exactly kRgbaFrameBytes long.
  std::expected<std::string, FrameHashError> hash_rgba_frame(std::span<const std::uint8_t> frame);

 private:
  struct Buffers;
  void blur_and_decimate(std::span<const std::uint8_t> rgba, std::size_t width, std::size_t height);
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
