// SHA-256 through OpenSSL's digest interface, the program's one home for it;
// every call's result is checked, so a failing library can never yield a
// digest that matches.

#include "encoding/sha256.h"

#include "encoding/hex.h"

namespace {
constexpr std::string_view kFailed = "SHA-256 computation failed";
}  // namespace

std::string sha256_hex(std::span<const std::uint8_t> bytes) {
  std::uint8_t digest[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  // Fails only when OpenSSL cannot allocate; the empty text then returned
  // matches no digest, so a comparison with it fails safely.
  if (EVP_Digest(bytes.data(), bytes.size(), digest, &length, EVP_sha256(), nullptr) != 1) {
    return {};
  }
  return hex_encode(std::span(digest, length));
}

std::string sha256_hex(std::string_view text) {
  return sha256_hex(std::span(reinterpret_cast<const std::uint8_t*>(text.data()), text.size()));
}

Result<Sha256> Sha256::start() {
  Context context(EVP_MD_CTX_new(), EVP_MD_CTX_free);
  if (!context || EVP_DigestInit_ex(context.get(), EVP_sha256(), nullptr) != 1) {
    return fail("SHA-256 is unavailable");
  }
  return Sha256(std::move(context));
}

Result<void> Sha256::update(std::span<const std::uint8_t> bytes) {
  if (EVP_DigestUpdate(context_.get(), bytes.data(), bytes.size()) != 1) {
    return fail(std::string(kFailed));
  }
  return {};
}

Result<std::string> Sha256::finish_hex() {
  std::uint8_t digest[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  if (EVP_DigestFinal_ex(context_.get(), digest, &length) != 1) return fail(std::string(kFailed));
  return hex_encode(std::span(digest, length));
}
