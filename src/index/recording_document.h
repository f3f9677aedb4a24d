#pragma once
// A catalogue entry as `index list` and `search` write it.

#include <nlohmann/json.hpp>

#include "index/catalogue.h"

/// manifest_sha256_hex, phash_count, nvr_device_id, nvr_key_id,
/// nvr_pubkey_hex, signed_at_ms, fps, source_sha256_hex, source_size,
/// evidence (the path as given when added) and source_binding.
nlohmann::json recording_document(const RecordingInfo& recording);
