#pragma once
// The search command: which indexed recordings a clip comes from, and where.

#include "commands/options.h"
#include "result.h"

/// Samples the candidate, searches the indexes and writes the result; fails
/// only when the search could not run.
CommandOutcome run_search(const SearchOptions& options);
