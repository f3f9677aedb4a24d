// The PDQ hash list of --pdq-hashes on arbitrary text. Every hash it returns
// passes the hash rule, and there is at most one per line.

#include <algorithm>

#include "evidence/pdq_hash_list.h"
#include "evidence/request.h"
#include "fuzz_util.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text = fuzz::as_text({data, size});
  auto hashes = fuzz::timed(size, [&] { return read_pdq_hash_list(text); });
  if (!hashes) {
    fuzz::require_message(hashes.error());
    return 0;
  }
  const auto lines = static_cast<std::size_t>(std::count(text.begin(), text.end(), '\n')) + 1;
  fuzz::require(hashes->size() <= lines, "more hashes than lines");
  for (const std::string& hash : *hashes)
    fuzz::require(check_pdq_hash_text(hash).has_value(), "a returned hash breaks the hash rule");
  return 0;
}
