#pragma once
// sign-attestation and sign-zip-manifest.

#include "commands/options.h"
#include "result.h"

CommandOutcome run_sign_attestation(const SignOptions& options);
CommandOutcome run_sign_zip_manifest(const SignOptions& options);
