// verify end to end on a file holding arbitrary bytes: the report must be
// writable as strict JSON, and a passing report must describe a file whose
// bytes before the box are exactly the signed source (checked here again).

#include <openssl/sha.h>

#include <nlohmann/json.hpp>

#include "commands/verify.h"
#include "encoding/hex.h"
#include "fuzz_util.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  fuzz::MemoryFile file({data, size});
  const VerificationReport report =
      fuzz::timed(size, [&] { return build_verification_report(file.path()); });
  try {
    (void)report.dump(2, ' ', false, nlohmann::json::error_handler_t::strict);
  } catch (const nlohmann::json::exception& e) {
    fuzz::broken(std::string("the report does not write: ") + e.what());
  }
  if (report.contains("evidence_box_offset")) {
    const auto offset = report["evidence_box_offset"].get<std::uint64_t>();
    const auto bytes = report["evidence_box_bytes"].get<std::uint64_t>();
    fuzz::require(offset < size && bytes <= size - offset,
                  "the reported evidence box does not lie inside the file");
  }
  if (report["self_signed_exact_binding"] != "ok") return 0;
  fuzz::require(report["signature"] == "valid" && report["file_integrity"] == "match",
                "a passing report without a valid signature and matching bytes");
  const auto offset = report["evidence_box_offset"].get<std::uint64_t>();
  fuzz::require(offset + report["evidence_box_bytes"].get<std::uint64_t>() == size &&
                    report["source_size"].get<std::uint64_t>() == offset,
                "a passing report for a file with bytes around the source and box");
  std::uint8_t digest[SHA256_DIGEST_LENGTH];
  SHA256(data, offset, digest);
  fuzz::require(report["source_sha256_hex"] == hex_encode(digest),
                "a passing report for bytes that are not the signed source");
  return 0;
}
