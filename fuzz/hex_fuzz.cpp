// Hex decoding on arbitrary text: what it accepts is the lowercase encoding
// of its result once white space is trimmed, and any bytes survive encoding
// and decoding unchanged.

#include <algorithm>

#include "encoding/hex.h"
#include "encoding/text.h"
#include "fuzz_util.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const fuzz::Bytes input(data, size);
  auto decoded = fuzz::timed(size, [&] { return hex_decode(fuzz::as_text(input)); });
  if (decoded) {
    std::string digits(trim_unicode_whitespace(fuzz::as_text(input)));
    std::transform(digits.begin(), digits.end(), digits.begin(),
                   [](char c) { return c >= 'A' && c <= 'F' ? static_cast<char>(c + 32) : c; });
    fuzz::require(hex_encode(*decoded) == digits, "decoded hex does not encode back");
  } else {
    if (decoded.error() != "hex string has odd length" &&
        decoded.error() != "hex string contains non-hex characters")
      fuzz::broken("hex decoding failed with another message: " + decoded.error());
  }
  auto round_trip = hex_decode(hex_encode(input));
  fuzz::require(round_trip && std::ranges::equal(*round_trip, input),
                "hex round trip changed bytes");
  return 0;
}
