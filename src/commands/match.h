#pragma once
// The match command and its report: is a clip perceptually a part of the
// signed recording, and where in it does each part of the clip lie?

#include <cstdint>
#include <optional>
#include <string>

#include "commands/options.h"
#include "evidence/manifest.h"
#include "evidence/source_binding.h"
#include "matching/aligner.h"
#include "result.h"

/// What match compared and found. The JSON document is its written form.
struct MatchReport {
  std::string candidate;
  std::string evidence;  // the path, or "-"
  SourceBinding source_binding = SourceBinding::NotChecked;
  std::string nvr_pubkey_hex;
  EvidenceManifest manifest;  // signed, with hashes and a rate
  double fps = 0;             // the candidate's sampling rate
  std::uint32_t max_distance = 0;
  Alignment alignment;
  std::uint64_t low_quality_frames = 0;

  /// The report document: pretty-printed, keys in byte order, no final newline.
  std::string to_json() const;
  /// The closing line for standard error, with its newline.
  std::string summary_line() const;
};

/// Checks the evidence, samples the candidate and writes the report; fails
/// only when the comparison could not run.
CommandOutcome run_match(const MatchOptions& options);
