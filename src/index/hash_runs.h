#pragma once
// Repeated content stored once: a recording's consecutive signed hashes that
// all lie within kRunRadius bits of the first of them form a run, kept as
// that first hash (the representative) and, for each further member, the
// positions of the bits in which it differs from it.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <utility>
#include <vector>

#include "index/packed_hash.h"
#include "result.h"

/// A member differs from its run's representative in at most this many bits.
/// Four bits cost a member at most five bytes (a count and four positions)
/// instead of a 32-byte hash and its table entries, and lie well inside the
/// noise between two encodings of one picture, so a static scene's frames
/// fall into one run while a scene change starts a new one.
inline constexpr int kRunRadius = 4;

/// Half of a hash: words 0 and 1, or 2 and 3.
using HalfHash = std::array<std::uint64_t, 2>;

/// Runs in the order of the hashes: each run's representative, its first
/// and second half apart, and each run's record (see append_runs).
struct RunList {
  std::vector<HalfHash> rep_lows, rep_highs;
  std::vector<std::uint8_t> records;
};

/// Groups `hashes` into runs, appending their representatives and records.
/// A record is a variable-length number, the count of further members, and
/// when there are any, another, the bytes they take, then for each member a
/// byte k (0 to kRunRadius) and k bit positions.
void append_runs(std::span<const PackedHash> hashes, RunList& out);

/// Reads one run record from bounded bytes.
class RunRecord {
 public:
  /// The record at the start of `bytes`, or nullopt when it is malformed or
  /// runs past their end; `radius` is the largest member difference allowed.
  static std::optional<RunRecord> parse(std::span<const std::uint8_t> bytes, int radius);
  /// The members and size of the record at the start of `bytes`, read from
  /// its head alone (for stepping over it); nullopt as parse.
  static std::optional<std::pair<std::uint32_t, std::size_t>> head(
      std::span<const std::uint8_t> bytes);
  /// Members, the representative included.
  std::uint32_t members() const { return extra_ + 1; }
  /// Bytes the record occupies.
  std::size_t size() const { return size_; }
  /// The flipped bit positions of member `i` >= 1, in the order of the
  /// members; call in turn from 1 on.
  std::span<const std::uint8_t> next_flips();

 private:
  std::span<const std::uint8_t> members_;  // the bytes after the count
  std::uint32_t extra_ = 0;
  std::size_t size_ = 0;
  std::size_t cursor_ = 0;
};

/// The member whose bits differ from `rep` at `flips`.
PackedHash member_hash(const PackedHash& rep, std::span<const std::uint8_t> flips);
