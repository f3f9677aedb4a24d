#pragma once
// An MP4 box envelope document read and checked as a whole: its purpose, its
// manifest and the signature over the manifest with the key it carries.

#include <cstdint>
#include <span>

#include "evidence/envelope.h"
#include "evidence/manifest.h"
#include "result.h"

struct CheckedEnvelope {
  EvidenceEnvelope envelope;
  EvidenceManifest manifest;  // decoded from signed bytes
};

/// The envelope in `bytes`, or the first fault: the envelope reader's or the
/// manifest decoder's text, "signed evidence envelope must be v2 evidence mp4
/// box", or "NVR signature does not verify with envelope public key".
Result<CheckedEnvelope> check_envelope_document(std::span<const std::uint8_t> bytes);
