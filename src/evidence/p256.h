#pragma once
// What the P-256 code shares: the group order, owning handles for OpenSSL's
// objects, and a guard that wipes secret bytes when its scope ends.

#include <openssl/bn.h>
#include <openssl/crypto.h>
#include <openssl/ec.h>
#include <openssl/obj_mac.h>

#include <array>
#include <cstdint>
#include <memory>
#include <span>

/// n, the order of the P-256 group, big-endian.
inline constexpr std::array<std::uint8_t, 32> kP256Order = {
    0xFF, 0xFF, 0xFF, 0xFF, 0x00, 0x00, 0x00, 0x00, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF,
    0xBC, 0xE6, 0xFA, 0xAD, 0xA7, 0x17, 0x9E, 0x84, 0xF3, 0xB9, 0xCA, 0xC2, 0xFC, 0x63, 0x25, 0x51};

using GroupPtr = std::unique_ptr<EC_GROUP, decltype(&EC_GROUP_free)>;
using PointPtr = std::unique_ptr<EC_POINT, decltype(&EC_POINT_free)>;
using BnPtr = std::unique_ptr<BIGNUM, decltype(&BN_clear_free)>;
using BnCtxPtr = std::unique_ptr<BN_CTX, decltype(&BN_CTX_free)>;

inline GroupPtr p256_group() {
  return GroupPtr(EC_GROUP_new_by_curve_name(NID_X9_62_prime256v1), EC_GROUP_free);
}

/// A number made of secret bytes: on the secure heap, used in constant time.
inline BnPtr secret_bn(std::span<const std::uint8_t> bytes) {
  BnPtr bn(BN_secure_new(), BN_clear_free);
  if (!bn) return bn;
  BN_set_flags(bn.get(), BN_FLG_CONSTTIME);
  if (!BN_bin2bn(bytes.data(), static_cast<int>(bytes.size()), bn.get())) bn.reset();
  return bn;
}

/// Wipes a container's bytes, as they are when the scope ends.
template <class Container>
struct WipeOnExit {
  Container& target;
  ~WipeOnExit() { OPENSSL_cleanse(target.data(), target.size() * sizeof(*target.data())); }
};
template <class Container>
WipeOnExit(Container&) -> WipeOnExit<Container>;
