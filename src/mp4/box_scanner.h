#pragma once
// Finds the evidence box among the top-level boxes of an MP4 file by reading
// box headers only, then reads and parses the envelope it carries.

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

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
