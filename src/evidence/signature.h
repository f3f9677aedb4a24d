#pragma once
// ES256-P1363 signatures: deterministic signing (RFC 6979 nonces) and
// verification against a public key in any accepted encoding.

#include <array>
#include <cstdint>
#include <span>
#include <string>

#include "evidence/manifest.h"
#include "result.h"

struct SignedManifest {
  std::string manifest_b64;
  std::string nvr_sig_hex;
};

/// Encodes, hashes and signs the manifest; fails with "signature operation failed".
Result<SignedManifest> sign_manifest(const EvidenceManifest& manifest,
                                     const std::array<std::uint8_t, 32>& scalar);
/// True when `signature` (r || s, 64 bytes) signs `message` under `public_key`
/// (SEC1 point or DER SubjectPublicKeyInfo). Every defect is false.
bool verify_evidence_signature(std::span<const std::uint8_t> public_key,
                               std::span<const std::uint8_t> signature,
                               std::span<const std::uint8_t> message);
