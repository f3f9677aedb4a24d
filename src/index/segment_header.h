#pragma once
// The header page of a segment file: magic, version, counts, the substring
// layout, where each section lies, and a checksum of the header itself.

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "index/multi_index.h"

inline constexpr std::uint32_t kSegmentVersion = 2;
/// A segment whose tables file blocks of runs, not runs, has this version:
/// a program that reads only version 2 refuses it rather than misread it.
inline constexpr std::uint32_t kBlockedSegmentVersion = 3;
/// True for the versions this program reads.
inline bool is_readable_version(std::uint32_t version) {
  return version == kSegmentVersion || version == kBlockedSegmentVersion;
}
/// Blocks are at most this many bits' worth of runs.
inline constexpr std::uint32_t kMaxBlockBits = 8;
/// Every 64th run's record offset and position is kept, so a run is found
/// by reading at most 63 record heads.
inline constexpr std::uint64_t kCheckpointEvery = 64;
/// Recordings, the representatives' first halves, their second halves,
/// checkpoints and records come before the four sections of each table.
inline constexpr std::size_t kSectionsBeforeTables = 5;
/// A recording's entry: serial, hashes and first run, 8 bytes each.
inline constexpr std::uint64_t kRecordingBytes = 24;

struct Section {
  std::uint64_t offset = 0, size = 0;
};

/// What the header describes; the writer fills it, the reader checks it.
struct Header {
  std::uint32_t version = kSegmentVersion;
  std::uint32_t run_radius = 0;
  std::uint64_t file_size = 0, body_end = 0, recordings = 0, runs = 0, hashes = 0;
  std::uint32_t id_bits = 1;
  // A table's ids are of blocks of 2^block_bits consecutive runs of one
  // recording (version 3; version 2 files runs, block_bits 0).
  std::uint32_t block_bits = 0;
  HammingLayout layout;
  std::vector<std::uint32_t> low_bits;  // per table
  std::vector<std::uint64_t> entries;   // per table
  std::vector<Section> sections;
};

/// The header's bytes, its checksum last.
std::vector<std::uint8_t> encode_header(const Header& h);
/// The fields of a header page, or nullopt for a page that cannot be one; a
/// header of another version comes back with only its version read.
std::optional<Header> decode_header(std::span<const std::uint8_t> page);
/// True when the header's counts, layout and sections agree with each other
/// and with a file of `file_size` bytes.
bool header_fits(const Header& h, std::uint64_t file_size);
