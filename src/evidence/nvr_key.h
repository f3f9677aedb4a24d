#pragma once
// The NVR's P-256 signing key: loaded from a key file or hex text, checked,
// its public key derived. Key bytes are wiped when the key goes away.

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <string>

#include "result.h"

/// Where the private key comes from: hex text given directly, or a key file.
struct KeySource {
  enum class Kind { Hex, File };
  Kind kind = Kind::Hex;
  std::string value;  // the key text for Hex, the path for File
};

class NvrKey {
 public:
  NvrKey() = default;
  NvrKey(const NvrKey&) = delete;
  NvrKey& operator=(const NvrKey&) = delete;
  NvrKey(NvrKey&& other) noexcept;
  NvrKey& operator=(NvrKey&& other) noexcept;
  ~NvrKey();

  std::array<std::uint8_t, 32> scalar{};  // big-endian k, 1 <= k < n
  std::string public_key_hex;             // 04 || X || Y, 130 lowercase digits
};

/// The loaded key, or the first fault's message. A key file holds hex digits
/// or a PEM key (see pem_key.h). Prints the hex-key warning, and a warning for
/// a key file that group or others can read.
Result<NvrKey> load_nvr_key(const KeySource& source,
                            const std::optional<std::string>& expected_public_key_hex);
/// True when the 32 big-endian bytes hold k with 1 <= k < n (the P-256 group
/// order). Runs in constant time: no branch or index depends on the bytes.
bool is_p256_scalar(std::span<const std::uint8_t, 32> bytes);
