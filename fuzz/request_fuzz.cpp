// The video attestation request reader on arbitrary bytes. An accepted
// request, written again by the request writer, must read to the same record.

#include "evidence/request.h"
#include "fuzz_util.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  auto request = fuzz::timed(size, [&] { return read_attestation_request({data, size}); });
  if (!request) {
    fuzz::require_message(request.error());
    return 0;
  }
  AttestationRequest written{
      .name = request->name,
      .source_sha256_hex = request->source_sha256_hex,
      .source_size = request->source_size,
      .fps = request->fps,
      .native_width = std::nullopt,
      .native_height = std::nullopt,
      .phashes_hex = request->phashes_hex,
  };
  const std::string text = write_attestation_request(written);
  auto again = read_attestation_request(fuzz::as_bytes(text));
  fuzz::require(again.has_value(), "a written request does not read back");
  fuzz::require(again->name == request->name &&
                    again->source_sha256_hex == request->source_sha256_hex &&
                    again->source_size == request->source_size && again->fps == request->fps &&
                    again->phashes_hex == request->phashes_hex,
                "a written request reads back different");
  return 0;
}
