#pragma once
// The members the embed summary and the verification report share, built in
// one place so the two documents describe an envelope and its manifest alike.

#include <cstdint>
#include <optional>
#include <string>
#include <nlohmann/json.hpp>

#include "evidence/envelope.h"
#include "evidence/manifest.h"
#include "evidence/pinned_keys.h"

/// Adds the box size and the envelope's texts, digest and optional frame rate.
void add_envelope_members(nlohmann::json& document, const EvidenceEnvelope& envelope,
                          std::uint64_t evidence_box_bytes);
/// Adds the manifest's identities, source binding and optional members.
void add_manifest_members(nlohmann::json& document, const EvidenceManifest& manifest);
/// The refusal of an envelope whose unsigned fps contradicts the signed one,
/// or nothing when they agree or either is absent.
std::optional<std::string> unsigned_fps_mismatch(const EvidenceEnvelope& envelope,
                                                 const EvidenceManifest& manifest);
/// The refusal of an envelope whose key is none of the pinned keys, or
/// nothing when no key is pinned or the key is one of them.
std::optional<std::string> unpinned_key(const EvidenceEnvelope& envelope, const PinnedKeys& pinned);
