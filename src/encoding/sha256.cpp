// Streaming SHA-256 through OpenSSL's digest interface; every call's result
// is checked, so a failing library can never yield a digest that matches.

#include "encoding/sha256.h"

#include "encoding/hex.h"

namespace {
constexpr std::string_view kFailed = "SHA-256 computation failed";
}  // namespace

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
