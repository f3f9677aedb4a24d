#pragma once
// The prepare-attestation command.

#include "commands/options.h"
#include "result.h"

/// Hashes the recording (and its frames, or a hash list) and writes the request.
CommandOutcome prepare_attestation(const PrepareOptions& options);
