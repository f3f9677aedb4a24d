// Batch search in one segment. Queries go in chunks; for each table every
// query's probe keys are generated and radix-sorted, so the table is walked
// once in key order, and the candidate (run, query) pairs are sorted by run,
// so representatives are read in file order and each once per chunk. Each candidate run is then
// measured member by member: a member's distance is the representative's, moved by one for each of
// its flipped bits, so a run is found whenever any member is within the distance, and reported as
// exactly its members that are.

#include "index/segment_search.h"

#include <algorithm>
#include <bit>
#include <optional>

#include "index/hash_runs.h"
#include "index/multi_index.h"
#include "index/popcount_clones.h"
#include "index/posting_table.h"

namespace {

constexpr int kChunkBits = 12;  // queries per chunk: 4,096
constexpr std::size_t kChunk = std::size_t{1} << kChunkBits;

struct Chunk {
  std::span<const PackedHash> queries;
  std::uint32_t base = 0;  // index of its first query in the batch
};

// Buffers kept from chunk to chunk, so their pages are touched once.
struct Scratch {
  std::vector<std::uint64_t> probes, pairs, near, spare;
  std::vector<std::uint64_t> seen;  // for each query, the last run it was measured against
};

// Emits, for each query of `pairs` (all of one run), the stretches of the
// run's members within max_distance of it.
Result<void> measure_run(const SegmentReader& segment, std::span<const std::uint64_t> pairs,
                         const Chunk& chunk, int max_distance, std::vector<SegmentHit>& out) {
  const std::uint64_t run = pairs.front() >> kChunkBits;
  const auto rep = segment.rep(run);
  const auto where = segment.locate(run);
  const SegmentRecording& rec = segment.recordings()[segment.recording_of(run)];
  if (!rep || !where || where->position < rec.first_position) return fail(segment.corrupted());
  const std::uint64_t first = where->position - rec.first_position;
  for (std::uint64_t pair : pairs) {
    auto record = RunRecord::parse(where->record, segment.run_radius());
    if (!record || first + record->members() > rec.hashes) return fail(segment.corrupted());
    const PackedHash& query = chunk.queries[pair & (kChunk - 1)];
    const auto q = static_cast<std::uint32_t>(chunk.base + (pair & (kChunk - 1)));
    const PackedHash differ = {(*rep)[0] ^ query[0], (*rep)[1] ^ query[1], (*rep)[2] ^ query[2],
                               (*rep)[3] ^ query[3]};
    const int rep_distance = hamming_distance(*rep, query);
    bool open = false;
    for (std::uint32_t m = 0; m < record->members(); ++m) {
      int d = rep_distance;
      if (m > 0) {
        // A member's distance is its representative's, moved by its flips.
        for (std::uint8_t p : record->next_flips()) d += (differ[p / 64] >> (p % 64) & 1) ? -1 : 1;
      }
      if (d > max_distance) {
        open = false;
        continue;
      }
      const auto index = static_cast<std::uint32_t>(first + m);
      if (open) {
        out.back().hit.last = index;
        out.back().hit.distance = std::min(out.back().hit.distance, static_cast<std::uint32_t>(d));
      } else {
        out.push_back({rec.serial, {q, index, index, static_cast<std::uint32_t>(d)}});
      }
      open = true;
    }
  }
  return {};
}

// Candidate pairs (run << kChunkBits | query) from probing every table,
// sorted by run; a pair found through several tables appears several times.
Result<void> candidates(const SegmentReader& segment, const Chunk& chunk,
                        const std::vector<int>& radii, Scratch& s) {
  s.pairs.clear();
  for (std::size_t t = 0; t < radii.size(); ++t) {
    const Substring sub = segment.layout()[t];
    const std::vector<std::uint32_t> masks = flip_masks(sub.bits, radii[t]);
    s.probes.clear();
    for (std::uint32_t q = 0; q < chunk.queries.size(); ++q) {
      const std::uint32_t key = substring_key(chunk.queries[q], sub);
      for (std::uint32_t mask : masks) s.probes.push_back(std::uint64_t{key ^ mask} << 32 | q);
    }
    sort_by_bits(s.probes, 32, sub.bits, s.spare);
    if (!segment.table(t).join(s.probes, kChunkBits, s.pairs)) return fail(segment.corrupted());
  }
  sort_by_bits(s.pairs, kChunkBits, std::bit_width(kMaxSegmentRuns - 1), s.spare);
  return {};
}

// Keeps the pairs whose representative lies within `limit` of the query,
// reading each representative once; false when one fails its check.
VORLANT_POPCOUNT_CLONES
bool near_pairs(const SegmentReader& segment, const Chunk& chunk, int limit, Scratch& s) {
  s.near.clear();
  std::uint64_t run = ~std::uint64_t{0};
  std::optional<PackedHash> rep;
  for (std::uint64_t pair : s.pairs) {
    if (pair >> kChunkBits != run) {
      run = pair >> kChunkBits;
      rep = segment.rep(run);
      if (!rep) return false;
    }
    const PackedHash& q = chunk.queries[pair & (kChunk - 1)];
    const int d = std::popcount((*rep)[0] ^ q[0]) + std::popcount((*rep)[1] ^ q[1]) +
                  std::popcount((*rep)[2] ^ q[2]) + std::popcount((*rep)[3] ^ q[3]);
    if (d <= limit) s.near.push_back(pair);
  }
  return true;
}

// The same for every run against every query: the search past the tables' reach.
VORLANT_POPCOUNT_CLONES
bool scan_pairs(const SegmentReader& segment, const Chunk& chunk, int limit, Scratch& s) {
  s.near.clear();
  for (std::uint64_t run = 0; run < segment.runs(); ++run) {
    const auto rep = segment.rep(run);
    if (!rep) return false;
    for (std::uint32_t q = 0; q < chunk.queries.size(); ++q) {
      const PackedHash& h = chunk.queries[q];
      const int d = std::popcount((*rep)[0] ^ h[0]) + std::popcount((*rep)[1] ^ h[1]) +
                    std::popcount((*rep)[2] ^ h[2]) + std::popcount((*rep)[3] ^ h[3]);
      if (d <= limit) s.near.push_back(run << kChunkBits | q);
    }
  }
  return true;
}

Result<void> search_chunk(const SegmentReader& segment, const Chunk& chunk, int max_distance,
                          Scratch& s, std::vector<SegmentHit>& out) {
  // A member lies within max_distance only if its run's representative lies
  // within max_distance plus the run's radius.
  const int limit = max_distance + segment.run_radius();
  const auto radii = probe_radii(segment.layout(), max_distance);
  if (radii) {
    if (auto r = candidates(segment, chunk, *radii, s); !r) return r;
    if (!near_pairs(segment, chunk, limit, s)) return fail(segment.corrupted());
  } else if (!scan_pairs(segment, chunk, limit, s)) {  // beyond what the tables reach
    return fail(segment.corrupted());
  }
  // The pairs come sorted by run; a run's queries may repeat (once for each
  // table that found it), so each run's group is cut to its first sightings.
  s.seen.assign(chunk.queries.size(), ~std::uint64_t{0});
  for (std::size_t i = 0, j; i < s.near.size(); i = j) {
    const std::uint64_t run = s.near[i] >> kChunkBits;
    std::size_t kept = i;
    for (j = i; j < s.near.size() && s.near[j] >> kChunkBits == run; ++j) {
      std::uint64_t& seen = s.seen[s.near[j] & (kChunk - 1)];
      if (seen != run) s.near[kept++] = s.near[j];
      seen = run;
    }
    const auto group = std::span(s.near).subspan(i, kept - i);
    if (auto r = measure_run(segment, group, chunk, max_distance, out); !r) return r;
  }
  return {};
}

}  // namespace

Result<void> search_segment(const SegmentReader& segment, std::span<const PackedHash> queries,
                            int max_distance, std::vector<SegmentHit>& out) {
  if (max_distance < 0) return {};
  Scratch scratch;
  for (std::size_t base = 0; base < queries.size(); base += kChunk) {
    const Chunk chunk{queries.subspan(base, std::min(kChunk, queries.size() - base)),
                      static_cast<std::uint32_t>(base)};
    if (auto r = search_chunk(segment, chunk, max_distance, scratch, out); !r) return r;
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
