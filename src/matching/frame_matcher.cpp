// The matching core. Hashes are packed into four 64-bit words so one
// comparison is four XORs and four popcounts; the nearest-hash scan is
// compiled twice on x86-64, once with the POPCNT instruction, chosen when
// the program starts, so the default build still runs on any x86-64.

#include "matching/frame_matcher.h"

#include <bit>


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

// Where frame `candidate_index` of the candidate, matched to signed frame
// `signed_index`, places the candidate's start. At one rate the difference
// of the indices is divided once, so equal differences give equal offsets.
double frame_offset_seconds(std::size_t signed_index, std::uint64_t candidate_index,
                            double signed_fps, double candidate_fps) {
  const auto j = static_cast<double>(signed_index);
  const auto i = static_cast<double>(candidate_index);
  if (signed_fps == candidate_fps) return (j - i) / signed_fps;
  return j / signed_fps - i / candidate_fps;
}

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

int hamming_distance(const PackedHash& a, const PackedHash& b) {
  return std::popcount(a[0] ^ b[0]) + std::popcount(a[1] ^ b[1]) + std::popcount(a[2] ^ b[2]) +
         std::popcount(a[3] ^ b[3]);
}

#if defined(__x86_64__)
__attribute__((target_clones("popcnt", "default")))
#endif
NearestHash find_nearest(const PackedHash& query, std::span<const PackedHash> hashes) {
  NearestHash nearest;
  for (std::size_t j = 0; j < hashes.size(); ++j) {
    const int distance = hamming_distance(query, hashes[j]);
    // Strictly nearer only, so the lowest index wins a tie.
    if (distance < nearest.distance) nearest = {j, distance};
  }
  return nearest;
}

FrameMatcher::FrameMatcher(std::vector<PackedHash> signed_hashes, double signed_fps,
                           double candidate_fps, int max_distance)
    : signed_hashes_(std::move(signed_hashes)),
      signed_fps_(signed_fps),
      candidate_fps_(candidate_fps),
      max_distance_(max_distance) {}

void FrameMatcher::add_frame(const PackedHash& frame) {
  const std::uint64_t index = frames_++;
  const NearestHash nearest = find_nearest(frame, signed_hashes_);
  if (nearest.distance > max_distance_) return;
  ++matched_;
  distance_sum_ += static_cast<std::uint64_t>(nearest.distance);
  ++offsets_[frame_offset_seconds(nearest.index, index, signed_fps_, candidate_fps_)];
}

MatchStatistics FrameMatcher::statistics() const {
  MatchStatistics s{frames_, matched_, std::nullopt, std::nullopt};
  if (matched_ == 0) return s;
  s.avg_distance = static_cast<double>(distance_sum_) / static_cast<double>(matched_);
  // The (n+1)/2-th smallest offset, counting from one: the middle one, or
  // the earlier of the two middle ones.
  const std::uint64_t rank = (matched_ + 1) / 2;
  std::uint64_t seen = 0;
  for (const auto& [offset, count] : offsets_) {
    seen += count;
    if (seen >= rank) {
      s.offset_seconds = offset;
      break;
    }
  }
  return s;
}
