// The verify command: finds the evidence box, checks the signature with the
// key the envelope carries, and checks that the bytes before the box are the
// signed source. The report never claims authenticity: the key comes from
// the file itself.

#include "commands/verify.h"

#include <unistd.h>

#include <string_view>

#include "commands/commands.h"
#include "commands/evidence_members.h"
#include "commands/same_file.h"
#include "encoding/hex.h"
#include "evidence/manifest.h"
#include "evidence/pinned_keys.h"
#include "evidence/signature.h"
#include "fileio/fd.h"
#include "fileio/fileio.h"
#include "mp4/box_scanner.h"

namespace {

constexpr std::string_view kPassedDetail =
    "Self-signed structural and source-byte checks passed. This is NOT an authenticity result: "
    "the signing key was read from the file itself and not confirmed against the registry. Use "
    "the browser verify flow for authenticity.";
constexpr std::string_view kNotAuthenticatedWarning =
    "warning: NOT AUTHENTICATED. The CLI checked file structure and the self-signed source-byte "
    "binding only. The signing key was read from the file itself and was not confirmed against "
    "the evidence registry. Use the browser verify flow for an authenticity (GREEN) result.\n";
static_assert(kNotAuthenticatedWarning.size() == 268);
constexpr std::string_view kPinnedKeyWarning =
    "warning: NOT AUTHENTICATED. The signing key matched a pinned NVR public key, but it was not "
    "confirmed against the evidence registry. The CLI checked file structure and the self-signed "
    "source-byte binding only. Use the browser verify flow for an authenticity (GREEN) result.\n";

// The bytes before the box must be exactly the signed source and nothing may
// follow the box. The hash is only worth computing once the sizes agree.
void check_source_binding(VerificationReport& r, const OpenFile& file,
                          const EvidenceBoxLocation& box, const EvidenceManifest& m) {
  r["chain_of_custody"] = "partial";
  r["file_integrity"] = "mismatch";
  bool holds = box.box_offset == m.source_size && box.box_end == box.file_size;
  if (holds) {
    // Through the descriptor the box was found with, so the bytes hashed
    // are those of the file that was scanned, even if the path changes.
    auto digest = sha256_stream(file.fd.get(), box.box_offset, file.path);
    if (!digest) {
      r["detail"] = "File integrity check failed: " + digest.error();
      return;
    }
    holds = digest->size == box.box_offset && digest->sha256_hex == hex_encode(m.source_sha256);
  }
  if (!holds) {
    r["detail"] = "File integrity check failed.";
    return;
  }
  r["self_signed_exact_binding"] = "ok";
  r["file_integrity"] = "match";
  r["detail"] = kPassedDetail;
}

VerificationReport initial_report(const std::string& input_path) {
  return {
      {"v", 1},
      {"purpose", "zq.evidence.verify_result.v1"},
      {"input", input_path},
      {"authenticated", false},
      {"self_signed_exact_binding", "fail"},
      {"registry_confirmation", "unavailable"},
      {"verdict", "RED"},
      {"signature", "unverified"},
      {"file_integrity", "unavailable"},
      {"chain_of_custody", "missing"},
  };
}

}  // namespace

VerificationReport build_verification_report(const std::string& input_path,
                                             const PinnedKeys& pinned) {
  auto file = open_file(input_path);
  if (!file) {
    VerificationReport r = initial_report(input_path);
    r["detail"] = "Evidence envelope is malformed: " + file.error();
    return r;
  }
  return build_verification_report(*file, pinned);
}

VerificationReport build_verification_report(const OpenFile& file, const PinnedKeys& pinned) {
  VerificationReport r = initial_report(file.path);
  auto found = find_evidence_box(file.fd.get(), file.size);
  if (!found) {
    r["detail"] = "Evidence envelope is malformed: " + found.error();
    return r;
  }
  if (!*found) {
    r["detail"] = "No signed evidence envelope found.";
    return r;
  }
  const EvidenceBoxLocation& box = **found;
  const EvidenceEnvelope& e = box.envelope;
  r["evidence_box_offset"] = box.box_offset;
  add_envelope_members(r, e, box.box_end - box.box_offset);
  if (!verify_evidence_signature(e.public_key, e.signature, e.manifest)) {
    r["signature"] = "invalid";
    r["detail"] = "Cryptographic signature is invalid.";
    return r;
  }
  r["signature"] = "valid";
  auto manifest = decode_manifest(e.manifest);
  if (!manifest) {
    r["detail"] = "Signed manifest could not be parsed: " + manifest.error();
    return r;
  }
  add_manifest_members(r, *manifest);
  check_source_binding(r, file, box, *manifest);
  if (r["self_signed_exact_binding"] != "ok") return r;
  // What no signature covers must not pass: an envelope's fps that contradicts
  // the signed one, or a key other than those the examiner pinned.
  if (auto mismatch = unsigned_fps_mismatch(e, *manifest)) {
    r["self_signed_exact_binding"] = "fail";
    r["detail"] = *mismatch;
  } else if (!pinned.empty() && !pinned.contains(e.public_key)) {
    r["self_signed_exact_binding"] = "fail";
    r["detail"] = "The envelope's NVR public key is not one of the pinned keys: " + e.nvr_pubkey_hex;
  }
  return r;
}

CommandOutcome run_verify(const VerifyOptions& options) {
  // Writing the report over the evidence file would destroy what it describes.
  const bool clash =
      options.output.kind == OutputTarget::Kind::Path
          ? is_same_existing_file(options.output.path, options.input)
          : options.output.kind == OutputTarget::Kind::Stdout && is_stdout_file(options.input);
  if (clash) return fail(std::string(kOutputIsInputMessage));
  auto pinned = PinnedKeys::load(options.nvr_pubkey_hex, options.nvr_pubkeys_files);
  if (!pinned) return fail(pinned.error());

  const VerificationReport report = build_verification_report(options.input, *pinned);
  std::string text;
  try {
    text = report.dump(2, ' ', false, nlohmann::json::error_handler_t::strict);
  } catch (const nlohmann::json::exception& e) {
    return fail(e.what());
  }
  if (auto r = write_text_output(options.output, text); !r) return r;
  if (const std::string registry = report.value("registry_base", ""); !registry.empty()) {
    // Quoted as JSON, so a hostile value can't drive the terminal.
    (void)write_all(STDERR_FILENO, "warning: registry_base " + nlohmann::json(registry).dump(
                                       -1, ' ', false, nlohmann::json::error_handler_t::replace) +
                                       " is not covered by the signature; do not follow it to "
                                       "confirm this file\n");
  }
  if (report.value("self_signed_exact_binding", "") == "ok") {
    (void)write_all(STDERR_FILENO, pinned->empty() ? kNotAuthenticatedWarning : kPinnedKeyWarning);
    return {};
  }
  const auto detail = report.find("detail");
  return fail(detail != report.end() && detail->is_string() ? detail->get<std::string>()
                                                            : "verification failed");
}
