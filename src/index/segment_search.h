#pragma once
// Exact Hamming search of a batch of query hashes in one segment.

#include <cstdint>
#include <span>
#include <vector>

#include "index/packed_hash.h"
#include "index/segment_file.h"
#include "result.h"

/// A stretch of one recording's signed hashes, all within the search's
/// distance of one query.
struct QueryHit {
  std::uint32_t query = 0;  // index into the batch of queries
  std::uint32_t first = 0;  // signed hash indices, both included
  std::uint32_t last = 0;
  std::uint32_t distance = 0;  // the smallest in the stretch
  bool operator==(const QueryHit&) const = default;
};

struct SegmentHit {
  std::uint64_t serial = 0;  // the recording's number in its catalogue
  QueryHit hit;
};

/// Appends every stretch of the segment's hashes within `max_distance` of
/// each query: exactly the hashes a comparison with every one would find.
/// Stretches may be cut where runs end; merge_hits joins them. Fails with the
/// segment's "... is corrupted" when a page or value read is found damaged.
Result<void> search_segment(const SegmentReader& segment, std::span<const PackedHash> queries,
                            int max_distance, std::vector<SegmentHit>& out);

/// Sorts hits by query, then first index, and joins the stretches of one
/// query that touch or overlap, keeping the smaller distance.
void merge_hits(std::vector<QueryHit>& hits);
