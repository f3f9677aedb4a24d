// Checks an envelope document before anything it carries is used: the
// commands that take an envelope from a file (embed, match) accept the same
// documents and refuse the rest with the same words.

#include "evidence/checked_envelope.h"

#include "evidence/signature.h"

Result<CheckedEnvelope> check_envelope_document(std::span<const std::uint8_t> bytes) {
  auto envelope = read_envelope(bytes);
  if (!envelope) return fail(envelope.error());
  if (envelope->purpose != kMp4BoxEnvelopePurpose) {
    return fail("signed evidence envelope must be v2 evidence mp4 box");
  }
  auto manifest = decode_manifest(envelope->manifest);
  if (!manifest) return fail(manifest.error());
  if (!verify_evidence_signature(envelope->public_key, envelope->signature, envelope->manifest)) {
    return fail("NVR signature does not verify with envelope public key");
  }
  return CheckedEnvelope{std::move(*envelope), std::move(*manifest)};
}
