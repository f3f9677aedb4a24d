// The verify command: writes the verification report of an evidence file and
// succeeds only when the self-signed binding holds.

#include "commands/verify.h"

#include <unistd.h>

#include "evidence/pinned_keys.h"
#include "fileio/fd.h"
#include "fileio/fileio.h"
#include "fileio/same_file.h"
#include "verification/unsigned_members.h"
#include "verification/verification_report.h"

CommandOutcome run_verify(const VerifyOptions& options) {
  // Writing the report over the evidence file would destroy what it describes.
  if (lands_on(options.output, options.input)) {
    return fail(std::string(kOutputIsInputMessage));
  }
  auto pinned = PinnedKeys::load(options.nvr_pubkey_hex, options.nvr_pubkeys_files);
  if (!pinned) return fail(pinned.error());

  const VerificationReport report = build_verification_report(options.input, *pinned);
  if (auto r = write_text_output(options.output, report.to_json()); !r) return r;
  if (report.box) warn_unsigned_registry_base(report.box->envelope);
  if (report.box && report.manifest) warn_unsigned_fps(report.box->envelope, *report.manifest);
  if (!report.binding_holds) return fail(report.detail);
  (void)write_all(STDERR_FILENO, not_authenticated_warning(!pinned->empty()));
  return {};
}
