#pragma once
// The NVR public keys an examiner trusts, given on the command line or in a
// file, so that verify can tell a file signed by a known recorder from one
// re-signed with a key of someone else's.

#include <array>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "result.h"

class PinnedKeys {
 public:
  /// Keys as hex text (SEC1 point or SubjectPublicKeyInfo) and files of one
  /// such key per line, with blank lines and "#" comments. Fails naming the
  /// option or file line of the first key that is not a P-256 public key.
  static Result<PinnedKeys> load(std::span<const std::string> hex_keys,
                                 std::span<const std::string> files);
  bool empty() const { return keys_.empty(); }
  /// True when `public_key`, in any accepted encoding, is one of the keys.
  bool contains(std::span<const std::uint8_t> public_key) const;

 private:
  std::vector<std::array<std::uint8_t, 65>> keys_;  // uncompressed points
};
