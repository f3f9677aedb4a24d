// Reads the private scalar out of a PEM key file with OpenSSL's own PEM and
// DER decoders, so no ASN.1 is parsed here. Encrypted keys are refused by
// their label or header before any decoding: there is no passphrase to give.
// Block bytes live on OpenSSL's secure heap and are wiped when freed.

#include "evidence/pem_key.h"

#include <openssl/bio.h>
#include <openssl/bn.h>
#include <openssl/core_names.h>
#include <openssl/crypto.h>
#include <openssl/decoder.h>
#include <openssl/ec.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/objects.h>
#include <openssl/pem.h>

#include <limits>
#include <memory>

#include "evidence/p256.h"

namespace {

constexpr std::string_view kSec1Label = "EC PRIVATE KEY";
constexpr std::string_view kPkcs8Label = "PRIVATE KEY";
constexpr std::string_view kEncryptedPkcs8Label = "ENCRYPTED PRIVATE KEY";
constexpr std::string_view kP256Only = "only P-256 (prime256v1) keys are accepted";

std::unexpected<std::string> encrypted(const std::string& prefix, std::string_view what) {
  return fail(prefix + "encrypted PEM key (" + std::string(what) +
              "); only unencrypted keys are accepted");
}

using BioPtr = std::unique_ptr<BIO, decltype(&BIO_free)>;
using PkeyPtr = std::unique_ptr<EVP_PKEY, decltype(&EVP_PKEY_free)>;
using DecoderPtr = std::unique_ptr<OSSL_DECODER_CTX, decltype(&OSSL_DECODER_CTX_free)>;

// One block as PEM_read_bio_ex hands it out with PEM_FLAG_SECURE.
struct PemBlock {
  char* name = nullptr;
  char* header = nullptr;
  unsigned char* data = nullptr;
  long length = 0;
  PemBlock() = default;
  PemBlock(const PemBlock&) = delete;
  PemBlock& operator=(const PemBlock&) = delete;
  ~PemBlock() {
    OPENSSL_secure_free(name);
    OPENSSL_secure_free(header);
    OPENSSL_secure_clear_free(data, static_cast<std::size_t>(length));
  }
};

enum class Read { Block, End, Malformed };

// The next block; End once no "-----BEGIN" line follows. OpenSSL's error
// queue is left as it was found.
Read read_block(BIO* bio, PemBlock& block) {
  ERR_set_mark();
  const int ok = PEM_read_bio_ex(bio, &block.name, &block.header, &block.data, &block.length,
                                 PEM_FLAG_SECURE | PEM_FLAG_EAY_COMPATIBLE);
  const unsigned long error = ERR_peek_last_error();
  ERR_pop_to_mark();
  if (ok) return Read::Block;
  const bool end =
      ERR_GET_LIB(error) == ERR_LIB_PEM && ERR_GET_REASON(error) == PEM_R_NO_START_LINE;
  return end ? Read::End : Read::Malformed;
}

PkeyPtr decode_der(const PemBlock& block, bool sec1) {
  EVP_PKEY* key = nullptr;
  DecoderPtr decoder(
      OSSL_DECODER_CTX_new_for_pkey(&key, "DER", sec1 ? "type-specific" : "PrivateKeyInfo",
                                    sec1 ? "EC" : nullptr, EVP_PKEY_KEYPAIR, nullptr, nullptr),
      OSSL_DECODER_CTX_free);
  const unsigned char* data = block.data;
  std::size_t length = static_cast<std::size_t>(block.length);
  ERR_set_mark();
  if (decoder && !OSSL_DECODER_from_data(decoder.get(), &data, &length)) {
    EVP_PKEY_free(key);
    key = nullptr;
  }
  ERR_pop_to_mark();
  return PkeyPtr(key, EVP_PKEY_free);
}

// Empty when the key is an EC key on P-256, else why it is not.
std::string why_not_p256(EVP_PKEY* key) {
  if (!EVP_PKEY_is_a(key, "EC")) {
    const char* type = EVP_PKEY_get0_type_name(key);
    return std::string(type ? type : "unknown") + " key; " + std::string(kP256Only);
  }
  char group[64] = {};
  std::size_t length = 0;
  if (!EVP_PKEY_get_group_name(key, group, sizeof group, &length)) {
    return "EC key on an unnamed curve; " + std::string(kP256Only);
  }
  int nid = OBJ_sn2nid(group);
  if (nid == NID_undef) nid = EC_curve_nist2nid(group);
  if (nid != NID_X9_62_prime256v1) {
    return "EC key on curve " + std::string(group) + "; " + std::string(kP256Only);
  }
  return {};
}

// The scalar of a decoded P-256 key, big-endian in 32 bytes.
Result<std::vector<std::uint8_t>> private_scalar(EVP_PKEY* key, const std::string& prefix) {
  BnPtr secret(BN_secure_new(), BN_clear_free);
  BIGNUM* filled = secret.get();
  const bool got = secret && EVP_PKEY_get_bn_param(key, OSSL_PKEY_PARAM_PRIV_KEY, &filled);
  if (filled != secret.get()) secret.reset(filled);
  if (!got) return fail(prefix + "no private key in the key block");
  std::vector<std::uint8_t> scalar(32);
  if (BN_bn2binpad(secret.get(), scalar.data(), static_cast<int>(scalar.size())) < 0) {
    return fail(prefix + "private scalar longer than 32 bytes");
  }
  return scalar;
}

Result<std::vector<std::uint8_t>> scalar_of_block(const PemBlock& block, std::string_view label,
                                                  const std::string& prefix) {
  // A traditional encrypted key keeps its label and says so in its header.
  if (block.header != nullptr &&
      std::string_view(block.header).find("ENCRYPTED") != std::string_view::npos) {
    return encrypted(prefix, std::string(label) + " with Proc-Type: 4,ENCRYPTED");
  }
  PkeyPtr key = decode_der(block, label == kSec1Label);
  if (!key) return fail(prefix + "malformed " + std::string(label) + " block");
  if (std::string why = why_not_p256(key.get()); !why.empty()) return fail(prefix + why);
  return private_scalar(key.get(), prefix);
}

}  // namespace

bool is_pem_text(std::string_view text) {
  return text.find("-----BEGIN") != std::string_view::npos;
}

Result<std::vector<std::uint8_t>> read_pem_private_scalar(std::string_view text,
                                                          const std::string& path) {
  const std::string prefix = "nvr private key " + path + ": ";
  if (text.size() > static_cast<std::size_t>(std::numeric_limits<int>::max())) {
    return fail(prefix + "malformed PEM text");
  }
  BioPtr bio(BIO_new_mem_buf(text.data(), static_cast<int>(text.size())), BIO_free);
  if (!bio) return fail(prefix + "malformed PEM text");
  for (;;) {
    PemBlock block;
    const Read read = read_block(bio.get(), block);
    if (read == Read::End) break;
    if (read == Read::Malformed) return fail(prefix + "malformed PEM text");
    const std::string_view label(block.name);
    if (label == kEncryptedPkcs8Label) return encrypted(prefix, label);
    if (label == kSec1Label || label == kPkcs8Label) return scalar_of_block(block, label, prefix);
  }
  return fail(prefix + "no " + std::string(kSec1Label) + " or " + std::string(kPkcs8Label) +
              " block");
}
