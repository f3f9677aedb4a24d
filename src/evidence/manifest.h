#pragma once
// The evidence manifest: the CBOR document the NVR signs.

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "result.h"

/// The two kinds of manifest; only the video kind is ever read back.
inline constexpr std::string_view kVideoManifestPurpose = "video.evidence.manifest.v1";
inline constexpr std::string_view kCaseManifestPurpose = "case.evidence.manifest.v1";

struct EvidenceSampler {
  std::string algorithm;
  std::string resize;
  std::string hash;
  bool operator==(const EvidenceSampler&) const = default;
};

/// How the frames behind signed PDQ hashes were sampled and hashed.
EvidenceSampler video_sampler();

struct EvidenceManifest {
  std::uint32_t v = 1;
  std::string purpose;
  std::optional<std::string> camera_id;
  std::string nvr_device_id;
  std::string nvr_key_id;
  std::string source_hash_scope;
  std::vector<std::uint8_t> source_sha256;
  std::uint64_t source_size = 0;
  std::optional<std::vector<std::string>> phashes_hex;
  std::optional<double> fps;
  std::optional<EvidenceSampler> sampler;
  std::int64_t signed_at_ms = 0;
  bool operator==(const EvidenceManifest&) const = default;
};

/// The manifest's CBOR bytes, members in their fixed order.
std::vector<std::uint8_t> encode_manifest(const EvidenceManifest& manifest);
/// A decoded and validated video manifest, or the first fault's message.
Result<EvidenceManifest> decode_manifest(std::span<const std::uint8_t> bytes);
