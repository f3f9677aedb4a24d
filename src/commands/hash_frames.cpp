#include "commands/commands.h"

CommandOutcome run_hash_frame_rgba(const HashOptions&) { return fail("not implemented"); }
CommandOutcome run_hash_raw_rgba(const HashOptions&) { return fail("not implemented"); }
