// The members keep the names the other documents give the same values, so a
// script reads a recording alike in a match report and in a search result.

#include "index/recording_document.h"

nlohmann::json recording_document(const RecordingInfo& r) {
  return {
      {"manifest_sha256_hex", r.manifest_sha256},
      {"phash_count", r.hash_count},
      {"nvr_device_id", r.device_id},
      {"nvr_key_id", r.key_id},
      {"nvr_pubkey_hex", r.public_key_hex},
      {"signed_at_ms", r.signed_at_ms},
      {"fps", r.fps},
      {"source_sha256_hex", r.source_sha256},
      {"source_size", r.source_size},
      {"evidence", r.evidence_path},
      {"source_binding", source_binding_word(r.binding)},
  };
}
