#pragma once
// Generated hashes for the index tests, and the flat scan they are checked
// against.

#include <algorithm>
#include <cstdio>
#include <random>
#include <string>
#include <vector>

#include "index/index_store.h"
#include "index/packed_hash.h"
#include "index/segment_search.h"

namespace index_test {

inline PackedHash flip_bits(PackedHash h, int count, std::mt19937_64& random) {
  for (int i = 0; i < count; ++i) {
    const auto bit = random() % 256;
    h[bit / 64] ^= std::uint64_t{1} << (bit % 64);
  }
  return h;
}

inline std::vector<PackedHash> random_hashes(std::size_t count, std::uint64_t seed) {
  std::mt19937_64 random(seed);
  std::vector<PackedHash> out(count);
  for (PackedHash& h : out) h = {random(), random(), random(), random()};
  return out;
}

/// Scenes of 1 to 60 hashes, each a few bits from the one before, about a
/// third of them returning to an earlier scene.
inline std::vector<PackedHash> clustered_hashes(std::size_t count, std::uint64_t seed) {
  std::mt19937_64 random(seed);
  std::vector<PackedHash> out;
  std::vector<PackedHash> scenes;
  while (out.size() < count) {
    PackedHash h = {random(), random(), random(), random()};
    if (!scenes.empty() && random() % 3 == 0)
      h = flip_bits(scenes[random() % scenes.size()], 3, random);
    scenes.push_back(h);
    for (auto n = 1 + random() % 60; n > 0 && out.size() < count; --n) {
      h = flip_bits(h, static_cast<int>(random() % 4), random);
      out.push_back(h);
    }
  }
  return out;
}

/// Signed hashes moved by 0 to 40 bits, and as many unrelated hashes.
inline std::vector<PackedHash> nearby_queries(const std::vector<PackedHash>& hashes,
                                              std::size_t count, std::uint64_t seed) {
  std::mt19937_64 random(seed);
  std::vector<PackedHash> out;
  for (std::size_t i = 0; i < count; ++i) {
    out.push_back(flip_bits(hashes[random() % hashes.size()], static_cast<int>(i % 41), random));
    out.push_back({random(), random(), random(), random()});
  }
  return out;
}

/// Every maximal stretch of hashes within `max_distance` of each query.
inline std::vector<QueryHit> flat_scan(const std::vector<PackedHash>& hashes,
                                       const std::vector<PackedHash>& queries, int max_distance) {
  std::vector<QueryHit> hits;
  for (std::uint32_t q = 0; q < queries.size(); ++q) {
    bool open = false;
    for (std::uint32_t j = 0; j < hashes.size(); ++j) {
      const auto d = static_cast<std::uint32_t>(hamming_distance(queries[q], hashes[j]));
      if (d > static_cast<std::uint32_t>(max_distance)) {
        open = false;
      } else if (open) {
        hits.back().last = j;
        hits.back().distance = std::min(hits.back().distance, d);
      } else {
        hits.push_back({q, j, j, d});
        open = true;
      }
    }
  }
  return hits;
}

/// Recording k of the tests: `count` clustered (or random) hashes, an id made of k.
inline NewRecording test_recording(std::uint64_t k, std::size_t count, bool random = false) {
  char id[65];
  std::snprintf(id, sizeof id, "%064llx", static_cast<unsigned long long>(k));
  RecordingInfo info{id,
                     "nvr-" + std::to_string(k % 3),
                     "key-1",
                     "04ab",
                     1700000000000 + static_cast<std::int64_t>(k),
                     2.0,
                     std::string(64, 'c'),
                     1000 + k,
                     "/evidence/" + std::to_string(k) + ".json",
                     SourceBinding::NotChecked,
                     count};
  return {info, random ? random_hashes(count, 1000 + k) : clustered_hashes(count, 1000 + k)};
}

}  // namespace index_test
