#pragma once
// Walks the top-level boxes of an MP4 file by their headers only: finds the
// evidence box and reads the envelope it carries, or checks that a recording
// can take an appended evidence box.

#include <cstdint>
#include <optional>
#include <string>

#include "evidence/envelope.h"
#include "result.h"

struct EvidenceBoxLocation {
  EvidenceEnvelope envelope;
  std::uint64_t box_offset = 0;  // first byte of the box: the source size in a correct file
  std::uint64_t box_end = 0;     // just past the box
  std::uint64_t file_size = 0;   // as seen when the file was opened
};

/// The first top-level evidence box, nullopt when there is none, or the first
/// fault of the walk (the envelope reader's text passes through unchanged).
Result<std::optional<EvidenceBoxLocation>> find_evidence_box(const std::string& path);
/// The same walk over an open file of `file_size` bytes.
Result<std::optional<EvidenceBoxLocation>> find_evidence_box(int fd, std::uint64_t file_size);

/// Succeeds when an evidence box appended to the file would be the first one
/// a reader finds, right after the source: the file is a sequence of whole
/// top-level boxes, none of them an evidence box, the last not of size 0.
Result<void> check_appendable_source(int fd, std::uint64_t file_size);
