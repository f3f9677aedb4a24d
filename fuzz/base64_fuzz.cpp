// Base64 decoding on arbitrary text. The decoder takes one spelling per byte
// string, so what it accepts must be exactly the encoding of its result; and
// any bytes survive encoding and decoding unchanged.

#include <algorithm>

#include "encoding/base64.h"
#include "fuzz_util.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const fuzz::Bytes input(data, size);
  auto decoded = fuzz::timed(size, [&] { return base64_decode(fuzz::as_text(input)); });
  if (decoded) {
    fuzz::require(base64_encode(*decoded) == fuzz::as_text(input),
                  "accepted Base64 is not the encoding of its bytes");
  } else {
    fuzz::require_message(decoded.error());
  }
  auto round_trip = base64_decode(base64_encode(input));
  fuzz::require(round_trip && std::ranges::equal(*round_trip, input),
                "Base64 round trip changed bytes");
  return 0;
}
