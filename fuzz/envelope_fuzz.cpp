// The evidence envelope reader on arbitrary bytes. What it accepts, written
// back by the envelope writer, must read to the same record: the writer and
// the reader agree on every member the program carries on.

#include "evidence/envelope.h"
#include "fuzz_util.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  auto envelope = fuzz::timed(size, [&] { return read_envelope({data, size}); });
  if (!envelope) {
    fuzz::require_message(envelope.error());
    return 0;
  }
  const std::string text =
      write_envelope(envelope->purpose, 2, envelope->manifest_b64, envelope->nvr_sig_hex,
                     envelope->nvr_pubkey_hex, envelope->registry_base);
  auto again = read_envelope(fuzz::as_bytes(text));
  fuzz::require(again.has_value(), "a written envelope does not read back");
  fuzz::require(again->purpose == envelope->purpose && again->manifest == envelope->manifest &&
                    again->signature == envelope->signature &&
                    again->public_key == envelope->public_key &&
                    again->registry_base == envelope->registry_base,
                "a written envelope reads back different");
  return 0;
}
