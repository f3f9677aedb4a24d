#pragma once
// Generated archives for the index benchmarks: recordings of 21,600 signed
// hashes (3 hours at 2 fps), either uniformly random (the worst case: no
// repetition, every hash its own run) or modelled on surveillance: each
// recorder returns to a handful of static scenes, whose frames differ only
// in a dozen unstable bits near PDQ's median threshold, between stretches of
// motion where every frame is new.

#include <cstdint>
#include <random>
#include <vector>

#include "index/packed_hash.h"

namespace bench_content {

inline constexpr std::size_t kRecordingHashes = 21600;
inline constexpr std::uint64_t kRecordingsPerRecorder = 4;
inline constexpr int kScenesPerRecorder = 16;

inline PackedHash random_hash(std::mt19937_64& random) {
  return {random(), random(), random(), random()};
}

inline PackedHash flipped(PackedHash h, int bits, std::mt19937_64& random) {
  for (int i = 0; i < bits; ++i) {
    const auto b = random() % 256;
    h[b / 64] ^= std::uint64_t{1} << (b % 64);
  }
  return h;
}

struct Scene {
  PackedHash base;
  std::vector<int> unstable;  // bit positions that toggle with noise
};

inline Scene scene_of(std::uint64_t recorder, int scene) {
  std::mt19937_64 random(recorder * 1000 + static_cast<std::uint64_t>(scene) + 1);
  Scene s{random_hash(random), {}};
  for (int i = 0; i < 12; ++i) s.unstable.push_back(static_cast<int>(random() % 256));
  return s;
}

inline std::vector<PackedHash> recording(bool realistic, std::uint64_t i) {
  std::mt19937_64 random(0x5eed0000 + i);
  std::vector<PackedHash> out;
  out.reserve(kRecordingHashes);
  if (!realistic) {
    while (out.size() < kRecordingHashes) out.push_back(random_hash(random));
    return out;
  }
  const std::uint64_t recorder = i / kRecordingsPerRecorder;
  while (out.size() < kRecordingHashes) {
    if (random() % 4 != 0) {  // a static scene for 30 s to 15 min
      const Scene s = scene_of(recorder, static_cast<int>(random() % kScenesPerRecorder));
      for (auto n = 60 + random() % 1740; n > 0 && out.size() < kRecordingHashes; --n) {
        PackedHash h = s.base;
        for (int b : s.unstable) {
          if (random() % 100 < 15) h[b / 64] ^= std::uint64_t{1} << (b % 64);
        }
        out.push_back(h);
      }
    } else {  // motion for 5 s to 1 min: each frame about 30 bits from the last
      PackedHash h = random_hash(random);
      for (auto n = 10 + random() % 110; n > 0 && out.size() < kRecordingHashes; --n) {
        h = flipped(h, 30, random);
        out.push_back(h);
      }
    }
  }
  return out;
}

/// A 60-second clip of one indexed recording sampled at 8 fps (480 frames):
/// each frame's hash is the signed one 10 bits off, and each frame brings
/// `views - 1` more hashes (its other dihedral variants and picture areas)
/// that match nothing in particular.
inline std::vector<PackedHash> clip_queries(bool realistic, std::uint64_t recordings, int views,
                                            std::uint64_t seed) {
  std::mt19937_64 random(seed);
  const std::vector<PackedHash> source = recording(realistic, random() % recordings);
  const std::size_t start = random() % (kRecordingHashes - 120);
  std::vector<PackedHash> out;
  for (std::size_t f = 0; f < 480; ++f) {
    out.push_back(flipped(source[start + f / 4], 10, random));
    for (int v = 1; v < views; ++v) out.push_back(random_hash(random));
  }
  return out;
}

}  // namespace bench_content
