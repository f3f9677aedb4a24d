// P-256 public keys as envelopes and examiners give them: a SEC1 point
// (uncompressed, compressed or compact) or a strict-DER SubjectPublicKeyInfo
// around one. Every check is strict; anything else is no key.

#include "evidence/public_key.h"

#include <openssl/err.h>

#include <algorithm>

namespace {

BnPtr public_bn(std::span<const std::uint8_t> bytes) {
  return BnPtr(BN_bin2bn(bytes.data(), static_cast<int>(bytes.size()), nullptr), BN_clear_free);
}

// The point of a SEC1 encoding; the leading byte fixes the only length allowed.
PointPtr decode_sec1_point(const EC_GROUP* group, std::span<const std::uint8_t> bytes,
                           BN_CTX* ctx) {
  PointPtr none(nullptr, EC_POINT_free);
  if (bytes.empty()) return none;
  std::uint8_t form = bytes[0];
  std::size_t wanted = form == 0x04 ? 65 : (form == 0x02 || form == 0x03 || form == 0x05) ? 33 : 0;
  if (wanted == 0 || bytes.size() != wanted) return none;  // also the 1-byte infinity form 00

  BnPtr p(BN_new(), BN_clear_free);
  PointPtr point(EC_POINT_new(group), EC_POINT_free);
  if (!p || !point || !EC_GROUP_get_curve(group, p.get(), nullptr, nullptr, ctx)) return none;
  BnPtr x = public_bn(bytes.subspan(1, 32));
  if (!x || BN_cmp(x.get(), p.get()) >= 0) return none;
  if (form == 0x04) {
    BnPtr y = public_bn(bytes.subspan(33, 32));
    if (!y || BN_cmp(y.get(), p.get()) >= 0 ||
        !EC_POINT_set_affine_coordinates(group, point.get(), x.get(), y.get(), ctx))
      return none;
  } else if (!EC_POINT_set_compressed_coordinates(group, point.get(), x.get(), form & 1, ctx)) {
    return none;
  } else if (form == 0x05) {
    // The compact form names the numerically smaller of the two roots.
    BnPtr y(BN_new(), BN_clear_free);
    BnPtr other(BN_new(), BN_clear_free);
    if (!y || !other ||
        !EC_POINT_get_affine_coordinates(group, point.get(), nullptr, y.get(), ctx) ||
        !BN_sub(other.get(), p.get(), y.get()))
      return none;
    if (BN_cmp(other.get(), y.get()) < 0 &&
        !EC_POINT_set_affine_coordinates(group, point.get(), x.get(), other.get(), ctx))
      return none;
  }
  if (EC_POINT_is_at_infinity(group, point.get()) ||
      EC_POINT_is_on_curve(group, point.get(), ctx) != 1)
    return none;
  return point;
}

struct Tlv {
  std::span<const std::uint8_t> value;
  std::span<const std::uint8_t> rest;
};

// One DER element with the given tag: definite, minimal length, within bounds.
std::optional<Tlv> read_der(std::span<const std::uint8_t> in, std::uint8_t tag) {
  if (in.size() < 2 || in[0] != tag) return std::nullopt;
  std::size_t length = in[1];
  std::size_t header = 2;
  if (length >= 0x80) {
    std::size_t count = length & 0x7F;
    // 0x80 is the indefinite form; more than two length bytes exceed any key.
    if (count == 0 || count > 2 || in.size() < 2 + count || in[2] == 0) return std::nullopt;
    length = 0;
    for (std::size_t i = 0; i < count; ++i) length = length << 8 | in[2 + i];
    if (length < 0x80) return std::nullopt;
    header += count;
  }
  if (length > in.size() - header) return std::nullopt;
  return Tlv{in.subspan(header, length), in.subspan(header + length)};
}

// The subjectPublicKey bytes of an id-ecPublicKey / prime256v1 SPKI.
std::optional<std::span<const std::uint8_t>> spki_point_bytes(std::span<const std::uint8_t> der) {
  // The AlgorithmIdentifier's content: OID 1.2.840.10045.2.1, OID 1.2.840.10045.3.1.7.
  static constexpr std::uint8_t kAlgorithm[] = {0x06, 0x07, 0x2A, 0x86, 0x48, 0xCE, 0x3D,
                                                0x02, 0x01, 0x06, 0x08, 0x2A, 0x86, 0x48,
                                                0xCE, 0x3D, 0x03, 0x01, 0x07};
  auto outer = read_der(der, 0x30);
  if (!outer || !outer->rest.empty()) return std::nullopt;
  auto algorithm = read_der(outer->value, 0x30);
  if (!algorithm || !std::ranges::equal(algorithm->value, kAlgorithm)) return std::nullopt;
  auto bits = read_der(algorithm->rest, 0x03);
  if (!bits || !bits->rest.empty() || bits->value.empty() || bits->value[0] != 0)
    return std::nullopt;
  return bits->value.subspan(1);
}

}  // namespace

PointPtr decode_public_key_point(const EC_GROUP* group, std::span<const std::uint8_t> bytes,
                                 BN_CTX* ctx) {
  PointPtr point = decode_sec1_point(group, bytes, ctx);
  if (point) return point;
  ERR_clear_error();
  auto inner = spki_point_bytes(bytes);
  if (!inner) return point;
  point = decode_sec1_point(group, *inner, ctx);
  ERR_clear_error();
  return point;
}

std::optional<std::array<std::uint8_t, 65>> decode_public_key(std::span<const std::uint8_t> bytes) {
  GroupPtr group = p256_group();
  BnCtxPtr ctx(BN_CTX_new(), BN_CTX_free);
  if (!group || !ctx) return std::nullopt;
  PointPtr point = decode_public_key_point(group.get(), bytes, ctx.get());
  std::array<std::uint8_t, 65> out{};
  if (!point || EC_POINT_point2oct(group.get(), point.get(), POINT_CONVERSION_UNCOMPRESSED,
                                   out.data(), out.size(), ctx.get()) != out.size())
    return std::nullopt;
  return out;
}
