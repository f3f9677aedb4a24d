#include "commands/commands.h"

CommandOutcome run_sign_attestation(const SignOptions&) { return fail("not implemented"); }
CommandOutcome run_sign_zip_manifest(const SignOptions&) { return fail("not implemented"); }
