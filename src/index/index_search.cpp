// Searches each index's segments in turn and keeps the hits of recordings
// its snapshot's catalogue still holds (a removed recording's hashes stay in
// its segment until a merge drops them). Indexes are independent, so a
// split archive is searched part by part and the parts' hits joined by
// recording id.

#include "index/index_search.h"

#include <algorithm>
#include <map>

#include "index/index_store.h"

namespace {

using ByRecording = std::map<std::string, RecordingHits>;

Result<void> search_one(const std::string& path, std::span<const PackedHash> queries,
                        int max_distance, ByRecording& found) {
  auto snapshot = IndexSnapshot::open(path);
  if (!snapshot) return fail(snapshot.error());
  std::vector<SegmentHit> hits;
  for (const OpenSegment& s : snapshot->segments()) {
    if (auto r = search_segment(s.reader, queries, max_distance, hits); !r) return r;
  }
  // Stable, so each recording's stretches keep the order they were found in.
  std::stable_sort(hits.begin(), hits.end(),
                   [](const SegmentHit& a, const SegmentHit& b) { return a.serial < b.serial; });
  for (std::size_t i = 0; i < hits.size();) {
    const std::uint64_t serial = hits[i].serial;
    auto info = snapshot->catalogue().recording(serial);
    if (!info) return fail(info.error());
    for (; i < hits.size() && hits[i].serial == serial; ++i) {
      if (!*info) continue;
      auto [entry, added] = found.try_emplace((*info)->manifest_sha256);
      if (added) entry->second.recording = **info;
      entry->second.hits.push_back(hits[i].hit);
    }
  }
  snapshot->catalogue().end();
  return {};
}

}  // namespace

Result<std::vector<RecordingHits>> search_indexes(std::span<const std::string> index_paths,
                                                  std::span<const PackedHash> queries,
                                                  int max_distance) {
  ByRecording found;
  for (const std::string& path : index_paths) {
    if (auto r = search_one(path, queries, max_distance, found); !r) return fail(r.error());
  }
  std::vector<RecordingHits> out;
  for (auto& [id, recording] : found) {
    merge_hits(recording.hits);
    out.push_back(std::move(recording));
  }
  return out;
}
