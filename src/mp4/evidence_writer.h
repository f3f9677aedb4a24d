#pragma once
// Writes an evidence file: the source recording's bytes unchanged, then the
// evidence box, to a path (atomically, checked before it becomes visible) or
// to standard output (after checking the source once).

#include <cstdint>
#include <span>
#include <string>

#include "evidence/manifest.h"
#include "fileio/fileio.h"
#include "result.h"

/// Copies and hashes the source (read from its current position) into a
/// temporary file next to the target, appends the box, checks the written
/// file and renames it over the target. Before the rename the target is
/// untouched, and every failure, SIGINT, SIGTERM and SIGHUP included, removes
/// the temporary file (only SIGKILL can leave it). After the rename the
/// target is complete and checked; a failure to make the new name durable
/// (the directory's fsync) is then still reported as an error.
Result<void> write_evidence_file(const OpenFile& source, const std::string& target_path,
                                 std::span<const std::uint8_t> box_bytes,
                                 const EvidenceManifest& manifest);
/// Checks the source against the manifest, then streams exactly those bytes
/// and the box to standard output through the same descriptor; nothing is
/// written when the check fails. check_stream_source and copy_checked_source
/// run in turn.
Result<void> stream_evidence_to_stdout(const OpenFile& source,
                                       std::span<const std::uint8_t> box_bytes,
                                       const EvidenceManifest& manifest);
/// Hashes a regular source file from its start and checks it against the
/// manifest; its digest as 64 lowercase hex digits.
Result<std::string> check_stream_source(const OpenFile& source, const EvidenceManifest& manifest);
/// Writes exactly the manifest's source_size bytes from the start of the
/// source to `out`, then the box. Bytes that no longer hash to
/// `checked_sha256_hex`, or a source now too short, fail before the box.
Result<void> copy_checked_source(const OpenFile& source, std::span<const std::uint8_t> box_bytes,
                                 const EvidenceManifest& manifest,
                                 const std::string& checked_sha256_hex, int out);
/// Fails unless the file's first evidence box ends the file and the bytes
/// before it are exactly the manifest's source.
Result<void> check_written_output(const std::string& path, const EvidenceManifest& manifest);
