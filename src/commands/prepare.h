#pragma once
// prepare-attestation, and the hash lists it takes instead of sampling.

#include <string>
#include <string_view>
#include <vector>

#include "commands/options.h"
#include "result.h"

/// Hashes the recording (and its frames, or a hash list) and writes the request.
CommandOutcome prepare_attestation(const PrepareOptions& options);

/// The hashes of a list in the hex or JSON-lines format, one per non-blank
/// line, in their own letter case; the first bad line fails the whole list
/// with its number (blank lines are counted).
Result<std::vector<std::string>> read_pdq_hash_list(std::string_view text);
