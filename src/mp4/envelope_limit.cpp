// Envelope sizes against the evidence box's limit. A signed envelope's size
// follows from its manifest: every PDQ hash adds 66 CBOR bytes (a 64-byte
// text and its head) and the Base64 text grows by 4 characters for every 3
// bytes, so the size for any number of hashes is computed without encoding
// the list again.

#include "mp4/envelope_limit.h"

#include <cmath>
#include <cstdio>

#include "encoding/decimal.h"
#include "evidence/cbor.h"
#include "evidence/envelope.h"
#include "evidence/manifest.h"
#include "evidence/request.h"
#include "mp4/evidence_box.h"

namespace {

constexpr std::uint64_t kCborBytesPerHash = 66;

std::uint64_t array_head_bytes(std::uint64_t count) {
  CborWriter w;
  w.array_head(count);
  return w.take().size();
}

std::uint64_t base64_length(std::uint64_t bytes) { return (bytes + 2) / 3 * 4; }

// The envelope as written for `count` hashes, from the sizes of the manifest
// and the envelope around it with no hashes.
struct EnvelopeSizer {
  std::uint64_t manifest_without_hashes;  // with an empty hash array
  std::uint64_t envelope_without_manifest;

  std::uint64_t envelope_bytes(std::uint64_t count) const {
    const std::uint64_t manifest =
        manifest_without_hashes - array_head_bytes(0) + array_head_bytes(count) +
        kCborBytesPerHash * count;
    return envelope_without_manifest + base64_length(manifest);
  }
};

// The smallest manifest a signer could make of such a request: empty ids, a
// signing time of the present era (a 64-bit CBOR integer).
EnvelopeSizer sizer_for(std::uint64_t source_size, double fps) {
  EvidenceManifest m;
  m.purpose = kVideoManifestPurpose;
  m.source_hash_scope = kSourceHashScope;
  m.source_sha256.assign(32, 0);
  m.source_size = source_size;
  m.phashes_hex = std::vector<std::string>{};
  m.fps = fps;
  m.sampler = video_sampler();
  m.signed_at_ms = std::int64_t{1} << 40;
  const std::string envelope = write_envelope(kMp4BoxEnvelopePurpose, 2, "", std::string(128, '0'),
                                              std::string(130, '0'), std::string_view{});
  return {encode_manifest(m).size(), envelope.size() + 1};
}

}  // namespace

std::optional<std::string> envelope_over_limit(std::uint64_t envelope_bytes,
                                               std::size_t hash_count) {
  if (envelope_bytes <= kMaxEvidencePayloadBytes) return std::nullopt;
  return "evidence envelope would be " + std::to_string(envelope_bytes) + " bytes, over the " +
         std::to_string(kMaxEvidencePayloadBytes) + "-byte limit of the evidence box: " +
         std::to_string(hash_count) + " PDQ hashes; sample fewer frames (--fps)";
}

std::optional<std::string> hash_list_over_limit(std::uint64_t source_size, double fps,
                                                std::size_t hash_count) {
  const std::uint64_t count = hash_count;
  const EnvelopeSizer sizer = sizer_for(source_size, fps);
  const std::uint64_t smallest = sizer.envelope_bytes(count);
  if (smallest <= kMaxEvidencePayloadBytes) return std::nullopt;
  std::uint64_t low = 0, high = count;  // envelope_bytes(low) fits, (high) does not
  while (high - low > 1) {
    const std::uint64_t mid = low + (high - low) / 2;
    (sizer.envelope_bytes(mid) <= kMaxEvidencePayloadBytes ? low : high) = mid;
  }
  // The recording lasts about count / fps seconds; sampling it at rate r
  // gives about r * duration + 1 frames, which must stay within `low`.
  const double fitting_fps = fps * static_cast<double>(low > 0 ? low - 1 : 0) /
                             static_cast<double>(count);
  std::string line = "warning: " + std::to_string(count) +
                     " PDQ hashes make a signed evidence envelope of at least " +
                     std::to_string(smallest) + " bytes, over the " +
                     std::to_string(kMaxEvidencePayloadBytes) +
                     "-byte limit of the evidence box; at most " + std::to_string(low) +
                     " hashes fit, so sign-attestation will refuse this request";
  if (fitting_fps > 0) line += ": sample fewer frames, e.g. --fps " + two_digits_down(fitting_fps);
  return line + "\n";
}
