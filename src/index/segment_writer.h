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
/// The bytes of a segment of `recordings`, built in memory; empty when they
/// exceed what a segment holds.
std::vector<std::uint8_t> build_segment(std::span<const RecordingRuns> recordings);
