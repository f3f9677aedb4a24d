#pragma once
// The evidence box: one top-level ISO base-media `uuid` box, appended after the
// recording's own bytes, whose payload is the signed envelope document.

#include <array>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "result.h"

/// The usertype that marks a `uuid` box as ours.
inline constexpr std::array<std::uint8_t, 16> kEvidenceUsertype = {
    0x5A, 0x51, 0x32, 0xAF, 0x1B, 0xDC, 0x4E, 0x76, 0x9A, 0x35, 0x1D, 0x8D, 0x2E, 0x8A, 0x3C, 0x66};
/// size (4) + type (4) + usertype (16) in the 32-bit size form we write.
inline constexpr std::uint64_t kEvidenceBoxHeaderBytes = 24;
/// Largest payload a reader accepts; bounds the memory a hostile file can claim.
inline constexpr std::uint64_t kMaxEvidencePayloadBytes = 2 * 1024 * 1024;

/// "evidence envelope payload too large: {n} bytes", a reader's refusal.
std::string payload_too_large(std::uint64_t payload_bytes);
/// The box around the envelope bytes; fails with payload_too_large when no
/// reader would accept the payload.
Result<std::vector<std::uint8_t>> build_evidence_box(std::span<const std::uint8_t> envelope_bytes);
