// One recording's signed hashes as a segment built in memory, searched by
// the same code that searches the index's files, so match and search agree
// hash for hash.

#include "index/recording_search.h"

#include "index/hash_runs.h"
#include "index/segment_writer.h"

RecordingSearch::RecordingSearch(std::span<const PackedHash> signed_hashes) {
  RunList runs;
  append_runs(signed_hashes, runs);
  const RecordingRuns recording = runs_of(runs, 0, signed_hashes.size());
  bytes_ = build_segment(signed_hashes.empty() ? std::span<const RecordingRuns>()
                                               : std::span(&recording, 1));
  // Built here and never written out, so it cannot fail its checks.
  if (auto reader = SegmentReader::open(bytes_, "in memory")) reader_ = std::move(*reader);
}

std::vector<QueryHit> RecordingSearch::search(std::span<const PackedHash> queries,
                                              int max_distance) const {
  std::vector<SegmentHit> found;
  if (reader_) (void)search_segment(*reader_, queries, max_distance, found);
  std::vector<QueryHit> hits;
  hits.reserve(found.size());
  for (const SegmentHit& h : found) hits.push_back(h.hit);
  merge_hits(hits);
  return hits;
}
