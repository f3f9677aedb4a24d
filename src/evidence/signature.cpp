// ES256-P1363 signatures over manifest bytes. Signing derives its nonce per
// RFC 6979 and hands it to OpenSSL's own ECDSA, so equal inputs give equal
// signatures and no curve arithmetic is ours. Verification takes the public
// key in any encoding public_key.h decodes; every defect is a false result.

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
#include "evidence/p256.h"
#include "evidence/public_key.h"

namespace {

using Bytes32 = std::array<std::uint8_t, 32>;
using EcKeyPtr = std::unique_ptr<EC_KEY, decltype(&EC_KEY_free)>;
using SigPtr = std::unique_ptr<ECDSA_SIG, decltype(&ECDSA_SIG_free)>;

constexpr std::string_view kSignFailed = "signature operation failed";

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
  Bytes32 diff{};
  std::uint32_t borrow = 0;
  for (std::size_t i = 32; i-- > 0;) {
    std::uint32_t d = std::uint32_t{digest[i]} - kP256Order[i] - borrow;
    diff[i] = static_cast<std::uint8_t>(d);
    borrow = (d >> 31) & 1;
  }
  // A digest is below 2^256 < 2n, so one subtraction is enough.
  return borrow ? digest : diff;
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
  PointPtr point = decode_public_key_point(group.get(), public_key, ctx.get());
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
