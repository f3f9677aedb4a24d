#pragma once
// The --version text: where this program came from and how it runs here.

#include <string>

#include "result.h"

/// The version, the commit it was built from, compiler, target and build,
/// the PDQ kernel this processor runs and the libcrypto in use, one
/// "name: value" line each after the first.
std::string version_text();
/// Writes version_text() to standard output.
CommandOutcome run_version();
