#include "commands/commands.h"

CommandOutcome prepare_attestation(const PrepareOptions&) { return fail("not implemented"); }
