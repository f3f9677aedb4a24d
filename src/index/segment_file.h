#pragma once
// A segment: an immutable file of recordings' runs and the multi-index
// tables over them (written by segment_writer). Read in place, through a
// mapping; every page of its body carries a checksum that the reader checks
// when it first touches the page.

#include <cstdint>
#include <cstring>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "index/hash_runs.h"
#include "index/multi_index.h"
#include "index/packed_hash.h"
#include "index/page_checker.h"
#include "index/posting_table.h"
#include "result.h"

/// One recording's runs as a segment holds them, ready to be written into
/// another: the halves of the representatives as 16 little-endian bytes
/// each, then records.
struct RecordingRuns {
  std::uint64_t serial = 0;  // the catalogue's number for the recording
  std::uint64_t hashes = 0;  // signed hashes the runs hold
  std::uint64_t runs = 0;
  std::span<const std::uint8_t> rep_lows, rep_highs;
  std::span<const std::uint8_t> records;
};

/// Run r's representative. Inline: writing a segment asks for every run's
/// once per table.
inline PackedHash rep_of(const RecordingRuns& runs, std::uint64_t r) {
  PackedHash h;
  std::memcpy(h.data(), runs.rep_lows.data() + r * 16, 16);
  std::memcpy(h.data() + 2, runs.rep_highs.data() + r * 16, 16);
  return h;
}
/// The runs of a list held in memory, as a recording of `hashes` hashes.
RecordingRuns runs_of(const RunList& runs, std::uint64_t serial, std::uint64_t hashes);

/// Segments hold at most this many runs, so an id fits 24 bits and building
/// one stays within a few hundred MiB.
inline constexpr std::uint64_t kMaxSegmentRuns = std::uint64_t{1} << 24;
/// And at most this many hashes, which bounds every size a header implies.
inline constexpr std::uint64_t kMaxSegmentHashes = std::uint64_t{1} << 32;

struct SegmentRecording {
  std::uint64_t serial = 0;
  std::uint64_t hashes = 0;
  std::uint64_t first_run = 0;
  std::uint64_t first_position = 0;  // of its first hash among the segment's
  std::uint64_t first_block = 0;     // of its first run's block
};

/// The blocks of 2^block_bits runs that `runs` runs of one recording fill.
inline std::uint64_t blocks_of(std::uint64_t runs, int block_bits) {
  return (runs + (std::uint64_t{1} << block_bits) - 1) >> block_bits;
}

/// A run's record and where its first member lies.
struct RunLocation {
  std::span<const std::uint8_t> record;
  std::uint64_t record_offset = 0;  // inside the records
  std::uint64_t position = 0;       // among the segment's hashes
};

/// A segment's bytes, checked as far as they have been read.
class SegmentReader {
 public:
  /// The segment in `file` (which must outlive the reader); fails with
  /// "index segment NAME is truncated", "... is corrupted", or "... has
  /// version N, this program reads versions 2 and 3". `mapped` says the bytes are
  /// a read-only mapping of the file, whose pages release() may drop.
  static Result<SegmentReader> open(std::span<const std::uint8_t> file, const std::string& name,
                                    bool mapped = false);

  const HammingLayout& layout() const { return layout_; }
  std::uint64_t runs() const { return runs_; }
  std::uint64_t hashes() const { return hashes_; }
  /// A table's ids are of blocks of 2^block_bits() runs, each of one
  /// recording; with 0, of runs.
  int block_bits() const { return block_bits_; }
  std::uint64_t blocks() const { return blocks_; }
  /// The runs [first, second) of block `block` < blocks().
  std::pair<std::uint64_t, std::uint64_t> block_runs(std::uint64_t block) const {
    if (block_bits_ == 0) return {block, block + 1};
    return {block_starts_[block], block_starts_[block + 1]};
  }
  int run_radius() const { return run_radius_; }
  const std::vector<SegmentRecording>& recordings() const { return recordings_; }
  const PostingTableView& table(std::size_t i) const { return tables_[i]; }
  /// The message for a page or value found corrupted while reading.
  std::string corrupted() const;

  /// The first half of run `run`'s representative; nullopt when its page
  /// fails its check. Most candidates are ruled out by it alone, so a search
  /// reads the second halves of few runs.
  std::optional<HalfHash> rep_low(std::uint64_t run) const { return half(rep_lows_at_, run); }
  /// The first halves of runs [first, first + count) as 16 bytes each, checked;
  /// nullptr when a page fails its check.
  const std::uint8_t* rep_lows(std::uint64_t first, std::uint64_t count) const {
    const std::uint64_t at = rep_lows_at_ + first * 16;
    if (first > runs_ || count > runs_ - first || !pages_->check_at(at, count * 16)) return nullptr;
    return file_.data() + at;
  }
  /// Run `run`'s representative; nullopt when a page fails its check.
  std::optional<PackedHash> rep(std::uint64_t run) const {
    const auto low = half(rep_lows_at_, run), high = half(rep_highs_at_, run);
    if (!low || !high) return std::nullopt;
    return PackedHash{(*low)[0], (*low)[1], (*high)[0], (*high)[1]};
  }
  /// Asks the processor to fetch run `run`'s first half ahead of rep_low().
  void prefetch_rep(std::uint64_t run) const {
    if (run < runs_) __builtin_prefetch(file_.data() + rep_lows_at_ + run * 16);
  }
  /// Where run `run` < runs() lies; nullopt when the bytes are corrupted.
  std::optional<RunLocation> locate(std::uint64_t run) const;
  /// Index into recordings() of the recording that holds run `run`.
  std::size_t recording_of(std::uint64_t run) const;
  /// The same for block `block` < blocks().
  std::size_t recording_of_block(std::uint64_t block) const {
    return recording_of(block_runs(block).first);
  }
  /// Recording `i`'s runs, checked, for writing into another segment.
  Result<RecordingRuns> recording_runs(std::size_t i) const;
  /// Drops this process's mapping of table t's pages (all pages when t is
  /// past the last table), which count as its memory until then; the next
  /// read maps them again from the page cache. Nothing for bytes in memory.
  void release(std::size_t t) const;

 private:
  Result<void> read_recordings(std::uint64_t offset, std::uint64_t count);
  std::optional<HalfHash> half(std::uint64_t section, std::uint64_t run) const {
    const std::uint64_t at = section + run * 16;
    if (run >= runs_ || !pages_->check_at(at, 16)) return std::nullopt;
    HalfHash h;
    std::memcpy(h.data(), file_.data() + at, 16);
    return h;
  }

  std::span<const std::uint8_t> file_;
  bool mapped_ = false;
  std::string name_;
  std::vector<std::pair<std::uint64_t, std::uint64_t>> table_spans_;  // [begin, end) in the file
  HammingLayout layout_;
  std::uint64_t runs_ = 0, hashes_ = 0;
  int run_radius_ = 0;
  int block_bits_ = 0;
  std::uint64_t blocks_ = 0;
  std::vector<std::uint32_t> block_starts_;  // each block's first run, then runs_
  std::uint64_t rep_lows_at_ = 0, rep_highs_at_ = 0, checkpoints_at_ = 0, records_at_ = 0,
                records_size_ = 0;
  std::vector<SegmentRecording> recordings_;
  std::unique_ptr<PageChecker> pages_;  // the tables point at it
  std::vector<PostingTableView> tables_;
};
