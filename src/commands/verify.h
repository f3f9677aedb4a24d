#pragma once
// The verify command and its verification report.

#include <optional>
#include <string>
#include <string_view>

#include "commands/options.h"
#include "evidence/manifest.h"
#include "evidence/pinned_keys.h"
#include "fileio/fileio.h"
#include "mp4/box_scanner.h"
#include "result.h"

/// What verify found, check by check. The outcome is read from here; the
/// JSON document is only its written form.
struct VerificationReport {
  enum class Signature { Unverified, Valid, Invalid };
  enum class FileIntegrity { Unavailable, Match, Mismatch };

  std::string input;
  Signature signature = Signature::Unverified;
  FileIntegrity file_integrity = FileIntegrity::Unavailable;
  bool source_examined = false;  // chain_of_custody "partial", else "missing"
  bool binding_holds = false;    // self_signed_exact_binding "ok", else "fail"
  std::string detail;
  std::optional<EvidenceBoxLocation> box;    // found, and its envelope read
  std::optional<EvidenceManifest> manifest;  // signed, and decoded

  /// The report document: pretty-printed, keys in byte order, no final newline.
  std::string to_json() const;
};

/// The report for an evidence file; never fails: every defect is an outcome.
/// With pinned keys, a key that is none of them fails the binding.
VerificationReport build_verification_report(const std::string& input_path,
                                             const PinnedKeys& pinned = {});
/// The same through an open file: every byte judged is read through its
/// descriptor, so renaming another file over the path changes nothing.
VerificationReport build_verification_report(const OpenFile& file, const PinnedKeys& pinned = {});

/// The warning, one line with its newline, that a passing check is no
/// authenticity result; the pinned form says the key matched a pinned key.
std::string_view not_authenticated_warning(bool key_pinned);
/// Warns on stderr, when the envelope names a registry, that the signature
/// does not cover it.
void warn_unsigned_registry_base(const EvidenceEnvelope& envelope);

/// Writes the report; succeeds only when the self-signed binding holds.
CommandOutcome run_verify(const VerifyOptions& options);
