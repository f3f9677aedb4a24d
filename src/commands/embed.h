#pragma once
// The embed-evidence command and its summary.

#include <cstdint>
#include <string>

#include "commands/options.h"
#include "evidence/envelope.h"
#include "evidence/manifest.h"
#include "result.h"

/// What was embedded, as the summary document tells it.
struct EmbedSummary {
  std::string input;
  std::string output;  // the path, or "stdout"
  std::uint64_t evidence_box_bytes = 0;
  EvidenceEnvelope envelope;
  EvidenceManifest manifest;

  /// The summary document: pretty-printed, keys in byte order, no final newline.
  std::string to_json() const;
};

/// Checks the envelope and the recording, writes the evidence file and,
/// when asked, the summary.
CommandOutcome run_embed_evidence(const EmbedOptions& options);
