#pragma once
// Private keys in the PEM files that openssl writes: SEC1 "EC PRIVATE KEY"
// and PKCS#8 "PRIVATE KEY", unencrypted, on P-256 only.

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "result.h"

/// True when the text holds a PEM "-----BEGIN" line rather than hex digits.
bool is_pem_text(std::string_view text);

/// The 32-byte big-endian private scalar of the first private key block;
/// other blocks ("EC PARAMETERS", certificates) are skipped. The caller wipes
/// the bytes. Fails with "nvr private key {path}: ..." naming an encrypted
/// key, a key that is not EC, a curve other than P-256, a malformed block,
/// or a file without a private key block.
Result<std::vector<std::uint8_t>> read_pem_private_scalar(std::string_view text,
                                                          const std::string& path);
