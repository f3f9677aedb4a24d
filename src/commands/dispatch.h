#pragma once
// Selects a command by its word and runs it.

#include <span>
#include <string>

#include "result.h"

/// Runs the command named by args[0] (the program name already dropped).
CommandOutcome dispatch(std::span<const std::string> args);
