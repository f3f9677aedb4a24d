// The case attestation request reader of sign-zip-manifest on arbitrary bytes.

#include "evidence/request.h"
#include "fuzz_util.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  auto request = fuzz::timed(size, [&] { return read_case_attestation_request({data, size}); });
  if (!request) {
    fuzz::require_message(request.error());
    return 0;
  }
  fuzz::require(
      request->v == 1 && request->source_size > 0 && request->source_sha256_hex.size() == 64,
      "an accepted case request breaks a rule");
  return 0;
}
