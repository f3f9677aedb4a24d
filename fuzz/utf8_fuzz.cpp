// The UTF-8 helpers on arbitrary bytes: validity agrees with the JSON
// library's own check, lossy conversion yields valid text and changes only
// invalid text, and trimming and white-space removal are idempotent.

#include "encoding/text.h"
#include "fuzz_util.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text = fuzz::as_text({data, size});
  const bool valid = fuzz::timed(size, [&] { return is_valid_utf8(text); });
  fuzz::require(valid == fuzz::is_json_text(text),
                "UTF-8 validity disagrees with the JSON library");

  const std::string lossy = fuzz::timed(size, [&] { return to_lossy_utf8(text); });
  fuzz::require(is_valid_utf8(lossy), "lossy conversion left invalid UTF-8");
  fuzz::require(valid == (lossy == text), "lossy conversion changed valid text or kept invalid");

  const std::string_view trimmed = fuzz::timed(size, [&] { return trim_unicode_whitespace(text); });
  fuzz::require(
      trimmed.data() >= text.data() && trimmed.data() + trimmed.size() <= text.data() + text.size(),
      "trimming left the text");
  fuzz::require(trim_unicode_whitespace(trimmed) == trimmed, "trimming is not idempotent");
  if (valid) {
    const std::string removed = fuzz::timed(size, [&] { return remove_unicode_whitespace(text); });
    fuzz::require(remove_unicode_whitespace(removed) == removed,
                  "white-space removal is not idempotent");
  }
  return 0;
}
