#pragma once
// ES256-P1363 signatures: deterministic signing (RFC 6979 nonces) and
// verification against a public key in any accepted encoding.

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "evidence/manifest.h"
#include "result.h"

/// The signature algorithm's name in the documents that describe an envelope.
inline constexpr std::string_view kSignatureAlgorithm = "ES256-P1363";

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

/// The RFC 6979 nonce (HMAC-SHA-256) for the P-256 scalar and a SHA-256 digest;
/// `skip` passes over that many valid candidates (needed only when a nonce
/// gives r = 0 or s = 0). Fails only when HMAC fails.
Result<std::array<std::uint8_t, 32>> rfc6979_nonce(const std::array<std::uint8_t, 32>& scalar,
                                                   const std::array<std::uint8_t, 32>& digest,
                                                   unsigned skip = 0);
/// r || s of the deterministic signature of a SHA-256 digest; s as computed.
/// Fails with "signature operation failed".
Result<std::array<std::uint8_t, 64>> sign_digest(const std::array<std::uint8_t, 32>& scalar,
                                                 const std::array<std::uint8_t, 32>& digest);
