#include "commands/commands.h"

CommandOutcome run_embed_evidence(const EmbedOptions&) { return fail("not implemented"); }
