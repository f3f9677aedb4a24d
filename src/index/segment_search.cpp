// Batch search in one segment. Queries go in chunks. For each table, the
// chunk's probe keys come region by region (probe_regions) and each region
// is looked up in the table, read forward; the candidate (run, query) pairs
// found are dealt into partitions of a few thousand runs, so that measuring
// them against the runs' representatives reads memory that stays in the
// cache. A table's pages are let go once it has been read. Where a table
// files blocks of runs, a candidate is every run of its block.
// A near run is then measured member by member: a member's distance is the
// representative's, moved by one for each of its flipped bits, so a run is
// found whenever any member is within the distance, and reported as
// exactly its members that are.

#include "index/segment_search.h"

#include <algorithm>
#include <bit>
#include <optional>

#include "index/hash_runs.h"
#include "index/multi_index.h"
#include "index/popcount_clones.h"
#include "index/posting_table.h"
#include "index/probe_regions.h"

namespace {

constexpr int kQueryBits = 13;  // queries per chunk: 8,192
constexpr std::size_t kChunk = std::size_t{1} << kQueryBits;
constexpr std::uint32_t kQueryMask = kChunk - 1;
// Runs per partition: their representatives (256 KiB) stay in the cache
// while the partition's pairs are measured.
constexpr int kPartBits = 13;
// Keys per region below the split: a region's bucket offsets fill 32 KiB.
constexpr int kSplitBits = 12;

struct Chunk {
  std::span<const PackedHash> queries;
  std::uint32_t base = 0;  // index of its first query in the batch
};

// For each partition, the candidate pairs (run within the partition <<
// kQueryBits | query).
using Partitions = std::vector<std::vector<std::uint32_t>>;

// The runs of one partition near some query, each with the set of those
// queries: a pair found again, through another table or key, sets a bit
// already set, so repeats cost nothing to drop.
class NearRuns {
 public:
  NearRuns() : slot_(std::size_t{1} << kPartBits, 0) {}
  void add(std::uint32_t run, std::uint32_t query) {
    std::uint32_t& slot = slot_[run];
    if (slot == 0) {
      runs_.push_back(run);
      slot = static_cast<std::uint32_t>(runs_.size());
      bits_.resize(runs_.size() * kWords, 0);
    }
    bits_[(slot - 1) * kWords + query / 64] |= std::uint64_t{1} << (query % 64);
  }
  // Calls visit(run, queries) for each run in increasing order, then forgets them.
  template <class Visit>
  Result<void> drain(Visit&& visit) {
    std::sort(runs_.begin(), runs_.end());
    Result<void> result;
    for (std::uint32_t run : runs_) {
      const std::uint64_t* bits = &bits_[(slot_[run] - 1) * kWords];
      queries_.clear();
      for (std::size_t w = 0; w < kWords; ++w) {
        for (std::uint64_t b = bits[w]; b != 0; b &= b - 1) {
          queries_.push_back(static_cast<std::uint32_t>(w * 64) +
                             static_cast<std::uint32_t>(std::countr_zero(b)));
        }
      }
      if (result) result = visit(run, std::span<const std::uint32_t>(queries_));
    }
    for (std::uint32_t run : runs_) slot_[run] = 0;
    runs_.clear();
    bits_.clear();
    return result;
  }

 private:
  static constexpr std::size_t kWords = kChunk / 64;
  std::vector<std::uint32_t> slot_;  // for each run, 1 + its place in runs_, or 0
  std::vector<std::uint32_t> runs_, queries_;
  std::vector<std::uint64_t> bits_;  // kWords for each of runs_
};

// Buffers kept from chunk to chunk, so their pages are touched once.
struct Scratch {
  std::vector<std::uint32_t> keys;
  std::vector<std::uint64_t> probes, found;
  NearRuns near;
  Partitions parts;
};

// Emits, for each of `queries`, the stretches of run `run`'s members within
// max_distance of it.
Result<void> measure_run(const SegmentReader& segment, std::uint64_t run,
                         std::span<const std::uint32_t> queries, const Chunk& chunk,
                         int max_distance, std::vector<SegmentHit>& out) {
  const auto rep = segment.rep(run);
  const auto where = segment.locate(run);
  const SegmentRecording& rec = segment.recordings()[segment.recording_of(run)];
  if (!rep || !where || where->position < rec.first_position) return fail(segment.corrupted());
  const std::uint64_t first = where->position - rec.first_position;
  for (std::uint32_t local : queries) {
    auto record = RunRecord::parse(where->record, segment.run_radius());
    if (!record || first + record->members() > rec.hashes) return fail(segment.corrupted());
    const PackedHash& query = chunk.queries[local];
    const auto q = static_cast<std::uint32_t>(chunk.base + local);
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

// The blocks of partition `part` begin at this block, its runs at the
// first run of that block.
std::uint64_t first_block_of(const SegmentReader& segment, std::uint64_t part) {
  return part << (kPartBits - segment.block_bits());
}

// Keeps the runs of partition `part`'s candidate (block, query) pairs whose
// representative lies within `limit` of the query (a member lies within
// the distance only if its representative lies within the distance plus
// the run's radius); false when a page fails its check. `base` is the
// partition's first run.
VORLANT_POPCOUNT_CLONES
bool keep_near(const SegmentReader& segment, std::uint64_t part, std::uint64_t base,
               std::span<const std::uint32_t> pairs, const Chunk& chunk, int limit,
               NearRuns& near) {
  // Far enough ahead that a representative has arrived when its turn comes.
  constexpr std::size_t kAhead = 16;
  const std::uint64_t first_block = first_block_of(segment, part);
  for (std::size_t i = 0; i < pairs.size(); ++i) {
    if (i + kAhead < pairs.size()) {
      const std::uint64_t ahead = first_block + (pairs[i + kAhead] >> kQueryBits);
      if (ahead < segment.blocks()) segment.prefetch_rep(segment.block_runs(ahead).first);
    }
    const std::uint64_t block = first_block + (pairs[i] >> kQueryBits);
    if (block >= segment.blocks()) return false;
    const PackedHash& q = chunk.queries[pairs[i] & kQueryMask];
    const auto [first, end] = segment.block_runs(block);
    if (end - first > 1) {
      // Most blocks have no member near enough: ruled out together.
      const std::uint8_t* lows = segment.rep_lows(first, end - first);
      if (!lows) return false;
      if (nearest_half(lows, end - first, q[0], q[1]) > limit) continue;
    }
    for (std::uint64_t run = first; run < end; ++run) {
      const auto low = segment.rep_low(run);
      if (!low) return false;
      if (std::popcount((*low)[0] ^ q[0]) + std::popcount((*low)[1] ^ q[1]) > limit) continue;
      const auto rep = segment.rep(run);
      if (!rep) return false;
      if (hamming_distance(*rep, q) <= limit) {
        near.add(static_cast<std::uint32_t>(run - base), pairs[i] & kQueryMask);
      }
    }
  }
  return true;
}

// The same for every run of the partition against every query: the search
// past the tables' reach.
VORLANT_POPCOUNT_CLONES
bool scan_near(const SegmentReader& segment, std::uint64_t base, const Chunk& chunk, int limit,
               NearRuns& near) {
  const std::uint64_t end = std::min(segment.runs(), base + (std::uint64_t{1} << kPartBits));
  for (std::uint64_t run = base; run < end; ++run) {
    const auto rep = segment.rep(run);
    if (!rep) return false;
    for (std::uint32_t q = 0; q < chunk.queries.size(); ++q) {
      if (hamming_distance(*rep, chunk.queries[q]) <= limit) {
        near.add(static_cast<std::uint32_t>(run - base), q);
      }
    }
  }
  return true;
}

// Looks every probe of table t up, region by region, dealing the (block,
// query) pairs found into partitions.
Result<void> probe_table(const SegmentReader& segment, std::size_t t, int radius,
                         const Chunk& chunk, Scratch& s) {
  const Substring sub = segment.layout()[t];
  // A region holds whole buckets of the table.
  const int split = std::max<int>(std::min<int>(kSplitBits, sub.bits),
                                  static_cast<int>(segment.table(t).low_bits()));
  s.keys.clear();
  for (const PackedHash& q : chunk.queries) s.keys.push_back(substring_key(q, sub));
  ProbeRegions regions(s.keys, sub.bits, radius, split);
  RegionLookup lookup(segment.table(t), split);
  const int part_bits = kPartBits - segment.block_bits();
  std::uint64_t region = 0;
  while (regions.next(region, s.probes)) {
    s.found.clear();
    if (!lookup.lookup(region, s.probes, s.found)) return fail(segment.corrupted());
    for (std::uint64_t f : s.found) {
      const std::uint64_t block = f >> 32;
      if (block >= segment.blocks()) return fail(segment.corrupted());
      s.parts[block >> part_bits].push_back(static_cast<std::uint32_t>(
          (block & ((1u << part_bits) - 1)) << kQueryBits | (f & kQueryMask)));
    }
  }
  return {};
}

Result<void> search_chunk(const SegmentReader& segment, const Chunk& chunk, int max_distance,
                          Scratch& s, std::vector<SegmentHit>& out) {
  // A partition of blocks spans as many runs, some of them padding, as one of runs.
  s.parts.resize(((segment.blocks() << segment.block_bits()) >> kPartBits) + 1);
  for (auto& part : s.parts) part.clear();
  const auto radii = probe_radii(segment.layout(), max_distance);
  for (std::size_t t = 0; radii && t < radii->size(); ++t) {
    if (auto r = probe_table(segment, t, (*radii)[t], chunk, s); !r) return r;
    segment.release(t);
  }
  const int limit = max_distance + segment.run_radius();
  for (std::uint64_t p = 0; p < s.parts.size(); ++p) {
    // Without radii the distance is past what the tables reach: every run is measured.
    std::uint64_t base = p << kPartBits;
    if (radii) {
      const std::uint64_t first_block = first_block_of(segment, p);
      if (first_block >= segment.blocks()) break;
      base = segment.block_runs(first_block).first;
    }
    if (radii ? !keep_near(segment, p, base, s.parts[p], chunk, limit, s.near)
              : !scan_near(segment, base, chunk, limit, s.near)) {
      return fail(segment.corrupted());
    }
    auto measured = s.near.drain([&](std::uint32_t run, std::span<const std::uint32_t> queries) {
      return measure_run(segment, base + run, queries, chunk, max_distance, out);
    });
    if (!measured) return measured;
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
  segment.release(segment.layout().size());
  return {};
}

void merge_hits(std::vector<QueryHit>& hits) {
  // Counted out by query, keeping the order found: a segment reports each
  // query's stretches of one recording in order, so only stretches from
  // several segments or indexes need sorting.
  std::uint32_t queries = 0;
  for (const QueryHit& h : hits) queries = std::max(queries, h.query + 1);
  std::vector<std::size_t> starts(std::size_t{queries} + 1, 0);
  for (const QueryHit& h : hits) ++starts[h.query + 1];
  for (std::size_t q = 1; q < starts.size(); ++q) starts[q] += starts[q - 1];
  std::vector<QueryHit> ordered(hits.size());
  std::vector<std::size_t> next(starts.begin(), starts.end() - 1);
  for (const QueryHit& h : hits) ordered[next[h.query]++] = h;
  const auto by_first = [](const QueryHit& a, const QueryHit& b) { return a.first < b.first; };
  for (std::size_t q = 0; q < queries; ++q) {
    const auto from = ordered.begin() + static_cast<std::ptrdiff_t>(starts[q]);
    const auto to = ordered.begin() + static_cast<std::ptrdiff_t>(starts[q + 1]);
    if (!std::is_sorted(from, to, by_first)) std::sort(from, to, by_first);
  }
  std::size_t kept = 0;
  for (std::size_t i = 0; i < ordered.size(); ++i) {
    QueryHit& last = ordered[kept == 0 ? 0 : kept - 1];
    if (kept > 0 && last.query == ordered[i].query && ordered[i].first <= last.last + 1) {
      last.last = std::max(last.last, ordered[i].last);
      last.distance = std::min(last.distance, ordered[i].distance);
    } else {
      ordered[kept++] = ordered[i];
    }
  }
  ordered.resize(kept);
  hits.swap(ordered);
}
