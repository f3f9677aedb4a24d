#pragma once
// What an index stores of checked evidence.

#include <string>

#include "evidence/envelope.h"
#include "evidence/manifest.h"
#include "index/catalogue.h"
#include "index/index_store.h"
#include "result.h"

/// The recording whose signature and manifest the caller has checked: its
/// id is the SHA-256 of the signed manifest's bytes. Fails with "the signed
/// manifest has no phashes_hex and fps to index" or "signed hash N is not a
/// PDQ hash".
Result<NewRecording> recording_from_evidence(const EvidenceEnvelope& envelope,
                                             const EvidenceManifest& manifest,
                                             std::string evidence_path, SourceBinding binding);

/// Lets the process keep the memory it frees for the next evidence file:
/// otherwise each file's large buffers go back to the kernel when freed and
/// the next file pays for fresh zeroed pages (a sixth of the CPU of adding
/// an archive's envelopes).
void keep_freed_memory();
