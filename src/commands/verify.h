#pragma once
// The verify command.

#include "commands/options.h"
#include "result.h"

/// Writes the report; succeeds only when the self-signed binding holds.
CommandOutcome run_verify(const VerifyOptions& options);
