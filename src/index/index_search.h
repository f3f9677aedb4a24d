#pragma once
// Search of one or more indexes for a batch of query hashes: the signed
// recordings a clip's frames come from, and where in them.

#include <span>
#include <string>
#include <vector>

#include "index/catalogue.h"
#include "index/packed_hash.h"
#include "index/segment_search.h"
#include "result.h"

/// One recording's hits: for each query, the stretches of its signed
/// hashes within the distance, sorted by query, then first index.
struct RecordingHits {
  RecordingInfo recording;
  std::vector<QueryHit> hits;
};

/// Exact search of every index in `index_paths`, each as of one snapshot;
/// a recording found in several indexes appears once, with the catalogue
/// entry of the first. Recordings are ordered by manifest SHA-256.
Result<std::vector<RecordingHits>> search_indexes(std::span<const std::string> index_paths,
                                                  std::span<const PackedHash> queries,
                                                  int max_distance);
