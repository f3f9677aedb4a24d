// ES256-P1363 signatures over manifest bytes. Signing derives its nonce per
// RFC 6979 and hands it to OpenSSL's own ECDSA, so equal inputs give equal
// signatures and no curve arithmetic is ours. Verification accepts a public
// key as a SEC1 point or a strict-DER SubjectPublicKeyInfo; every defect is a
// false result.

// OpenSSL 3.0 has no deterministic-nonce option; ECDSA_do_sign_ex with a
// precomputed k^-1 and r is its only way to sign with a nonce we choose.
#define OPENSSL_SUPPRESS_DEPRECATED

#include "evidence/signature.h"

#include <openssl/bn.h>
#include <openssl/crypto.h>
#include <openssl/ec.h>
#include <openssl/ecdsa.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/hmac.h>
#include <openssl/obj_mac.h>

#include <algorithm>
#include <memory>

#include "encoding/base64.h"
#include "encoding/hex.h"
#include "evidence/nvr_key.h"

namespace {

using Bytes32 = std::array<std::uint8_t, 32>;
using GroupPtr = std::unique_ptr<EC_GROUP, decltype(&EC_GROUP_free)>;
using PointPtr = std::unique_ptr<EC_POINT, decltype(&EC_POINT_free)>;
using BnPtr = std::unique_ptr<BIGNUM, decltype(&BN_clear_free)>;
using BnCtxPtr = std::unique_ptr<BN_CTX, decltype(&BN_CTX_free)>;
using EcKeyPtr = std::unique_ptr<EC_KEY, decltype(&EC_KEY_free)>;
using SigPtr = std::unique_ptr<ECDSA_SIG, decltype(&ECDSA_SIG_free)>;

constexpr std::string_view kSignFailed = "signature operation failed";

GroupPtr p256_group() {
  return GroupPtr(EC_GROUP_new_by_curve_name(NID_X9_62_prime256v1), EC_GROUP_free);
}

BnPtr secret_bn(std::span<const std::uint8_t> bytes) {
  BnPtr bn(BN_secure_new(), BN_clear_free);
  if (!bn) return bn;
  BN_set_flags(bn.get(), BN_FLG_CONSTTIME);
  if (!BN_bin2bn(bytes.data(), static_cast<int>(bytes.size()), bn.get())) bn.reset();
  return bn;
}

BnPtr public_bn(std::span<const std::uint8_t> bytes) {
  return BnPtr(BN_bin2bn(bytes.data(), static_cast<int>(bytes.size()), nullptr), BN_clear_free);
}

// Wipes a fixed-size secret when the scope ends.
struct WipeOnExit {
  std::span<std::uint8_t> bytes;
  ~WipeOnExit() { OPENSSL_cleanse(bytes.data(), bytes.size()); }
};

// ---- RFC 6979 ----

bool hmac_sha256(const Bytes32& key, std::span<const std::uint8_t> data, Bytes32& out) {
  unsigned int length = 0;
  return HMAC(EVP_sha256(), key.data(), static_cast<int>(key.size()), data.data(), data.size(),
              out.data(), &length) != nullptr &&
         length == out.size();
}

// K = HMAC_K(V || marker || x || h), then V = HMAC_K(V).
bool drbg_update(Bytes32& k, Bytes32& v, std::uint8_t marker, const Bytes32& x, const Bytes32& h) {
  std::array<std::uint8_t, 97> input{};
  WipeOnExit wipe{input};
  std::copy(v.begin(), v.end(), input.begin());
  input[32] = marker;
  std::copy(x.begin(), x.end(), input.begin() + 33);
  std::copy(h.begin(), h.end(), input.begin() + 65);
  return hmac_sha256(k, input, k) && hmac_sha256(k, v, v);
}

// The digest reduced modulo n (bits2octets for a 256-bit digest and group).
Bytes32 reduce_digest(const Bytes32& digest) {
  static constexpr Bytes32 kOrder = {0xFF, 0xFF, 0xFF, 0xFF, 0x00, 0x00, 0x00, 0x00,
                                     0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF,
                                     0xBC, 0xE6, 0xFA, 0xAD, 0xA7, 0x17, 0x9E, 0x84,
                                     0xF3, 0xB9, 0xCA, 0xC2, 0xFC, 0x63, 0x25, 0x51};
  Bytes32 diff{};
  std::uint32_t borrow = 0;
  for (std::size_t i = 32; i-- > 0;) {
    std::uint32_t d = std::uint32_t{digest[i]} - kOrder[i] - borrow;
    diff[i] = static_cast<std::uint8_t>(d);
    borrow = (d >> 31) & 1;
  }
  // A digest is below 2^256 < 2n, so one subtraction is enough.
  return borrow ? digest : diff;
}

// ---- public keys ----

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

PointPtr decode_point(const EC_GROUP* group, std::span<const std::uint8_t> bytes, BN_CTX* ctx) {
  PointPtr point = decode_sec1_point(group, bytes, ctx);
  if (point) return point;
  ERR_clear_error();
  auto inner = spki_point_bytes(bytes);
  if (!inner) return point;
  point = decode_sec1_point(group, *inner, ctx);
  ERR_clear_error();
  return point;
}

// ---- signing ----

struct NonceSetup {
  BnPtr kinv{nullptr, BN_clear_free};
  BnPtr r{nullptr, BN_clear_free};
};

// k^-1 mod n and r = x(k*G) mod n, both through OpenSSL's constant-time code.
// Returns r = 0 as a null r, which asks for the next nonce.
std::optional<NonceSetup> prepare_nonce(const EC_GROUP* group, const Bytes32& nonce, BN_CTX* ctx) {
  BnPtr k = secret_bn(nonce);
  PointPtr big_r(EC_POINT_new(group), EC_POINT_free);
  BnPtr x(BN_new(), BN_clear_free);
  BnPtr exponent(BN_new(), BN_clear_free);
  NonceSetup setup{BnPtr(BN_secure_new(), BN_clear_free), BnPtr(BN_new(), BN_clear_free)};
  const BIGNUM* order = EC_GROUP_get0_order(group);
  if (!k || !big_r || !x || !exponent || !setup.kinv || !setup.r || !order) return std::nullopt;
  BN_set_flags(setup.kinv.get(), BN_FLG_CONSTTIME);
  if (!EC_POINT_mul(group, big_r.get(), k.get(), nullptr, nullptr, ctx) ||
      !EC_POINT_get_affine_coordinates(group, big_r.get(), x.get(), nullptr, ctx) ||
      !BN_nnmod(setup.r.get(), x.get(), order, ctx))
    return std::nullopt;
  // Fermat inversion: k^(n-2) mod n, with OpenSSL's constant-time exponentiation.
  if (!BN_copy(exponent.get(), order) || !BN_sub_word(exponent.get(), 2) ||
      !BN_mod_exp_mont_consttime(setup.kinv.get(), k.get(), exponent.get(), order, ctx, nullptr))
    return std::nullopt;
  if (BN_is_zero(setup.r.get())) setup.r.reset();
  return setup;
}

}  // namespace

Result<std::array<std::uint8_t, 32>> rfc6979_nonce(const std::array<std::uint8_t, 32>& scalar,
                                                   const std::array<std::uint8_t, 32>& digest,
                                                   unsigned skip) {
  Bytes32 k{};
  Bytes32 v{};
  WipeOnExit wipe_k{k};
  WipeOnExit wipe_v{v};
  v.fill(0x01);
  const Bytes32 h = reduce_digest(digest);
  if (!drbg_update(k, v, 0x00, scalar, h) || !drbg_update(k, v, 0x01, scalar, h))
    return fail(std::string(kSignFailed));
  for (;;) {
    if (!hmac_sha256(k, v, v)) return fail(std::string(kSignFailed));
    if (is_p256_scalar(v)) {
      if (skip == 0) return v;
      --skip;
    }
    std::array<std::uint8_t, 33> input{};
    WipeOnExit wipe_input{input};
    std::copy(v.begin(), v.end(), input.begin());
    if (!hmac_sha256(k, input, k) || !hmac_sha256(k, v, v)) return fail(std::string(kSignFailed));
  }
}

Result<std::array<std::uint8_t, 64>> sign_digest(const std::array<std::uint8_t, 32>& scalar,
                                                 const std::array<std::uint8_t, 32>& digest) {
  GroupPtr group = p256_group();
  BnCtxPtr ctx(BN_CTX_secure_new(), BN_CTX_free);
  EcKeyPtr key(EC_KEY_new(), EC_KEY_free);
  BnPtr private_key = secret_bn(scalar);
  if (!group || !ctx || !key || !private_key || !EC_KEY_set_group(key.get(), group.get()) ||
      !EC_KEY_set_private_key(key.get(), private_key.get()))
    return fail(std::string(kSignFailed));
  // A nonce that gives r = 0 or s = 0 is passed over for the next one; with
  // P-256 that never happens in practice, so the bound is generous.
  for (unsigned attempt = 0; attempt < 16; ++attempt) {
    auto nonce = rfc6979_nonce(scalar, digest, attempt);
    if (!nonce) return fail(nonce.error());
    WipeOnExit wipe_nonce{*nonce};
    auto setup = prepare_nonce(group.get(), *nonce, ctx.get());
    if (!setup) return fail(std::string(kSignFailed));
    if (!setup->r) continue;
    ERR_clear_error();
    SigPtr sig(ECDSA_do_sign_ex(digest.data(), static_cast<int>(digest.size()), setup->kinv.get(),
                                setup->r.get(), key.get()),
               ECDSA_SIG_free);
    if (!sig) {
      if (ERR_GET_REASON(ERR_peek_last_error()) == EC_R_NEED_NEW_SETUP_VALUES) continue;
      ERR_clear_error();
      return fail(std::string(kSignFailed));
    }
    std::array<std::uint8_t, 64> out{};
    if (BN_bn2binpad(ECDSA_SIG_get0_r(sig.get()), out.data(), 32) != 32 ||
        BN_bn2binpad(ECDSA_SIG_get0_s(sig.get()), out.data() + 32, 32) != 32)
      return fail(std::string(kSignFailed));
    return out;
  }
  return fail(std::string(kSignFailed));
}

Result<SignedManifest> sign_manifest(const EvidenceManifest& manifest,
                                     const std::array<std::uint8_t, 32>& scalar) {
  std::vector<std::uint8_t> bytes = encode_manifest(manifest);
  Bytes32 digest{};
  unsigned int length = 0;
  if (!EVP_Digest(bytes.data(), bytes.size(), digest.data(), &length, EVP_sha256(), nullptr))
    return fail(std::string(kSignFailed));
  auto signature = sign_digest(scalar, digest);
  if (!signature) return fail(signature.error());
  return SignedManifest{base64_encode(bytes), hex_encode(*signature)};
}

std::optional<std::array<std::uint8_t, 65>> decode_public_key(std::span<const std::uint8_t> bytes) {
  GroupPtr group = p256_group();
  BnCtxPtr ctx(BN_CTX_new(), BN_CTX_free);
  if (!group || !ctx) return std::nullopt;
  PointPtr point = decode_point(group.get(), bytes, ctx.get());
  std::array<std::uint8_t, 65> out{};
  if (!point || EC_POINT_point2oct(group.get(), point.get(), POINT_CONVERSION_UNCOMPRESSED,
                                   out.data(), out.size(), ctx.get()) != out.size())
    return std::nullopt;
  return out;
}

bool verify_evidence_signature(std::span<const std::uint8_t> public_key,
                               std::span<const std::uint8_t> signature,
                               std::span<const std::uint8_t> message) {
  if (signature.size() != 64) return false;
  auto r_bytes = signature.first<32>();
  auto s_bytes = signature.last<32>();
  if (!is_p256_scalar(r_bytes) || !is_p256_scalar(s_bytes)) return false;

  GroupPtr group = p256_group();
  BnCtxPtr ctx(BN_CTX_new(), BN_CTX_free);
  if (!group || !ctx) return false;
  PointPtr point = decode_point(group.get(), public_key, ctx.get());
  EcKeyPtr key(EC_KEY_new(), EC_KEY_free);
  if (!point || !key || !EC_KEY_set_group(key.get(), group.get()) ||
      !EC_KEY_set_public_key(key.get(), point.get()))
    return false;

  Bytes32 digest{};
  unsigned int length = 0;
  if (!EVP_Digest(message.data(), message.size(), digest.data(), &length, EVP_sha256(), nullptr))
    return false;
  SigPtr sig(ECDSA_SIG_new(), ECDSA_SIG_free);
  BIGNUM* r = BN_bin2bn(r_bytes.data(), 32, nullptr);
  BIGNUM* s = BN_bin2bn(s_bytes.data(), 32, nullptr);
  if (!sig || !r || !s || !ECDSA_SIG_set0(sig.get(), r, s)) {
    BN_free(r);
    BN_free(s);
    return false;
  }
  bool valid =
      ECDSA_do_verify(digest.data(), static_cast<int>(digest.size()), sig.get(), key.get()) == 1;
  ERR_clear_error();
  return valid;
}
