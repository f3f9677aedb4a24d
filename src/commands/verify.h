#pragma once
// The verification report of the verify command.

#include <nlohmann/json.hpp>
#include <string>

/// A JSON object whose keys come out in byte order when serialised.
using VerificationReport = nlohmann::json;

/// The report for an evidence file; never fails: every defect is an outcome.
VerificationReport build_verification_report(const std::string& input_path);
