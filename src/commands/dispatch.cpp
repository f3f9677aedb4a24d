// The command table: each word runs its option parser, then its command.

#include "commands/dispatch.h"

#include <unistd.h>

#include <string_view>

#include "commands/audit.h"
#include "commands/confidence.h"
#include "commands/embed.h"
#include "commands/hash_frames.h"
#include "commands/index.h"
#include "commands/match.h"
#include "commands/options.h"
#include "commands/prepare.h"
#include "commands/search.h"
#include "commands/sign.h"
#include "commands/verify.h"
#include "commands/version.h"
#include "encoding/text.h"
#include "fileio/fd.h"

namespace {

constexpr std::string_view kUsage =
    "usage:\n"
    "  vorlant-verify prepare-attestation INPUT.mp4 [--name STR] [--with-pdq] [--fps N] "
    "[--pdq-hashes PATH|-] [--output PATH|-]\n"
    "  vorlant-verify sign-attestation ATTESTATION_REQUEST.json|- --nvr-device-id ID "
    "--nvr-key-id ID (--nvr-private-key-file PATH | --nvr-private-key-hex HEX) "
    "[--nvr-pubkey-hex HEX] [--signed-at-ms MS] [--output PATH|-]\n"
    "  vorlant-verify sign-zip-manifest ZIP_MANIFEST_REQUEST.json|- --nvr-device-id ID "
    "--nvr-key-id ID (--nvr-private-key-file PATH | --nvr-private-key-hex HEX) "
    "[--nvr-pubkey-hex HEX] [--signed-at-ms MS] [--output PATH|-]\n"
    "  vorlant-verify embed-evidence INPUT.mp4 [SIGNED_ENVELOPE.json|-] [--output PATH|-] "
    "[--summary PATH|-]\n"
    "  vorlant-verify verify INPUT.mp4 [--output PATH|-]\n"
    "  vorlant-verify confidence MATCHED_FRAMES TOTAL_QUERY_FRAMES AVG_DISTANCE\n"
    "  vorlant-verify hash-frame-rgba [--format hex|bits|jsonl]\n"
    "  vorlant-verify hash-raw-rgba [--format hex|bits|jsonl] [--progress]\n"
    "\n"
    "Env:\n"
    "  VORLANT_VERIFY_FPS           frame sample rate when PDQ hashing is enabled, default 2\n";

using Args = std::span<const std::string>;

// Parses the arguments with `parse`, then runs the command on its options.
template <auto parse, auto run>
CommandOutcome run_parsed(Args args) {
  auto options = parse(args);
  if (!options) return fail(options.error());
  return run(*options);
}

Result<SignOptions> parse_sign_attestation(Args a) {
  return parse_sign_options(a, "sign-attestation", "attestation request");
}
Result<SignOptions> parse_sign_zip_manifest(Args a) {
  return parse_sign_options(a, "sign-zip-manifest", "zip manifest request");
}

struct Command {
  std::string_view word;
  CommandOutcome (*run)(Args args);
};

constexpr Command kCommands[] = {
    {"prepare-attestation", run_parsed<parse_prepare_options, prepare_attestation>},
    {"attest", run_parsed<parse_prepare_options, prepare_attestation>},
    {"sign-attestation", run_parsed<parse_sign_attestation, run_sign_attestation>},
    {"sign-zip-manifest", run_parsed<parse_sign_zip_manifest, run_sign_zip_manifest>},
    {"embed-evidence", run_parsed<parse_embed_options, run_embed_evidence>},
    {"verify", run_parsed<parse_verify_options, run_verify>},
    {"match", run_parsed<parse_match_options, run_match>},
    {"index", run_parsed<parse_index_options, run_index>},
    {"search", run_parsed<parse_search_options, run_search>},
    {"audit", run_parsed<parse_audit_options, run_audit>},
    {"confidence", run_confidence},
    {"hash-frame-rgba", run_parsed<parse_hash_options, run_hash_frame_rgba>},
    {"hash-raw-rgba", run_parsed<parse_hash_options, run_hash_raw_rgba>},
    {"--version", [](Args) { return run_version(); }},
};

}  // namespace

CommandOutcome dispatch(Args args) {
  // Help ignores whatever follows it, so those arguments are not looked at.
  if (args.empty() || args[0] == "-h" || args[0] == "--help") {
    (void)write_all(STDERR_FILENO, kUsage);
    return {};
  }
  // Every argument is handled as text (names, messages, JSON), so bytes that
  // are not UTF-8 are refused before any command runs. Positions count from 1
  // after the program name.
  for (std::size_t i = 0; i < args.size(); ++i) {
    if (!is_valid_utf8(args[i])) {
      return fail("argument " + std::to_string(i + 1) + " is not valid UTF-8");
    }
  }
  for (const Command& command : kCommands) {
    if (args[0] == command.word) return command.run(args.subspan(1));
  }
  return fail("unknown command: " + args[0]);
}
