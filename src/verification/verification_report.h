#pragma once
// The verification report: whether an evidence file's bytes before its box
// are exactly the signed source, judged check by check.

#include <nlohmann/json.hpp>
#include <optional>
#include <string>

#include "evidence/manifest.h"
#include "evidence/pinned_keys.h"
#include "fileio/fileio.h"
#include "mp4/box_scanner.h"

/// What verification found, check by check. The outcome is read from here;
/// the JSON document is only its written form.
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

  /// The report's members, keys in byte order.
  nlohmann::json to_document() const;
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
