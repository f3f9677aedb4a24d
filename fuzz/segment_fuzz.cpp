// Index segment files as a damaged disk or a careless program might leave
// them. The input's checksums are made right again first, so that mutations
// reach what the checksums would otherwise guard: the header's counts and
// sections, the recordings, the run records and the tables. Opening, searches
// at several distances, reading each recording's runs and each table whole
// never read past the file, and fail only with the segment's own messages.

#include <cstring>
#include <string>
#include <vector>

#include "fuzz_util.h"
#include "index/checksum.h"
#include "index/page_checker.h"
#include "index/segment_header.h"
#include "index/segment_search.h"

namespace {

std::uint64_t load(const std::vector<std::uint8_t>& bytes, std::size_t at, int size) {
  std::uint64_t v = 0;
  for (int i = 0; i < size; ++i) {
    v |= std::uint64_t{bytes[at + static_cast<std::size_t>(i)]} << (8 * i);
  }
  return v;
}

void store(std::vector<std::uint8_t>& bytes, std::size_t at, std::uint64_t v) {
  for (int i = 0; i < 8; ++i) {
    bytes[at + static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(v >> (8 * i));
  }
}

// Writes the header's checksum and the body pages' sums where the header
// says they lie, as far as the file reaches.
void reseal(std::vector<std::uint8_t>& bytes) {
  if (bytes.size() < kPageSize) return;
  const std::uint64_t version = load(bytes, 8, 4), tables = load(bytes, 56, 4);
  if (!is_readable_version(static_cast<std::uint32_t>(version)) || tables == 0 || tables > 16) {
    return;
  }
  const std::size_t fields = 64 + (version == kBlockedSegmentVersion ? 4 : 0) + 16 * tables +
                             16 * (kSectionsBeforeTables + 4 * tables);
  store(bytes, fields, checksum64(std::span(bytes).first(fields)));
  const std::uint64_t body_end = load(bytes, 24, 8);
  if (body_end < kPageSize || body_end > bytes.size()) return;
  std::uint64_t sum_at = body_end;
  for (std::uint64_t page = kPageSize; page < body_end && sum_at + 8 <= bytes.size();
       page += kPageSize, sum_at += 8) {
    const std::uint64_t n = std::min(kPageSize, body_end - page);
    store(bytes, sum_at, checksum64(std::span(bytes).subspan(page, n)));
  }
}

void require_own_message(const std::string& message) {
  fuzz::require(message == "index segment fuzz is corrupted" ||
                    message == "index segment fuzz is truncated" ||
                    message.starts_with("index segment fuzz has version "),
                "a segment failed with another message: " + message);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::vector<std::uint8_t> bytes(data, data + size);
  reseal(bytes);
  fuzz::timed(size, [&] {
    auto segment = SegmentReader::open(bytes, "fuzz");
    if (!segment) {
      require_own_message(segment.error());
      return 0;
    }
    // Queries: the first representatives as they are and moved by a few
    // bits, and one far from everything.
    std::vector<PackedHash> queries = {{~0ull, 0, ~0ull, 0}};
    for (std::uint64_t r = 0; r < std::min<std::uint64_t>(segment->runs(), 4); ++r) {
      if (auto rep = segment->rep(r)) {
        queries.push_back(*rep);
        queries.push_back({(*rep)[0] ^ 0x1010, (*rep)[1], (*rep)[2] ^ 7, (*rep)[3]});
      }
    }
    for (int d : {0, 31, 40}) {
      std::vector<SegmentHit> hits;
      if (auto r = search_segment(*segment, queries, d, hits); !r) require_own_message(r.error());
      for (const SegmentHit& h : hits) {
        fuzz::require(h.hit.first <= h.hit.last && h.hit.distance <= static_cast<std::uint32_t>(d),
                      "a hit's stretch or distance is out of order");
      }
    }
    for (std::size_t i = 0; i < segment->recordings().size(); ++i) {
      if (auto runs = segment->recording_runs(i); !runs) require_own_message(runs.error());
    }
    std::vector<std::uint64_t> entries;
    for (std::size_t t = 0; t < segment->layout().size(); ++t) {
      (void)segment->table(t).entries(entries);
    }
    return 0;
  });
  return 0;
}
