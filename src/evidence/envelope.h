#pragma once
// The evidence envelope: manifest, signature and public key in one JSON text.

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "result.h"

/// The envelope that goes into an MP4 evidence box, and the one for a case's
/// zip manifest, which other systems read. "zq." is the namespace of the
/// evidence registry that defined these documents; its readers compare
/// purposes byte for byte, so the prefix stays on every document we write.
inline constexpr std::string_view kMp4BoxEnvelopePurpose = "zq.evidence.mp4_box.v2";
inline constexpr std::string_view kZipManifestEnvelopePurpose = "zq.evidence.zip_manifest.v1";

struct EvidenceEnvelope {
  std::string purpose;
  std::vector<std::uint8_t> manifest;
  std::vector<std::uint8_t> signature;
  std::vector<std::uint8_t> public_key;
  std::string nvr_sig_hex;
  std::string nvr_pubkey_hex;
  std::string manifest_b64;  // the text as it stood in the envelope
  std::optional<double> fps;
  std::string registry_base;
};

/// The envelope text (key-sorted, pretty-printed), without the final newline.
/// registry_base is left out when absent (zip manifest envelopes).
std::string write_envelope(std::string_view purpose, std::uint32_t v, std::string_view manifest_b64,
                           std::string_view nvr_sig_hex, std::string_view nvr_pubkey_hex,
                           std::optional<std::string_view> registry_base);
/// The decoded envelope, or the first fault's message.
Result<EvidenceEnvelope> read_envelope(std::span<const std::uint8_t> bytes);
