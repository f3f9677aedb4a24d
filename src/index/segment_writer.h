#pragma once
// Writing segments: one sequential pass over the recordings' runs per table,
// the header last.

#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "index/segment_file.h"
#include "result.h"

/// Writes a segment of `recordings` to the descriptor (at its start; the
/// caller syncs it); "write PATH: ..." on failure.
Result<void> write_segment_file(std::span<const RecordingRuns> recordings, int fd,
                                const std::string& path);
/// A segment being merged into a new one, and which of its recordings go on;
/// or, without a reader, recordings not yet in any segment, all going on.
struct MergeInput {
  const SegmentReader* reader = nullptr;
  std::vector<std::size_t> kept;  // indices into reader->recordings(), in order
  std::span<const RecordingRuns> fresh;
  std::size_t recordings() const { return reader ? kept.size() : fresh.size(); }
};
/// Writes the kept recordings of `inputs`, in order, as one segment; a table
/// takes its entries from the inputs' tables over the same substring where
/// they have one, which costs a fraction of computing and sorting them anew
/// (as the others' are).
/// "... is corrupted" for an input that fails its checks, else as above.
Result<void> write_merged_segment_file(std::span<const MergeInput> inputs, int fd,
                                       const std::string& path);
/// The bytes of a segment of `recordings`, built in memory; empty when they
/// exceed what a segment holds.
std::vector<std::uint8_t> build_segment(std::span<const RecordingRuns> recordings);
