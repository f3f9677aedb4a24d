// A page checksum fast enough to run on every page a search touches: eight
// 64-bit lanes each take, per 64-byte stripe, the product of the two halves
// of a word mixed with a key that changes from stripe to stripe, and the
// word of the neighbouring lane as it is (the accumulation of the
// well-known XXH3); the lanes are folded with the length at the end. On
// x86-64 two lanes go through each SSE2 register; other processors run the
// same arithmetic one lane at a time, to the same value.

#include "index/checksum.h"

#include <bit>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace {

constexpr std::uint64_t kPrime1 = 0x9E3779B185EBCA87ULL;
constexpr std::uint64_t kPrime2 = 0xC2B2AE3D27D4EB4FULL;
constexpr std::uint64_t kPrime3 = 0x165667B19E3779F9ULL;
constexpr std::uint64_t kStripe = 64;
constexpr std::uint64_t kKeys[8] = {0xbe4ba423396cfeb8, 0x1cad21f72c81017c, 0xdb979083e96dd4de,
                                    0x1f67b3b7a4a44072, 0x78e5c0cc4ee679cb, 0x2172ffcc7dd05a82,
                                    0x8e2443f7744608b8, 0x4c263a81e69035e0};

std::uint64_t load64(const std::uint8_t* p) {
  std::uint64_t v;
  std::memcpy(&v, p, 8);
  return v;
}

// The key of stripe s differs from every other stripe's, so words that
// trade places between stripes change the sum.
std::uint64_t stripe_salt(std::uint64_t s) { return s * kPrime3; }

#if defined(__SSE2__)
void accumulate(std::uint64_t lanes[8], const std::uint8_t* p, std::uint64_t stripes) {
  __m128i acc[4], keys[4];
  for (int j = 0; j < 4; ++j) {
    acc[j] = _mm_loadu_si128(reinterpret_cast<const __m128i*>(lanes + 2 * j));
    keys[j] = _mm_loadu_si128(reinterpret_cast<const __m128i*>(kKeys + 2 * j));
  }
  for (std::uint64_t s = 0; s < stripes; ++s, p += kStripe) {
    const __m128i salt = _mm_set1_epi64x(static_cast<long long>(stripe_salt(s)));
    for (int j = 0; j < 4; ++j) {
      const __m128i w = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 16 * j));
      const __m128i k = _mm_xor_si128(_mm_xor_si128(w, keys[j]), salt);
      acc[j] = _mm_add_epi64(acc[j], _mm_shuffle_epi32(w, _MM_SHUFFLE(1, 0, 3, 2)));
      acc[j] = _mm_add_epi64(acc[j], _mm_mul_epu32(k, _mm_srli_epi64(k, 32)));
    }
  }
  for (int j = 0; j < 4; ++j) _mm_storeu_si128(reinterpret_cast<__m128i*>(lanes + 2 * j), acc[j]);
}
#else
void accumulate(std::uint64_t lanes[8], const std::uint8_t* p, std::uint64_t stripes) {
  for (std::uint64_t s = 0; s < stripes; ++s, p += kStripe) {
    for (int i = 0; i < 8; ++i) {
      const std::uint64_t w = load64(p + 8 * i);
      const std::uint64_t k = w ^ kKeys[i] ^ stripe_salt(s);
      lanes[i ^ 1] += w;
      lanes[i] += (k & 0xffffffffu) * (k >> 32);
    }
  }
}
#endif

}  // namespace

std::uint64_t checksum64(std::span<const std::uint8_t> bytes) {
  std::uint64_t lanes[8] = {kPrime1, kPrime2, kPrime3, kPrime1 + kPrime2,
                            kPrime2 + kPrime3, kPrime3 + kPrime1, ~kPrime1, ~kPrime2};
  const std::uint64_t stripes = bytes.size() / kStripe;
  accumulate(lanes, bytes.data(), stripes);
  std::uint64_t h = bytes.size() * kPrime1;
  for (std::uint64_t lane : lanes) h = std::rotl(h ^ (lane * kPrime2), 31) * kPrime1;
  const std::uint8_t* p = bytes.data() + stripes * kStripe;
  std::size_t left = bytes.size() - stripes * kStripe;
  for (; left >= 8; p += 8, left -= 8) h = std::rotl(h ^ (load64(p) * kPrime2), 27) * kPrime1;
  for (; left > 0; ++p, --left) h = std::rotl(h ^ (*p * kPrime3), 11) * kPrime1;
  h ^= h >> 33;
  h *= kPrime2;
  h ^= h >> 29;
  h *= kPrime3;
  h ^= h >> 32;
  return h;
}
