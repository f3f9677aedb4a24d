// Turns checked evidence into a catalogue entry and packed hashes. The
// manifest's digest names the recording, so the same evidence exported twice
// (or under two file names) is one recording in the index.

#include "index/evidence_recording.h"

#include <malloc.h>

#include "encoding/hex.h"
#include "encoding/sha256.h"

Result<NewRecording> recording_from_evidence(const EvidenceEnvelope& envelope,
                                             const EvidenceManifest& manifest,
                                             std::string evidence_path, SourceBinding binding) {
  if (!manifest.phashes_hex || manifest.phashes_hex->empty() || !manifest.fps) {
    return fail("the signed manifest has no phashes_hex and fps to index");
  }
  NewRecording r;
  r.info = {sha256_hex(envelope.manifest),
            manifest.nvr_device_id,
            manifest.nvr_key_id,
            envelope.nvr_pubkey_hex,
            manifest.signed_at_ms,
            *manifest.fps,
            hex_encode(manifest.source_sha256),
            manifest.source_size,
            std::move(evidence_path),
            binding,
            manifest.phashes_hex->size()};
  r.hashes.reserve(manifest.phashes_hex->size());
  for (std::size_t i = 0; i < manifest.phashes_hex->size(); ++i) {
    auto hash = pack_hash((*manifest.phashes_hex)[i]);
    if (!hash) return fail("signed hash " + std::to_string(i) + " is not a PDQ hash");
    r.hashes.push_back(*hash);
  }
  return r;
}

void keep_freed_memory() {
#ifdef __GLIBC__
  // Buffers up to 16 MiB (a day's envelope at 2 fps) come from the heap,
  // and up to 256 MiB freed at its top stays there.
  mallopt(M_MMAP_THRESHOLD, 16 << 20);
  mallopt(M_TRIM_THRESHOLD, 256 << 20);
#endif
}
