// Hex text for digests, keys and signatures: written lowercase, read in
// either case after surrounding white space is trimmed. The length check comes
// before the digit check so the same bad text always gives the same message.

#include "encoding/hex.h"

#include "encoding/text.h"

namespace {

constexpr char kDigits[] = "0123456789abcdef";

int nibble(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

}  // namespace

std::string hex_encode(std::span<const std::uint8_t> bytes) {
  std::string out;
  out.reserve(bytes.size() * 2);
  for (std::uint8_t b : bytes) {
    out.push_back(kDigits[b >> 4]);
    out.push_back(kDigits[b & 0x0F]);
  }
  return out;
}

Result<std::vector<std::uint8_t>> hex_decode(std::string_view text) {
  std::string_view digits = trim_unicode_whitespace(text);
  if (digits.size() % 2 != 0) return fail("hex string has odd length");
  for (char c : digits) {
    if (nibble(c) < 0) return fail("hex string contains non-hex characters");
  }
  std::vector<std::uint8_t> out;
  out.reserve(digits.size() / 2);
  for (std::size_t i = 0; i < digits.size(); i += 2) {
    out.push_back(static_cast<std::uint8_t>(nibble(digits[i]) << 4 | nibble(digits[i + 1])));
  }
  return out;
}
