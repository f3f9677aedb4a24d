#pragma once
// The verification report of the verify command.

#include <nlohmann/json.hpp>
#include <string>

#include "evidence/pinned_keys.h"
#include "fileio/fileio.h"

/// A JSON object whose keys come out in byte order when serialised.
using VerificationReport = nlohmann::json;

/// The report for an evidence file; never fails: every defect is an outcome.
/// With pinned keys, a key that is none of them fails the binding.
VerificationReport build_verification_report(const std::string& input_path,
                                             const PinnedKeys& pinned = {});
/// The same through an open file: every byte judged is read through its
/// descriptor, so renaming another file over the path changes nothing.
VerificationReport build_verification_report(const OpenFile& file, const PinnedKeys& pinned = {});
