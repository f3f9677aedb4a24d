#pragma once
// PDQ hash lists made elsewhere (hash-raw-rgba's hex or JSON lines), which
// prepare-attestation takes instead of sampling.

#include <string>
#include <string_view>
#include <vector>

#include "result.h"

/// The hashes of a list in the hex or JSON-lines format, one per non-blank
/// line, in their own letter case; the first bad line fails the whole list
/// with its number (blank lines are counted).
Result<std::vector<std::string>> read_pdq_hash_list(std::string_view text);
