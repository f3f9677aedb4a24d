// Members that the embed summary and the verification report both carry. The
// documents keep their keys sorted, so the order they are added in is free.

#include "verification/document_members.h"

#include "encoding/hex.h"
#include "encoding/sha256.h"
#include "evidence/signature.h"

void add_envelope_members(nlohmann::json& document, const EvidenceEnvelope& envelope,
                          std::uint64_t evidence_box_bytes) {
  document["evidence_box_bytes"] = evidence_box_bytes;
  if (envelope.fps) document["fps"] = *envelope.fps;
  document["manifest_b64"] = envelope.manifest_b64;
  document["manifest_sha256_hex"] = sha256_hex(envelope.manifest);
  document["nvr_pubkey_hex"] = envelope.nvr_pubkey_hex;
  document["nvr_sig_alg"] = kSignatureAlgorithm;
  document["nvr_sig_hex"] = envelope.nvr_sig_hex;
  document["registry_base"] = envelope.registry_base;
}

void add_manifest_members(nlohmann::json& document, const EvidenceManifest& manifest) {
  if (manifest.camera_id) document["camera_id"] = *manifest.camera_id;
  document["nvr_device_id"] = manifest.nvr_device_id;
  document["nvr_key_id"] = manifest.nvr_key_id;
  if (manifest.phashes_hex) document["phash_count"] = manifest.phashes_hex->size();
  document["signed_at_ms"] = manifest.signed_at_ms;
  document["source_hash_scope"] = manifest.source_hash_scope;
  document["source_sha256_hex"] = hex_encode(manifest.source_sha256);
  document["source_size"] = manifest.source_size;
}
