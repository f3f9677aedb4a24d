// Batch search in one segment. Queries go in chunks; for each table every
// query's probe keys are generated and radix-sorted, so the table is walked
// in key order, and the candidate (run, query) pairs are sorted too, so
// duplicates from several tables fall together and representatives are read
// in file order. Each candidate run is then measured member by member: a
// member's distance is the representative's, moved by one for each of its
// flipped bits, so a run is found whenever any member is within the
// distance, and reported as exactly its members that are.

#include "index/segment_search.h"

#include <algorithm>
#include <bit>
#include <optional>

#include "index/hash_runs.h"
#include "index/multi_index.h"
#include "index/posting_table.h"

namespace {

constexpr int kChunkBits = 10;  // queries per chunk: 1,024
constexpr std::size_t kChunk = std::size_t{1} << kChunkBits;

struct Chunk {
  std::span<const PackedHash> queries;
  std::uint32_t base = 0;  // index of its first query in the batch
};

// Emits the stretches of run `run`'s members within max_distance of query q.
Result<void> measure_run(const SegmentReader& segment, std::uint64_t run,
                         const std::optional<PackedHash>& rep, const Chunk& chunk,
                         std::uint32_t q, int max_distance, std::vector<SegmentHit>& out) {
  if (!rep) return fail(segment.corrupted());
  const PackedHash& query = chunk.queries[q];
  const int rep_distance = hamming_distance(*rep, query);
  if (rep_distance > max_distance + segment.run_radius()) return {};
  const auto where = segment.locate(run);
  if (!where) return fail(segment.corrupted());
  auto record = RunRecord::parse(where->record, segment.run_radius());
  const SegmentRecording& rec = segment.recordings()[segment.recording_of(run)];
  const std::uint64_t first = where->position - rec.first_position;
  if (!record || first + record->members() > rec.hashes) return fail(segment.corrupted());
  const PackedHash differ = {(*rep)[0] ^ query[0], (*rep)[1] ^ query[1], (*rep)[2] ^ query[2],
                             (*rep)[3] ^ query[3]};
  bool open = false;
  for (std::uint32_t m = 0; m < record->members(); ++m) {
    int d = rep_distance;
    if (m > 0) {
      for (std::uint8_t p : record->next_flips()) d += (differ[p / 64] >> (p % 64) & 1) ? -1 : 1;
    }
    if (d > max_distance) {
      open = false;
      continue;
    }
    const auto index = static_cast<std::uint32_t>(first + m);
    if (open && out.back().hit.last + 1 == index) {
      out.back().hit.last = index;
      out.back().hit.distance = std::min(out.back().hit.distance, static_cast<std::uint32_t>(d));
    } else {
      out.push_back({rec.serial, {chunk.base + q, index, index, static_cast<std::uint32_t>(d)}});
    }
    open = true;
  }
  return {};
}

// Candidate pairs (run << kChunkBits | query) from probing every table.
Result<std::vector<std::uint64_t>> candidates(const SegmentReader& segment, const Chunk& chunk,
                                              const std::vector<int>& radii) {
  std::vector<std::uint64_t> pairs, probes;
  std::vector<std::uint32_t> ids;
  for (std::size_t t = 0; t < radii.size(); ++t) {
    const Substring s = segment.layout()[t];
    const std::vector<std::uint32_t> masks = flip_masks(s.bits, radii[t]);
    probes.clear();
    for (std::uint32_t q = 0; q < chunk.queries.size(); ++q) {
      const std::uint32_t key = substring_key(chunk.queries[q], s);
      for (std::uint32_t mask : masks) probes.push_back(std::uint64_t{key ^ mask} << 32 | q);
    }
    sort_by_bits(probes, 32, s.bits);
    std::uint64_t last_key = ~std::uint64_t{0};
    for (std::uint64_t probe : probes) {
      if (probe >> 32 != last_key) {
        last_key = probe >> 32;
        ids.clear();
        const auto range = segment.table(t).find(static_cast<std::uint32_t>(last_key));
        if (!range || !segment.table(t).append_ids(range->first, range->second, ids)) {
          return fail(segment.corrupted());
        }
      }
      for (std::uint32_t id : ids) pairs.push_back(std::uint64_t{id} << kChunkBits | (probe & 0xffffffffu));
    }
  }
  sort_by_bits(pairs, 0, kChunkBits + std::bit_width(kMaxSegmentRuns - 1));
  pairs.erase(std::unique(pairs.begin(), pairs.end()), pairs.end());
  return pairs;
}

Result<void> search_chunk(const SegmentReader& segment, const Chunk& chunk, int max_distance,
                          std::vector<SegmentHit>& out) {
  const auto radii = probe_radii(segment.layout(), max_distance);
  if (!radii) {  // beyond what the tables reach: every run is a candidate
    for (std::uint64_t run = 0; run < segment.runs(); ++run) {
      const auto rep = segment.rep(run);
      for (std::uint32_t q = 0; q < chunk.queries.size(); ++q) {
        if (auto r = measure_run(segment, run, rep, chunk, q, max_distance, out); !r) return r;
      }
    }
    return {};
  }
  auto pairs = candidates(segment, chunk, *radii);
  if (!pairs) return fail(pairs.error());
  for (std::uint64_t pair : *pairs) {
    const std::uint64_t run = pair >> kChunkBits;
    if (run >= segment.runs()) return fail(segment.corrupted());
    const auto q = static_cast<std::uint32_t>(pair & (kChunk - 1));
    if (auto r = measure_run(segment, run, segment.rep(run), chunk, q, max_distance, out); !r) {
      return r;
    }
  }
  return {};
}

}  // namespace

Result<void> search_segment(const SegmentReader& segment, std::span<const PackedHash> queries,
                            int max_distance, std::vector<SegmentHit>& out) {
  if (max_distance < 0) return {};
  for (std::size_t base = 0; base < queries.size(); base += kChunk) {
    const Chunk chunk{queries.subspan(base, std::min(kChunk, queries.size() - base)),
                      static_cast<std::uint32_t>(base)};
    if (auto r = search_chunk(segment, chunk, max_distance, out); !r) return r;
  }
  return {};
}

void merge_hits(std::vector<QueryHit>& hits) {
  std::sort(hits.begin(), hits.end(), [](const QueryHit& a, const QueryHit& b) {
    return a.query != b.query ? a.query < b.query : a.first < b.first;
  });
  std::size_t kept = 0;
  for (std::size_t i = 0; i < hits.size(); ++i) {
    QueryHit& last = hits[kept == 0 ? 0 : kept - 1];
    if (kept > 0 && last.query == hits[i].query && hits[i].first <= last.last + 1) {
      last.last = std::max(last.last, hits[i].last);
      last.distance = std::min(last.distance, hits[i].distance);
    } else {
      hits[kept++] = hits[i];
    }
  }
  hits.resize(kept);
}
