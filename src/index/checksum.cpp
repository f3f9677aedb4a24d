// A page checksum fast enough to run on every page a search touches: four
// independent multiply-rotate lanes over 8-byte words (the round of the
// well-known xxHash64), folded with the length at the end.

#include "index/checksum.h"

#include <bit>
#include <cstring>

namespace {

constexpr std::uint64_t kPrime1 = 0x9E3779B185EBCA87ULL;
constexpr std::uint64_t kPrime2 = 0xC2B2AE3D27D4EB4FULL;
constexpr std::uint64_t kPrime3 = 0x165667B19E3779F9ULL;

std::uint64_t round(std::uint64_t lane, std::uint64_t word) {
  return std::rotl(lane + word * kPrime2, 31) * kPrime1;
}

std::uint64_t load64(const std::uint8_t* p) {
  std::uint64_t v;
  std::memcpy(&v, p, 8);
  return v;
}

}  // namespace

std::uint64_t checksum64(std::span<const std::uint8_t> bytes) {
  std::uint64_t lanes[4] = {kPrime1 + kPrime2, kPrime2, 0, 0 - kPrime1};
  const std::uint8_t* p = bytes.data();
  std::size_t left = bytes.size();
  for (; left >= 32; p += 32, left -= 32) {
    for (int i = 0; i < 4; ++i) lanes[i] = round(lanes[i], load64(p + 8 * i));
  }
  std::uint64_t h = std::rotl(lanes[0], 1) + std::rotl(lanes[1], 7) + std::rotl(lanes[2], 12) +
                    std::rotl(lanes[3], 18) + bytes.size();
  for (; left >= 8; p += 8, left -= 8) h = std::rotl(h ^ round(0, load64(p)), 27) * kPrime1;
  for (; left > 0; ++p, --left) h = std::rotl(h ^ (*p * kPrime3), 11) * kPrime1;
  h ^= h >> 33;
  h *= kPrime2;
  h ^= h >> 29;
  return h;
}
