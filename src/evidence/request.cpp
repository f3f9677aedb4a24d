// Attestation requests: the video request is written with a fixed member
// order so that its bytes are stable, and both kinds are read strictly (no
// repeated keys, typed members) and then checked rule by rule, first fault
// wins, so the same bad document always gets the same message.

#include "evidence/request.h"

#include <pdq/pdq.h>

#include <cmath>
#include <nlohmann/json.hpp>
#include <string_view>

#include "encoding/text.h"
#include "evidence/json_doc.h"

namespace {

using OrderedJson = nlohmann::ordered_json;

constexpr std::string_view kVideoPurpose = "zq.attestation.request.v1";
constexpr std::string_view kCasePurpose = "case.attestation.request.v1";
constexpr std::string_view kJsonFault = "parse request JSON: ";

constexpr JsonFieldSpec kVideoFields[] = {
    {"v", JsonFieldKind::U32},
    {"purpose", JsonFieldKind::String},
    {"name", JsonFieldKind::String},
    {"source_hash_scope", JsonFieldKind::String},
    {"source_sha256_hex", JsonFieldKind::String},
    {"source_size", JsonFieldKind::U64},
    {"fps", JsonFieldKind::OptionalF64},
    {"phashes_hex", JsonFieldKind::OptionalStringList},
};

constexpr JsonFieldSpec kCaseFields[] = {
    {"v", JsonFieldKind::U32},
    {"purpose", JsonFieldKind::String},
    {"source_sha256_hex", JsonFieldKind::String},
    {"source_size", JsonFieldKind::U64},
};

Result<JsonStruct> parse_request(std::span<const std::uint8_t> bytes, std::string_view struct_name,
                                 std::span<const JsonFieldSpec> fields) {
  auto document = parse_json_document(bytes);
  if (!document) return fail(std::string(kJsonFault) + document.error());
  auto record = read_json_struct(*document, struct_name, fields);
  if (!record) return fail(std::string(kJsonFault) + record.error());
  return record;
}

// The digest must already be in the form we write: a reader never repairs it.
Result<void> check_source_sha256(std::string_view hex) {
  if (hex.size() != 64)
    return fail("source_sha256 must be 64 hex chars, got " + std::to_string(hex.size()));
  for (char c : hex) {
    if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f')))
      return fail("source_sha256 must be lowercase hex");
  }
  return {};
}

}  // namespace

std::string write_attestation_request(const AttestationRequest& request) {
  OrderedJson doc = OrderedJson::object();
  doc["v"] = 1;
  doc["purpose"] = kVideoPurpose;
  doc["name"] = request.name;
  doc["source_hash_scope"] = kSourceHashScope;
  doc["source_sha256_hex"] = request.source_sha256_hex;
  doc["source_size"] = request.source_size;
  if (request.fps) {
    doc["fps"] = *request.fps;
    OrderedJson frame = OrderedJson::object();
    frame["width"] = pdq::kFrameSide;
    frame["height"] = pdq::kFrameSide;
    frame["pixel_format"] = "rgba";
    frame["resize_filter"] = "bilinear";
    doc["canonical_frame"] = std::move(frame);
  }
  if (request.native_width) doc["native_width"] = *request.native_width;
  if (request.native_height) doc["native_height"] = *request.native_height;
  if (request.phashes_hex) doc["phashes_hex"] = *request.phashes_hex;
  return json_text(doc);
}

Result<AttestationRequestOwned> read_attestation_request(std::span<const std::uint8_t> bytes) {
  auto record = parse_request(bytes, "AttestationRequestOwned", kVideoFields);
  if (!record) return fail(record.error());
  AttestationRequestOwned request{
      .v = record->u32("v"),
      .purpose = record->string("purpose"),
      .name = record->string("name"),
      .source_hash_scope = record->string("source_hash_scope"),
      .source_sha256_hex = record->string("source_sha256_hex"),
      .source_size = record->u64("source_size"),
      .fps = record->optional<double>("fps"),
      .phashes_hex = record->optional<std::vector<std::string>>("phashes_hex"),
  };
  if (request.v != 1)
    return fail("unsupported attestation request version: " + std::to_string(request.v));
  if (request.purpose != kVideoPurpose)
    return fail("unsupported attestation request purpose: " + request.purpose);
  if (trim_unicode_whitespace(request.name).empty())
    return fail("attestation request name must be non-empty");
  if (auto ok = check_source_hash_scope(request.source_hash_scope); !ok) return fail(ok.error());
  if (auto ok = check_source_sha256(request.source_sha256_hex); !ok) return fail(ok.error());
  if (auto ok = check_source_size(request.source_size); !ok) return fail(ok.error());
  if (request.fps && !(*request.fps > 0.0 && std::isfinite(*request.fps)))
    return fail("request fps must be positive when present");
  if (request.phashes_hex) {
    for (std::size_t i = 0; i < request.phashes_hex->size(); ++i) {
      if (auto ok = check_pdq_hash_text((*request.phashes_hex)[i]); !ok)
        return fail("phashes_hex[" + std::to_string(i) + "]: " + ok.error());
    }
  }
  return request;
}

Result<CaseAttestationRequestOwned> read_case_attestation_request(
    std::span<const std::uint8_t> bytes) {
  auto record = parse_request(bytes, "CaseAttestationRequestOwned", kCaseFields);
  if (!record) return fail(record.error());
  CaseAttestationRequestOwned request{
      .v = record->u32("v"),
      .purpose = record->string("purpose"),
      .source_sha256_hex = record->string("source_sha256_hex"),
      .source_size = record->u64("source_size"),
  };
  if (request.v != 1)
    return fail("unsupported case attestation request version: " + std::to_string(request.v));
  if (request.purpose != kCasePurpose)
    return fail("unsupported case attestation request purpose: " + request.purpose);
  if (auto ok = check_source_sha256(request.source_sha256_hex); !ok) return fail(ok.error());
  if (auto ok = check_source_size(request.source_size); !ok) return fail(ok.error());
  return request;
}

Result<void> check_source_hash_scope(std::string_view scope) {
  if (scope != kSourceHashScope) return fail("unexpected source_hash_scope: " + std::string(scope));
  return {};
}

Result<void> check_source_size(std::uint64_t size) {
  if (size == 0) return fail("source_size must be positive");
  return {};
}

Result<void> check_pdq_hash_text(std::string_view hash) {
  if (hash.size() != 64)
    return fail("PDQ hash must be 64 hex chars, got " + std::to_string(hash.size()));
  for (char c : hash) {
    bool hex = (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
    if (!hex) return fail("PDQ hash contains non-hex characters");
  }
  return {};
}
