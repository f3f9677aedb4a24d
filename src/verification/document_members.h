#pragma once
// The members the embed summary, the verification report and the match
// report share, built in one place so the documents describe an envelope and
// its manifest alike.

#include <cstdint>
#include <nlohmann/json.hpp>

#include "evidence/envelope.h"
#include "evidence/manifest.h"

/// Adds the box size and the envelope's texts, digest and optional frame rate.
void add_envelope_members(nlohmann::json& document, const EvidenceEnvelope& envelope,
                          std::uint64_t evidence_box_bytes);
/// Adds the manifest's identities, source binding and optional members.
void add_manifest_members(nlohmann::json& document, const EvidenceManifest& manifest);
