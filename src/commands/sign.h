#pragma once
// sign-attestation and sign-zip-manifest, and their signing time.

#include <cstdint>

#include "commands/options.h"
#include "result.h"

CommandOutcome run_sign_attestation(const SignOptions& options);
CommandOutcome run_sign_zip_manifest(const SignOptions& options);

/// Milliseconds since the Unix epoch from the wall clock, or the clock's fault.
Result<std::int64_t> current_time_ms();
/// The same for a given clock reading, so a clock before the epoch or past the
/// 64-bit range can be tried.
Result<std::int64_t> time_ms_from_clock(std::int64_t seconds, std::int64_t nanoseconds);
