#pragma once
// Compares the PDQ hashes of a candidate's frames with a recording's signed
// hashes, one candidate frame at a time: the nearest signed hash of each
// frame by Hamming distance, and where the matched frames place the
// candidate inside the recording.

#include <array>
#include <cstddef>
#include <cstdint>
#include <map>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

/// The 256 bits of a PDQ hash as four words, so a distance is four popcounts.
using PackedHash = std::array<std::uint64_t, 4>;

/// The hash of 64 hex digits (either case); nullopt for any other text.
std::optional<PackedHash> pack_hash(std::string_view hex);
/// The number of bits in which the two hashes differ, 0 to 256.
int hamming_distance(const PackedHash& a, const PackedHash& b);

struct NearestHash {
  std::size_t index = 0;
  int distance = 257;  // 257, and index 0, when there was nothing to compare with
};

/// The hash of `hashes` nearest to `query`; among equally near ones the one
/// with the lowest index.
NearestHash find_nearest(const PackedHash& query, std::span<const PackedHash> hashes);

struct MatchStatistics {
  std::uint64_t total_query_frames = 0;
  std::uint64_t matched_frames = 0;
  std::optional<double> avg_distance;    // mean nearest distance of the matched frames
  std::optional<double> offset_seconds;  // where the candidate starts in the recording
};

/// Takes the candidate's frames in order and keeps no frame: only counts, a
/// sum, and how many matched frames place the candidate at each offset.
class FrameMatcher {
 public:
  /// A frame matches when its nearest signed hash is at most `max_distance`
  /// bits away. The rates turn frame indices into seconds.
  FrameMatcher(std::vector<PackedHash> signed_hashes, double signed_fps, double candidate_fps,
               int max_distance);
  /// Compares the candidate's next frame.
  void add_frame(const PackedHash& frame);
  /// The offset is the lower median of the matched frames' offsets: the
  /// earlier of the two middle values when their count is even.
  MatchStatistics statistics() const;

 private:
  std::vector<PackedHash> signed_hashes_;
  double signed_fps_;
  double candidate_fps_;
  int max_distance_;
  std::uint64_t frames_ = 0;
  std::uint64_t matched_ = 0;
  std::uint64_t distance_sum_ = 0;
  std::map<double, std::uint64_t> offsets_;  // seconds -> matched frames that give it
};
