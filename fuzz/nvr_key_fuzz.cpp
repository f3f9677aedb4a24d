// The NVR key loader on arbitrary key text (up to the first NUL byte) and
// expected public key text (after it), given as hex text and as a key file.
// A key that loads from the text must load the same from a file holding that
// text, and its public key must be the curve point it names.

#include <optional>

#include "encoding/hex.h"
#include "evidence/nvr_key.h"
#include "evidence/public_key.h"
#include "fuzz_util.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view input = fuzz::as_text({data, size});
  const std::size_t cut = input.find('\0');
  const std::string key_text(input.substr(0, cut));
  std::optional<std::string> expected;
  if (cut != std::string_view::npos) expected = std::string(input.substr(cut + 1));

  // The hex form prints its warning on every call; fuzzing runs close stderr.
  auto from_text = fuzz::timed(size, [&] {
    return load_nvr_key({KeySource::Kind::Hex, key_text}, expected);
  });
  fuzz::MemoryFile file(fuzz::as_bytes(key_text));
  auto from_file = fuzz::timed(size, [&] {
    return load_nvr_key({KeySource::Kind::File, file.path()}, expected);
  });
  if (!from_file) fuzz::require_message(from_file.error());
  if (!from_text) {
    fuzz::require_message(from_text.error());
    return 0;
  }
  fuzz::require(from_file.has_value() && from_file->scalar == from_text->scalar &&
                    from_file->public_key_hex == from_text->public_key_hex,
                "a key that loads from text loads otherwise from a file");
  auto point = hex_decode(from_text->public_key_hex);
  fuzz::require(point && point->size() == 65 && decode_public_key(*point).has_value(),
                "the derived public key is not a curve point");
  return 0;
}
