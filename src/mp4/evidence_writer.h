#pragma once
// Writes an evidence file: the source recording's bytes unchanged, then the
// evidence box, to a path (atomically, checked before it becomes visible) or
// to standard output (after checking the source once).

#include <cstdint>
#include <span>
#include <string>

#include "evidence/manifest.h"
#include "result.h"

/// Copies and hashes the input into a temporary file next to the target,
/// appends the box, checks the written file and renames it over the target.
/// On failure the target is untouched and the temporary file is removed.
Result<void> write_evidence_file(const std::string& input_path, const std::string& target_path,
                                 std::span<const std::uint8_t> box_bytes,
                                 const EvidenceManifest& manifest);
/// Checks the input against the manifest, then streams it and the box to
/// standard output; nothing is written when the check fails.
Result<void> stream_evidence_to_stdout(const std::string& input_path,
                                       std::span<const std::uint8_t> box_bytes,
                                       const EvidenceManifest& manifest);
/// Fails unless the file's first evidence box ends the file and the bytes
/// before it are exactly the manifest's source.
Result<void> check_written_output(const std::string& path, const EvidenceManifest& manifest);
