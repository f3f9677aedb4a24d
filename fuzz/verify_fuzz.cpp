// verify end to end on a file holding arbitrary bytes: the report must write
// as JSON that reads back, and a passing report must describe a file whose
// bytes before the box are exactly the signed source (checked here again).

#include <openssl/sha.h>

#include <nlohmann/json.hpp>

#include "verification/verification_report.h"
#include "encoding/hex.h"
#include "fuzz_util.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  fuzz::MemoryFile file({data, size});
  const VerificationReport report =
      fuzz::timed(size, [&] { return build_verification_report(file.path()); });
  try {
    const nlohmann::json back = nlohmann::json::parse(report.to_json());
    fuzz::require(back.is_object(), "the report is not a JSON object");
  } catch (const nlohmann::json::exception& e) {
    fuzz::broken(std::string("the report does not read back: ") + e.what());
  }
  if (report.box) {
    fuzz::require(report.box->box_offset < size && report.box->box_end <= size,
                  "the reported evidence box does not lie inside the file");
  }
  if (!report.binding_holds) return 0;
  fuzz::require(report.box && report.manifest &&
                    report.signature == VerificationReport::Signature::Valid &&
                    report.file_integrity == VerificationReport::FileIntegrity::Match,
                "a passing report without a valid signature and matching bytes");
  const std::uint64_t offset = report.box->box_offset;
  fuzz::require(report.box->box_end == size && report.manifest->source_size == offset,
                "a passing report for a file with bytes around the source and box");
  std::uint8_t digest[SHA256_DIGEST_LENGTH];
  SHA256(data, offset, digest);
  fuzz::require(hex_encode(report.manifest->source_sha256) == hex_encode(digest),
                "a passing report for bytes that are not the signed source");
  return 0;
}
