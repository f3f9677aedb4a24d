// The nearest-hash scan is compiled twice on x86-64, once with the POPCNT
// instruction, chosen when the program starts, so the default build still
// runs on any x86-64.

#include "index/packed_hash.h"

#include <algorithm>
#include <cstring>

#include "index/popcount_clones.h"

#if defined(__x86_64__)
#include <immintrin.h>
#endif

namespace {

// Each byte's value as a hex digit of either case, or 0x80 for any other byte.
constexpr std::array<std::uint8_t, 256> kHexDigit = [] {
  std::array<std::uint8_t, 256> digits{};
  digits.fill(0x80);
  for (int c = 0; c < 10; ++c) digits['0' + c] = static_cast<std::uint8_t>(c);
  for (int c = 0; c < 6; ++c) {
    digits['a' + c] = static_cast<std::uint8_t>(10 + c);
    digits['A' + c] = static_cast<std::uint8_t>(10 + c);
  }
  return digits;
}();

}  // namespace

std::optional<PackedHash> pack_hash(std::string_view hex) {
  // Exactly 64 digits: white space around them would leave fewer than 64.
  if (hex.size() != 64) return std::nullopt;
  PackedHash packed{};
  std::uint8_t bad = 0;
  for (std::size_t w = 0; w < 4; ++w) {
    std::uint64_t word = 0;
    for (char c : hex.substr(w * 16, 16)) {
      const std::uint8_t digit = kHexDigit[static_cast<std::uint8_t>(c)];
      bad |= digit;
      word = word << 4 | (digit & 0x0f);
    }
    packed[w] = word;
  }
  if (bad & 0x80) return std::nullopt;
  return packed;
}

VORLANT_POPCOUNT_CLONES
NearestHash find_nearest(const PackedHash& query, std::span<const PackedHash> hashes) {
  NearestHash nearest;
  for (std::size_t j = 0; j < hashes.size(); ++j) {
    const int distance = hamming_distance(query, hashes[j]);
    // Strictly nearer only, so the lowest index wins a tie.
    if (distance < nearest.distance) nearest = {j, distance};
  }
  return nearest;
}

namespace {

VORLANT_POPCOUNT_CLONES
int nearest_half_each(const std::uint8_t* halves, std::size_t count, std::uint64_t q0,
                      std::uint64_t q1) {
  int best = 257;
  for (std::size_t i = 0; i < count; ++i) {
    std::uint64_t a, b;
    std::memcpy(&a, halves + 16 * i, 8);
    std::memcpy(&b, halves + 16 * i + 8, 8);
    best = std::min(best, std::popcount(a ^ q0) + std::popcount(b ^ q1));
  }
  return best;
}

#if defined(__x86_64__)
#define VORLANT_WIDE __attribute__((target("avx512f,avx512vpopcntdq")))

// Four half hashes' distances from the query, each in both of its lanes:
// each lane's count added to its neighbour's. The masked forms start from
// zeros: GCC 12 warns of the plain ones' undefined starting values.
VORLANT_WIDE inline __m512i half_distances(const std::uint8_t* halves, __m512i query) {
  const __m512i bits = _mm512_popcnt_epi64(_mm512_xor_si512(_mm512_loadu_si512(halves), query));
  return _mm512_add_epi64(bits, _mm512_maskz_shuffle_epi32(0xffff, bits, _MM_PERM_BADC));
}

VORLANT_WIDE inline __m512i lane_min(__m512i a, __m512i b) {
  return _mm512_maskz_min_epu64(0xff, a, b);
}

VORLANT_WIDE int nearest_half_wide(const std::uint8_t* halves, std::size_t count,
                                   std::uint64_t q0, std::uint64_t q1) {
  const auto a = static_cast<long long>(q0), b = static_cast<long long>(q1);
  const __m512i query = _mm512_set_epi64(b, a, b, a, b, a, b, a);
  __m512i best = _mm512_set1_epi64(257);
  std::size_t i = 0;
  // Sixteen at a time, so that the minimum does not wait on each group.
  for (; i + 16 <= count; i += 16) {
    const std::uint8_t* h = halves + 16 * i;
    best = lane_min(best, lane_min(lane_min(half_distances(h, query), half_distances(h + 64, query)),
                                   lane_min(half_distances(h + 128, query),
                                            half_distances(h + 192, query))));
  }
  for (; i + 4 <= count; i += 4) best = lane_min(best, half_distances(halves + 16 * i, query));
  alignas(64) std::uint64_t lanes[8];
  _mm512_store_si512(lanes, best);
  int nearest = nearest_half_each(halves + 16 * i, count - i, q0, q1);
  for (std::uint64_t lane : lanes) nearest = std::min(nearest, static_cast<int>(lane));
  return nearest;
}
#endif

using NearestHalf = int (*)(const std::uint8_t*, std::size_t, std::uint64_t, std::uint64_t);

NearestHalf choose_nearest_half() {
#if defined(__x86_64__)
  __builtin_cpu_init();
  if (__builtin_cpu_supports("avx512vpopcntdq")) return nearest_half_wide;
#endif
  return nearest_half_each;
}

const NearestHalf kNearestHalf = choose_nearest_half();

}  // namespace

int nearest_half(const std::uint8_t* halves, std::size_t count, std::uint64_t q0,
                 std::uint64_t q1) {
  return kNearestHalf(halves, count, q0, q1);
}
