#pragma once
// The audit command: every evidence file of a case folder or an archive.

#include "commands/options.h"
#include "result.h"

/// Judges each file as verify does and appends one JSON line per file;
/// succeeds only when every file of the set is ok.
CommandOutcome run_audit(const AuditOptions& options);
