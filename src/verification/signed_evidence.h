#pragma once
// Evidence whose signed perceptual hashes may be compared with a clip: from an
// evidence MP4 judged as verify judges it, or from an envelope document.

#include <string>
#include <string_view>

#include "evidence/envelope.h"
#include "evidence/manifest.h"
#include "evidence/source_binding.h"
#include "fileio/streams.h"
#include "result.h"

struct SignedEvidence {
  EvidenceEnvelope envelope;
  EvidenceManifest manifest;  // decoded from bytes whose signature holds
  SourceBinding binding = SourceBinding::NotChecked;
  std::string binding_detail;  // why the binding does not hold
};

/// The evidence in an evidence MP4, or in an envelope document (a file that
/// starts like JSON, a pipe, or standard input). Fails when no box is found,
/// the signature does not hold or the manifest does not decode; a source
/// binding that does not hold leaves the evidence usable, since an examiner
/// may hold a damaged original.
Result<SignedEvidence> load_signed_evidence(const InputSource& source);
