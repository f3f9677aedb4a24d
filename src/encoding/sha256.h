#pragma once
// SHA-256: of bytes at hand, and streaming, for files hashed chunk by chunk
// as they are read.

#include <openssl/evp.h>

#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <string_view>

#include "result.h"

/// SHA-256 of the bytes as 64 lowercase hex digits.
std::string sha256_hex(std::span<const std::uint8_t> bytes);
std::string sha256_hex(std::string_view text);

class Sha256 {
 public:
  /// A fresh computation; fails with "SHA-256 is unavailable".
  static Result<Sha256> start();
  /// Feeds bytes; fails with "SHA-256 computation failed".
  Result<void> update(std::span<const std::uint8_t> bytes);
  /// The digest as 64 lowercase hex digits; fails as update does.
  Result<std::string> finish_hex();

 private:
  using Context = std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)>;
  explicit Sha256(Context context) : context_(std::move(context)) {}
  Context context_;
};
