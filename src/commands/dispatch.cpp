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

template <class Options>
CommandOutcome run_parsed(Result<Options> options, CommandOutcome (*run)(const Options&)) {
  if (!options) return fail(options.error());
  return run(*options);
}

struct Command {
  std::string_view word;
  CommandOutcome (*run)(Args args);
};

constexpr Command kCommands[] = {
    {"prepare-attestation",
     [](Args a) { return run_parsed(parse_prepare_options(a), prepare_attestation); }},
    {"attest", [](Args a) { return run_parsed(parse_prepare_options(a), prepare_attestation); }},
    {"sign-attestation",
     [](Args a) {
       return run_parsed(parse_sign_options(a, "sign-attestation", "attestation request"),
                         run_sign_attestation);
     }},
    {"sign-zip-manifest",
     [](Args a) {
       return run_parsed(parse_sign_options(a, "sign-zip-manifest", "zip manifest request"),
                         run_sign_zip_manifest);
     }},
    {"embed-evidence",
     [](Args a) { return run_parsed(parse_embed_options(a), run_embed_evidence); }},
    {"verify", [](Args a) { return run_parsed(parse_verify_options(a), run_verify); }},
    {"match", [](Args a) { return run_parsed(parse_match_options(a), run_match); }},
    {"index", [](Args a) { return run_parsed(parse_index_options(a), run_index); }},
    {"search", [](Args a) { return run_parsed(parse_search_options(a), run_search); }},
    {"audit", [](Args a) { return run_parsed(parse_audit_options(a), run_audit); }},
    {"confidence", [](Args a) { return run_confidence(a); }},
    {"hash-frame-rgba",
     [](Args a) { return run_parsed(parse_hash_options(a), run_hash_frame_rgba); }},
    {"hash-raw-rgba", [](Args a) { return run_parsed(parse_hash_options(a), run_hash_raw_rgba); }},
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
