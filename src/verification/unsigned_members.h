#pragma once
// What no signature covers must never make evidence pass: the envelope's
// copy of the frame rate (or a rate the manifest never signed), the public
// key it carries (trusted only when the examiner pinned it) and the registry
// it names.

#include <optional>
#include <string>
#include <string_view>

#include "evidence/envelope.h"
#include "evidence/manifest.h"
#include "evidence/pinned_keys.h"

/// The refusal of an envelope whose unsigned fps contradicts the signed one,
/// or nothing when they agree or either is absent.
std::optional<std::string> unsigned_fps_mismatch(const EvidenceEnvelope& envelope,
                                                 const EvidenceManifest& manifest);
/// The refusal of an envelope whose key is none of the pinned keys, or
/// nothing when no key is pinned or the key is one of them.
std::optional<std::string> unpinned_key(const EvidenceEnvelope& envelope, const PinnedKeys& pinned);
/// The warning, one line with its newline, that a passing check is no
/// authenticity result; the pinned form says the key matched a pinned key.
std::string_view not_authenticated_warning(bool key_pinned);
/// Warns on stderr, when the envelope names a registry, that the signature
/// does not cover it.
void warn_unsigned_registry_base(const EvidenceEnvelope& envelope);
/// Warns on stderr, when the envelope carries an fps and the signed manifest
/// none, that the signature does not cover it.
void warn_unsigned_fps(const EvidenceEnvelope& envelope, const EvidenceManifest& manifest);
