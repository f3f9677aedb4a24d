// The evidence envelope: the JSON text that carries the manifest bytes (in
// Base64), the NVR's signature and its public key. Writing sorts the keys so
// every signer produces the same text; reading decodes the three byte fields
// but leaves the purpose, the manifest and the signature to the caller.

#include "evidence/envelope.h"

#include <array>
#include <nlohmann/json.hpp>

#include "encoding/base64.h"
#include "encoding/hex.h"
#include "encoding/text.h"
#include "evidence/json_doc.h"

namespace {

// The order of the array form of the envelope.
constexpr std::array<JsonFieldSpec, 7> kRawEnvelopeV2 = {{
    {"v", JsonFieldKind::U32},
    {"purpose", JsonFieldKind::String},
    {"manifest_b64", JsonFieldKind::String},
    {"nvr_sig_hex", JsonFieldKind::String},
    {"nvr_pubkey_hex", JsonFieldKind::String},
    {"registry_base", JsonFieldKind::OptionalString},
    {"fps", JsonFieldKind::OptionalF64},
}};

constexpr std::uint32_t kEnvelopeVersion = 2;

}  // namespace

std::string write_envelope(std::string_view purpose, std::uint32_t v, std::string_view manifest_b64,
                           std::string_view nvr_sig_hex, std::string_view nvr_pubkey_hex,
                           std::optional<std::string_view> registry_base) {
  // The library's default object keeps its keys in byte order.
  nlohmann::json document = nlohmann::json::object();
  document["manifest_b64"] = manifest_b64;
  document["nvr_pubkey_hex"] = nvr_pubkey_hex;
  document["nvr_sig_hex"] = nvr_sig_hex;
  document["purpose"] = purpose;
  if (registry_base) document["registry_base"] = *registry_base;
  document["v"] = v;
  return json_text(document);
}

Result<EvidenceEnvelope> read_envelope(std::span<const std::uint8_t> bytes) {
  auto document = parse_json_document(bytes);
  if (!document) return fail("parse envelope JSON: " + document.error());
  auto raw = read_json_struct(*document, "RawEnvelopeV2", kRawEnvelopeV2);
  if (!raw) return fail("parse envelope JSON: " + raw.error());

  const std::uint32_t v = raw->u32("v");
  if (v != kEnvelopeVersion) {
    return fail("unsupported evidence envelope version: " + std::to_string(v));
  }
  EvidenceEnvelope envelope;
  envelope.manifest_b64 = raw->string("manifest_b64");
  auto manifest = base64_decode(trim_unicode_whitespace(envelope.manifest_b64));
  if (!manifest) return fail("decode manifest base64: " + manifest.error());
  auto signature = hex_decode(raw->string("nvr_sig_hex"));
  if (!signature) return fail("NVR signature: " + signature.error());
  auto public_key = hex_decode(raw->string("nvr_pubkey_hex"));
  if (!public_key) return fail("NVR public key: " + public_key.error());

  envelope.purpose = raw->string("purpose");
  envelope.manifest = std::move(*manifest);
  envelope.signature = std::move(*signature);
  envelope.public_key = std::move(*public_key);
  envelope.nvr_sig_hex = hex_encode(envelope.signature);
  envelope.nvr_pubkey_hex = hex_encode(envelope.public_key);
  envelope.fps = raw->optional<double>("fps");
  envelope.registry_base = raw->optional<std::string>("registry_base").value_or("");
  return envelope;
}
