// Builds the evidence box in the one header form we write, the 32-bit size, so
// every reader of ISO base-media files can step over it.

#include "mp4/evidence_box.h"

std::string payload_too_large(std::uint64_t payload_bytes) {
  return "evidence envelope payload too large: " + std::to_string(payload_bytes) + " bytes";
}

Result<std::vector<std::uint8_t>> build_evidence_box(std::span<const std::uint8_t> envelope_bytes) {
  // A box no reader accepts is refused before anything is copied; the limit
  // also keeps the size within the 32-bit form.
  if (envelope_bytes.size() > kMaxEvidencePayloadBytes) {
    return fail(payload_too_large(envelope_bytes.size()));
  }
  const auto size = static_cast<std::uint32_t>(envelope_bytes.size() + kEvidenceBoxHeaderBytes);
  std::vector<std::uint8_t> box;
  box.reserve(size);
  for (int shift = 24; shift >= 0; shift -= 8)
    box.push_back(static_cast<std::uint8_t>(size >> shift));
  for (char c : {'u', 'u', 'i', 'd'}) box.push_back(static_cast<std::uint8_t>(c));
  box.insert(box.end(), kEvidenceUsertype.begin(), kEvidenceUsertype.end());
  box.insert(box.end(), envelope_bytes.begin(), envelope_bytes.end());
  return box;
}
