#pragma once
// The commands as the dispatcher runs them, each with its parsed options.

#include <span>
#include <string>

#include "commands/options.h"
#include "result.h"

CommandOutcome prepare_attestation(const PrepareOptions& options);
CommandOutcome run_sign_attestation(const SignOptions& options);
CommandOutcome run_sign_zip_manifest(const SignOptions& options);
CommandOutcome run_embed_evidence(const EmbedOptions& options);
CommandOutcome run_verify(const VerifyOptions& options);
CommandOutcome run_confidence(std::span<const std::string> args);
/// hash-frame-rgba and hash-raw-rgba on the process's standard streams.
CommandOutcome run_hash_frame_rgba(const HashOptions& options);
CommandOutcome run_hash_raw_rgba(const HashOptions& options);
