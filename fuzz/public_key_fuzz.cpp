// Public key decoding for signature checks on arbitrary bytes: SEC1 points
// (uncompressed, compressed, compact) and DER SubjectPublicKeyInfo. A decoded
// point must decode to itself in its uncompressed, compressed and SPKI forms.

#include <array>
#include <vector>

#include "evidence/public_key.h"
#include "evidence/signature.h"
#include "fuzz_util.h"

namespace {

// SEQUENCE { SEQUENCE { id-ecPublicKey, prime256v1 }, BIT STRING { 0 unused bits, point } }
constexpr std::uint8_t kSpkiPrefix[] = {0x30, 0x59, 0x30, 0x13, 0x06, 0x07, 0x2A, 0x86, 0x48,
                                        0xCE, 0x3D, 0x02, 0x01, 0x06, 0x08, 0x2A, 0x86, 0x48,
                                        0xCE, 0x3D, 0x03, 0x01, 0x07, 0x03, 0x42, 0x00};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const fuzz::Bytes input(data, size);
  // Any bytes as a key must make the check false, never crash it.
  static constexpr auto kSignature = [] {
    std::array<std::uint8_t, 64> rs{};  // r = s = 1: in range, so the key is decoded
    rs[31] = rs[63] = 1;
    return rs;
  }();
  const bool verified =
      fuzz::timed(size, [&] { return verify_evidence_signature(input, kSignature, input); });
  fuzz::require(!verified, "a made-up signature verifies");

  auto point = fuzz::timed(size, [&] { return decode_public_key(input); });
  if (!point) return 0;
  fuzz::require((*point)[0] == 0x04, "a decoded point is not in uncompressed form");
  fuzz::require(decode_public_key(*point) == point, "a decoded point decodes otherwise");

  std::array<std::uint8_t, 33> compressed{};
  compressed[0] = static_cast<std::uint8_t>(0x02 | ((*point)[64] & 1));
  std::copy(point->begin() + 1, point->begin() + 33, compressed.begin() + 1);
  fuzz::require(decode_public_key(compressed) == point, "the compressed form decodes otherwise");

  std::vector<std::uint8_t> spki(std::begin(kSpkiPrefix), std::end(kSpkiPrefix));
  spki.insert(spki.end(), point->begin(), point->end());
  fuzz::require(decode_public_key(spki) == point, "the SPKI form decodes otherwise");
  return 0;
}
