#pragma once
// The 16x64 DCT matrix as a compile-time constant. The compiler folds the
// double-precision cosine exactly (it evaluates constant builtins with
// correctly rounded arithmetic), so the table does not depend on the libm of
// the machine that runs the program; the tests check every entry against
// its published bit patterns and the whole table against its SHA-256.

#include <array>
#include <bit>
#include <cstdint>

namespace pdq::detail {

constexpr std::array<float, 16 * 64> make_dct_table() {
  const float p = std::bit_cast<float>(std::uint32_t{0x3CC90FDB});  // fl(pi / 128)
  const float q = std::bit_cast<float>(std::uint32_t{0x3E3504F3});  // fl(sqrt(2 / 64))
  std::array<float, 16 * 64> d{};
  for (int i = 0; i < 16; ++i) {
    for (int k = 0; k < 64; ++k) {
      const float angle = (p * static_cast<float>(i + 1)) * static_cast<float>(2 * k + 1);
      // The exact cosine of the single-precision angle, rounded once.
      const float c = static_cast<float>(__builtin_cos(static_cast<double>(angle)));
      d[i * 64 + k] = q * c;
    }
  }
  return d;
}

inline constexpr std::array<float, 16 * 64> kDct = make_dct_table();

/// kDctT[k * 16 + j] = D[j][k], so the second product reads lanes side by side.
constexpr std::array<float, 64 * 16> transpose_dct() {
  std::array<float, 64 * 16> t{};
  for (int j = 0; j < 16; ++j)
    for (int k = 0; k < 64; ++k) t[k * 16 + j] = kDct[j * 64 + k];
  return t;
}

inline constexpr std::array<float, 64 * 16> kDctT = transpose_dct();

static_assert(std::bit_cast<std::uint32_t>(kDct[0 * 64 + 0]) == 0x3E34F6FE);
static_assert(std::bit_cast<std::uint32_t>(kDct[0 * 64 + 21]) == 0x3DB272BE);
static_assert(std::bit_cast<std::uint32_t>(kDct[0 * 64 + 31]) == 0x3B8E284E);
static_assert(std::bit_cast<std::uint32_t>(kDct[0 * 64 + 32]) == 0xBB8E286F);
static_assert(std::bit_cast<std::uint32_t>(kDct[1 * 64 + 0]) == 0x3E34CD21);
static_assert(std::bit_cast<std::uint32_t>(kDct[15 * 64 + 0]) == 0x3E273D74);
static_assert(std::bit_cast<std::uint32_t>(kDct[15 * 64 + 63]) == 0x3E273D75);

}  // namespace pdq::detail
