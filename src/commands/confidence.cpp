#include "commands/commands.h"

CommandOutcome run_confidence(std::span<const std::string>) { return fail("not implemented"); }
