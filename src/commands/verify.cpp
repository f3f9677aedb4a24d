#include "commands/commands.h"

CommandOutcome run_verify(const VerifyOptions&) { return fail("not implemented"); }
