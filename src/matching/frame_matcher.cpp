// The matching core. Hashes are packed into four 64-bit words so one
// comparison is four XORs and four popcounts; the nearest-hash scan is
// compiled twice on x86-64, once with the POPCNT instruction, chosen when
// the program starts, so the default build still runs on any x86-64.

#include "matching/frame_matcher.h"

#include <bit>

#include "encoding/hex.h"

namespace {

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
  if (hex.size() != 64) return std::nullopt;
  auto bytes = hex_decode(hex);
  if (!bytes || bytes->size() != 32) return std::nullopt;
  PackedHash packed{};
  for (std::size_t i = 0; i < bytes->size(); ++i) {
    packed[i / 8] = (packed[i / 8] << 8) | (*bytes)[i];
  }
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
