#pragma once
// The index's exact search over one recording's signed hashes held in
// memory: what match compares a candidate's frames with.

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "index/packed_hash.h"
#include "index/segment_file.h"
#include "index/segment_search.h"
#include "result.h"

class RecordingSearch {
 public:
  /// Builds the runs and tables over `signed_hashes` (in their order).
  explicit RecordingSearch(std::span<const PackedHash> signed_hashes);
  RecordingSearch(RecordingSearch&&) = default;
  RecordingSearch& operator=(RecordingSearch&&) = default;

  /// For each query, every stretch of signed hashes within `max_distance`,
  /// sorted by query, then first index: exactly what comparing the query
  /// with every signed hash finds.
  std::vector<QueryHit> search(std::span<const PackedHash> queries, int max_distance) const;

 private:
  std::vector<std::uint8_t> bytes_;  // a segment of one recording
  std::optional<SegmentReader> reader_;
};
