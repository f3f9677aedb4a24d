#pragma once
// Decoding of P-256 public keys: SEC1 points and SubjectPublicKeyInfo.

#include <array>
#include <cstdint>
#include <optional>
#include <span>

#include "evidence/p256.h"

/// The point of a SEC1 encoding (uncompressed, compressed or the compact 05
/// form) or of a strict-DER SubjectPublicKeyInfo on prime256v1; null when the
/// bytes are neither, or the point is not on the curve.
PointPtr decode_public_key_point(const EC_GROUP* group, std::span<const std::uint8_t> bytes,
                                 BN_CTX* ctx);
/// The same key as an uncompressed SEC1 point (04 || X || Y).
std::optional<std::array<std::uint8_t, 65>> decode_public_key(std::span<const std::uint8_t> bytes);
