#pragma once
// A plain scalar transcription of the PDQ hash, written straight from the
// algorithm's description with simple loops and no vectorisation. The tests
// compare the library against it bit for bit; the benchmark times it.

#include <array>
#include <bit>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace pdq_reference {

inline std::array<float, 16 * 64> dct_matrix() {
  const float p = std::bit_cast<float>(std::uint32_t{0x3CC90FDB});
  const float q = std::bit_cast<float>(std::uint32_t{0x3E3504F3});
  std::array<float, 16 * 64> d{};
  for (int i = 0; i < 16; ++i) {
    for (int k = 0; k < 64; ++k) {
      const float a = (p * static_cast<float>(i + 1)) * static_cast<float>(2 * k + 1);
      d[i * 64 + k] = q * static_cast<float>(std::cos(static_cast<double>(a)));
    }
  }
  return d;
}

// One-dimensional running-sum box filter over n values read with a stride.
inline void box_filter(const float* in, float* out, std::size_t n, std::size_t stride,
                       std::size_t window) {
  const std::size_t half = (window + 2) / 2;
  float s = 0;
  std::size_t c = 0, r = 0, l = 0, o = 0;
  for (std::size_t t = 0; t < half - 1; ++t) {
    s = s + in[r * stride];
    ++c;
    ++r;
  }
  for (std::size_t t = 0; t < window - half + 1; ++t) {
    s = s + in[r * stride];
    ++c;
    out[o * stride] = s / static_cast<float>(c);
    ++r;
    ++o;
  }
  for (std::size_t t = 0; t < n - window; ++t) {
    s = s + in[r * stride];
    s = s - in[l * stride];
    out[o * stride] = s / static_cast<float>(c);
    ++r;
    ++l;
    ++o;
  }
  for (std::size_t t = 0; t < half - 1; ++t) {
    s = s - in[l * stride];
    --c;
    out[o * stride] = s / static_cast<float>(c);
    ++l;
    ++o;
  }
}

inline float torben_median(const std::array<float, 256>& b) {
  float min = b[0], max = b[0];
  for (float v : b) {
    if (v < min) min = v;
    if (v > max) max = v;
  }
  int less, greater, equal;
  float guess, max_below, min_above;
  for (;;) {
    guess = (max + min) * 0.5f;
    less = greater = equal = 0;
    max_below = min;
    min_above = max;
    for (float v : b) {
      if (v < guess) {
        ++less;
        if (v > max_below) max_below = v;
      } else if (v > guess) {
        ++greater;
        if (v < min_above) min_above = v;
      } else {
        ++equal;
      }
    }
    if (less <= 128 && greater <= 128) break;
    if (less > greater) {
      max = max_below;
    } else {
      min = min_above;
    }
  }
  if (less >= 128) return max_below;
  if (less + equal >= 128) return guess;
  return min_above;
}

/// The 256 DCT coefficients B[i][j] at 16 * i + j of a width x height RGBA
/// image (both at least 5).
inline std::array<float, 256> coefficients(std::span<const std::uint8_t> rgba, std::size_t w,
                                           std::size_t h) {
  const float wr = std::bit_cast<float>(std::uint32_t{0x3E991687});
  const float wg = std::bit_cast<float>(std::uint32_t{0x3F1645A2});
  const float wb = std::bit_cast<float>(std::uint32_t{0x3DE978D5});
  std::vector<float> lum(w * h), scratch(w * h);
  for (std::size_t p = 0; p < w * h; ++p) {
    const float r = rgba[4 * p], g = rgba[4 * p + 1], b = rgba[4 * p + 2];
    const float rg = r * wr + g * wg;
    lum[p] = rg + b * wb;
  }
  const std::size_t fr = (w + 127) / 128, fc = (h + 127) / 128;
  for (int pass = 0; pass < 2; ++pass) {
    for (std::size_t y = 0; y < h; ++y) box_filter(&lum[y * w], &scratch[y * w], w, 1, fr);
    for (std::size_t x = 0; x < w; ++x) box_filter(&scratch[x], &lum[x], h, w, fc);
  }
  float a[64][64];
  for (std::size_t i = 0; i < 64; ++i)
    for (std::size_t j = 0; j < 64; ++j)
      a[i][j] = lum[((2 * i + 1) * h / 128) * w + (2 * j + 1) * w / 128];

  static const std::array<float, 16 * 64> d = dct_matrix();
  float t[16][64];
  for (int i = 0; i < 16; ++i) {
    for (int j = 0; j < 64; ++j) {
      float s = 0;
      for (int k = 0; k < 64; ++k) s = s + d[i * 64 + k] * a[k][j];
      t[i][j] = s;
    }
  }
  std::array<float, 256> b{};
  for (int i = 0; i < 16; ++i) {
    for (int j = 0; j < 16; ++j) {
      float s = 0;
      for (int k = 0; k < 64; ++k) s = s + t[i][k] * d[j * 64 + k];
      b[i * 16 + j] = s;
    }
  }
  return b;
}

/// The 32 hash bytes: coefficient k owns bit k % 8 of byte 31 - k / 8.
inline std::array<std::uint8_t, 32> pdq_hash(std::span<const std::uint8_t> rgba, std::size_t w,
                                             std::size_t h) {
  const std::array<float, 256> b = coefficients(rgba, w, h);
  const float m = torben_median(b);
  std::array<std::uint8_t, 32> hash{};
  for (int k = 0; k < 256; ++k)
    if (b[k] > m) hash[31 - k / 8] |= static_cast<std::uint8_t>(1u << (k % 8));
  return hash;
}

}  // namespace pdq_reference
