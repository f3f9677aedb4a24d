// Prints what a forensic user needs to rebuild the exact program that made
// an evidence file (version, commit, compiler, target and build; builds are
// reproducible), and which PDQ kernel this processor selects, since every
// kernel must give the same bits.

#include "commands/version.h"

#include <openssl/crypto.h>

#include "build_info.h"
#include "fileio/fileio.h"
#include "pdq/pdq.h"

std::string version_text() {
  std::string text = "vorlant-verify " VORLANT_VERSION "\n";
  text += "commit: " VORLANT_COMMIT "\n";
  text += "compiler: " VORLANT_COMPILER "\n";
  text += "target: " VORLANT_TARGET "\n";
  text += "pdq kernel: ";
  text += pdq::selected_kernel_name();
  text += "\nlibcrypto: ";
  text += OpenSSL_version(OPENSSL_VERSION);
  return text;
}

CommandOutcome run_version() {
  return write_text_output(OutputTarget::stdout_target(), version_text());
}
