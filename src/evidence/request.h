#pragma once
// Attestation request documents: the video request that prepare-attestation
// writes and sign-attestation reads, and the case request of sign-zip-manifest.

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "result.h"

struct AttestationRequest {
  std::string name;
  std::string source_sha256_hex;
  std::uint64_t source_size = 0;
  // With a rate the request also names the frame the hashes were made of
  // (canonical_frame: the hash's square, "rgba", "bilinear").
  std::optional<double> fps;
  std::optional<std::uint32_t> native_width;
  std::optional<std::uint32_t> native_height;
  std::optional<std::vector<std::string>> phashes_hex;
};

struct AttestationRequestOwned {
  std::uint32_t v = 0;
  std::string purpose;
  std::string name;
  std::string source_hash_scope;
  std::string source_sha256_hex;
  std::uint64_t source_size = 0;
  std::optional<double> fps;
  std::optional<std::vector<std::string>> phashes_hex;
};

struct CaseAttestationRequestOwned {
  std::uint32_t v = 0;
  std::string purpose;
  std::string source_sha256_hex;
  std::uint64_t source_size = 0;
};

/// The request's exact text, without the final newline.
std::string write_attestation_request(const AttestationRequest& request);
/// A parsed and validated video request, or the first rule's message.
Result<AttestationRequestOwned> read_attestation_request(std::span<const std::uint8_t> bytes);
/// A parsed and validated case request, or the first rule's message.
Result<CaseAttestationRequestOwned> read_case_attestation_request(
    std::span<const std::uint8_t> bytes);
/// The scope every request and manifest names: the digest covers the file's
/// bytes as they were before any evidence was embedded.
inline constexpr std::string_view kSourceHashScope = "original_file_bytes_sha256_v1";

/// "unexpected source_hash_scope: X" unless the scope is kSourceHashScope.
Result<void> check_source_hash_scope(std::string_view scope);
/// "source_size must be positive" for an empty source.
Result<void> check_source_size(std::uint64_t size);
/// "PDQ hash must be 64 hex chars, got N" or "PDQ hash contains non-hex
/// characters"; shared by the request, the manifest and the hash list.
Result<void> check_pdq_hash_text(std::string_view hash);
