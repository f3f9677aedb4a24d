#pragma once
// The index command: index add, index list and index remove.

#include "commands/options.h"
#include "result.h"

/// Runs the action the options name; add fails when any file was refused,
/// after adding the others.
CommandOutcome run_index(const IndexOptions& options);
