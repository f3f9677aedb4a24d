// Judges an evidence file: finds the evidence box, checks the signature with
// the key the envelope carries, and checks that the bytes before the box are
// the signed source. The report never claims authenticity: the key comes from
// the file itself.

#include "verification/verification_report.h"

#include <string_view>

#include "encoding/hex.h"
#include "evidence/json_doc.h"
#include "evidence/signature.h"
#include "verification/document_members.h"
#include "verification/unsigned_members.h"

namespace {

constexpr std::string_view kPassedDetail =
    "Self-signed structural and source-byte checks passed. This is NOT an authenticity result: "
    "the signing key was read from the file itself and not confirmed against the registry. Use "
    "the browser verify flow for authenticity.";

// The bytes before the box must be exactly the signed source and nothing may
// follow the box. The hash is only worth computing once the sizes agree.
void check_source_binding(VerificationReport& r, const OpenFile& file) {
  const EvidenceBoxLocation& box = *r.box;
  const EvidenceManifest& m = *r.manifest;
  r.source_examined = true;
  r.file_integrity = VerificationReport::FileIntegrity::Mismatch;
  bool holds = box.box_offset == m.source_size && box.box_end == box.file_size;
  if (holds) {
    // Through the descriptor the box was found with, so the bytes hashed
    // are those of the file that was scanned, even if the path changes.
    Progress hashing("hashing");
    auto digest = sha256_stream(file.fd.get(), box.box_offset, file.path, &hashing);
    if (!digest) {
      r.detail = "File integrity check failed: " + digest.error();
      return;
    }
    holds = digest->size == box.box_offset && digest->sha256_hex == hex_encode(m.source_sha256);
  }
  if (!holds) {
    r.detail = "File integrity check failed.";
    return;
  }
  r.file_integrity = VerificationReport::FileIntegrity::Match;
  r.detail = std::string(kPassedDetail);
  r.binding_holds = true;
}

// What no signature covers must not pass: an envelope's fps that contradicts
// the signed one, or a key other than those the examiner pinned.
void check_unsigned_members(VerificationReport& r, const PinnedKeys& pinned) {
  const EvidenceEnvelope& e = r.box->envelope;
  std::optional<std::string> fault = unsigned_fps_mismatch(e, *r.manifest);
  if (!fault) fault = unpinned_key(e, pinned);
  if (!fault) return;
  r.binding_holds = false;
  r.detail = std::move(*fault);
}

std::string_view word(VerificationReport::Signature signature) {
  switch (signature) {
    case VerificationReport::Signature::Unverified:
      return "unverified";
    case VerificationReport::Signature::Valid:
      return "valid";
    case VerificationReport::Signature::Invalid:
      return "invalid";
  }
  return "unverified";
}

std::string_view word(VerificationReport::FileIntegrity integrity) {
  switch (integrity) {
    case VerificationReport::FileIntegrity::Unavailable:
      return "unavailable";
    case VerificationReport::FileIntegrity::Match:
      return "match";
    case VerificationReport::FileIntegrity::Mismatch:
      return "mismatch";
  }
  return "unavailable";
}

}  // namespace

nlohmann::json VerificationReport::to_document() const {
  nlohmann::json r = {
      {"v", 1},
      {"purpose", "zq.evidence.verify_result.v1"},
      {"input", input},
      {"authenticated", false},
      {"self_signed_exact_binding", binding_holds ? "ok" : "fail"},
      {"registry_confirmation", "unavailable"},
      {"verdict", "RED"},
      {"signature", word(signature)},
      {"file_integrity", word(file_integrity)},
      {"chain_of_custody", source_examined ? "partial" : "missing"},
      {"detail", detail},
  };
  if (box) {
    r["evidence_box_offset"] = box->box_offset;
    add_envelope_members(r, box->envelope, box->box_end - box->box_offset);
  }
  if (manifest) add_manifest_members(r, *manifest);
  return r;
}

std::string VerificationReport::to_json() const { return json_text(to_document()); }

VerificationReport build_verification_report(const std::string& input_path,
                                             const PinnedKeys& pinned) {
  auto file = open_file(input_path);
  if (!file) {
    VerificationReport r;
    r.input = input_path;
    r.detail = "Evidence envelope is malformed: " + file.error();
    return r;
  }
  return build_verification_report(*file, pinned);
}

VerificationReport build_verification_report(const OpenFile& file, const PinnedKeys& pinned) {
  VerificationReport r;
  r.input = file.path;
  auto found = find_evidence_box(file.fd.get(), file.size);
  if (!found) {
    r.detail = "Evidence envelope is malformed: " + found.error();
    return r;
  }
  if (!*found) {
    r.detail = "No signed evidence envelope found.";
    return r;
  }
  r.box = std::move(**found);
  const EvidenceEnvelope& e = r.box->envelope;
  if (!verify_evidence_signature(e.public_key, e.signature, e.manifest)) {
    r.signature = VerificationReport::Signature::Invalid;
    r.detail = "Cryptographic signature is invalid.";
    return r;
  }
  r.signature = VerificationReport::Signature::Valid;
  auto manifest = decode_manifest(e.manifest);
  if (!manifest) {
    r.detail = "Signed manifest could not be parsed: " + manifest.error();
    return r;
  }
  r.manifest = std::move(*manifest);
  check_source_binding(r, file);
  if (r.binding_holds) check_unsigned_members(r, pinned);
  return r;
}
