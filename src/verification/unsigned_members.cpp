// The rules for members outside the signature. Values from the file are
// quoted as JSON in messages, so a hostile value can't drive the terminal.

#include "verification/unsigned_members.h"

#include <unistd.h>

#include <nlohmann/json.hpp>

#include "evidence/json_doc.h"
#include "fileio/fd.h"

namespace {

constexpr std::string_view kNotAuthenticatedWarning =
    "warning: NOT AUTHENTICATED. The CLI checked file structure and the self-signed source-byte "
    "binding only. The signing key was read from the file itself and was not confirmed against "
    "the evidence registry. Use the browser verify flow for an authenticity (GREEN) result.\n";
constexpr std::string_view kPinnedKeyWarning =
    "warning: NOT AUTHENTICATED. The signing key matched a pinned NVR public key, but it was not "
    "confirmed against the evidence registry. The CLI checked file structure and the self-signed "
    "source-byte binding only. Use the browser verify flow for an authenticity (GREEN) result.\n";

}  // namespace

std::optional<std::string> unsigned_fps_mismatch(const EvidenceEnvelope& envelope,
                                                 const EvidenceManifest& manifest) {
  if (!envelope.fps || !manifest.fps || *envelope.fps == *manifest.fps) return std::nullopt;
  return "envelope fps " + nlohmann::json(*envelope.fps).dump() +
         " differs from the signed manifest fps " + nlohmann::json(*manifest.fps).dump() +
         " (the envelope's fps is not covered by the signature)";
}

std::optional<std::string> unpinned_key(const EvidenceEnvelope& envelope,
                                        const PinnedKeys& pinned) {
  if (pinned.empty() || pinned.contains(envelope.public_key)) return std::nullopt;
  return "The envelope's NVR public key is not one of the pinned keys: " + envelope.nvr_pubkey_hex;
}

std::string_view not_authenticated_warning(bool key_pinned) {
  return key_pinned ? kPinnedKeyWarning : kNotAuthenticatedWarning;
}

void warn_unsigned_registry_base(const EvidenceEnvelope& envelope) {
  if (envelope.registry_base.empty()) return;
  (void)write_all(STDERR_FILENO, "warning: registry_base " +
                                     json_text(nlohmann::json(envelope.registry_base)) +
                                     " is not covered by the signature; do not follow it to "
                                     "confirm this file\n");
}

void warn_unsigned_fps(const EvidenceEnvelope& envelope, const EvidenceManifest& manifest) {
  // The report still shows it, so the reader is told it means nothing here.
  if (!envelope.fps || manifest.fps) return;
  (void)write_all(STDERR_FILENO, "warning: envelope fps " + nlohmann::json(*envelope.fps).dump() +
                                     " is not covered by the signature: the signed manifest "
                                     "carries no fps\n");
}
