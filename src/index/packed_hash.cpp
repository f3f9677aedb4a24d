// The nearest-hash scan is compiled twice on x86-64, once with the POPCNT
// instruction, chosen when the program starts, so the default build still
// runs on any x86-64.

#include "index/packed_hash.h"

#include "index/popcount_clones.h"

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
