// Runs the built program and compares its streams and exit status byte for byte.

#include <gtest/gtest.h>

#include <regex>

#include "pdq/pdq_testing.h"
#include "result.h"
#include "test_util.h"

using test_util::run;
using test_util::RunOptions;

namespace {

constexpr std::string_view kUsage =
    R"(usage:
  vorlant-verify prepare-attestation INPUT.mp4 [--name STR] [--with-pdq] [--fps N] [--pdq-hashes PATH|-] [--output PATH|-]
  vorlant-verify sign-attestation ATTESTATION_REQUEST.json|- --nvr-device-id ID --nvr-key-id ID (--nvr-private-key-file PATH | --nvr-private-key-hex HEX) [--nvr-pubkey-hex HEX] [--signed-at-ms MS] [--output PATH|-]
  vorlant-verify sign-zip-manifest ZIP_MANIFEST_REQUEST.json|- --nvr-device-id ID --nvr-key-id ID (--nvr-private-key-file PATH | --nvr-private-key-hex HEX) [--nvr-pubkey-hex HEX] [--signed-at-ms MS] [--output PATH|-]
  vorlant-verify embed-evidence INPUT.mp4 [SIGNED_ENVELOPE.json|-] [--output PATH|-] [--summary PATH|-]
  vorlant-verify verify INPUT.mp4 [--output PATH|-]
  vorlant-verify confidence MATCHED_FRAMES TOTAL_QUERY_FRAMES AVG_DISTANCE
  vorlant-verify hash-frame-rgba [--format hex|bits|jsonl]
  vorlant-verify hash-raw-rgba [--format hex|bits|jsonl] [--progress]

Env:
  VORLANT_VERIFY_FPS           frame sample rate when PDQ hashing is enabled, default 2
)";

struct Expected {
  std::vector<std::string> args;
  int status;
  std::string_view out, err;
};

void expect_runs(std::initializer_list<Expected> cases, const RunOptions& options = {}) {
  for (const Expected& c : cases) {
    std::string name;
    for (const auto& a : c.args) name += "[" + a + "]";
    SCOPED_TRACE(name);
    auto r = run(c.args, options);
    EXPECT_EQ(r.status, c.status);
    EXPECT_EQ(r.out, c.out);
    EXPECT_EQ(r.err, c.err);
  }
}

TEST(Cli, UsageText) {
  expect_runs({
      {{}, 0, "", kUsage},
      {{"-h"}, 0, "", kUsage},
      // Whatever follows the help word is not looked at, not even its encoding.
      {{"--help", "verify", "\xFF"}, 0, "", kUsage},
  });
}

TEST(Cli, UnknownCommands) {
  expect_runs({
      {{"Verify"}, 1, "", "error: unknown command: Verify\n"},
      {{"help"}, 1, "", "error: unknown command: help\n"},
      {{"-V"}, 1, "", "error: unknown command: -V\n"},
      {{"", "x"}, 1, "", "error: unknown command: \n"},
  });
}

// Provenance on standard output; the kernel named is the one this processor
// selects, as the hash library itself reports it.
TEST(Cli, Version) {
  auto r = run({"--version"});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.err, "");
  const std::string kernel(pdq::testing::path_name(pdq::testing::selected_path()));
  const std::regex shape(
      "vorlant-verify [0-9]+\\.[0-9]+\\.[0-9]+\n"
      "commit: ([0-9a-f]{40}(-dirty)?|unknown)\n"
      "compiler: GNU [0-9.]+\n"
      "target: [a-z0-9_]+, [A-Za-z]+, (static|dynamic)\n"
      "pdq kernel: " +
      kernel +
      "\n"
      "libcrypto: OpenSSL 3[^\n]*\n");
  EXPECT_TRUE(std::regex_match(r.out, shape)) << r.out;
}

TEST(Cli, ArgumentsThatAreNotUtf8) {
  expect_runs({
      {{"\xFF"}, 1, "", "error: argument 1 is not valid UTF-8\n"},
      {{"confidence", "5\xC0\x80", "10", "1"}, 1, "", "error: argument 2 is not valid UTF-8\n"},
      {{"prepare-attestation", "a.mp4", "--name", "\xED\xA0\x80"},
       1,
       "",
       "error: argument 4 is not valid UTF-8\n"},
  });
}

TEST(Cli, OptionErrors) {
  expect_runs({
      {{"verify"}, 1, "", "error: missing input path\n"},
      {{"verify", "-"}, 1, "", "error: unknown option: -\n"},
      {{"attest", "-"}, 1, "", "error: unknown prepare-attestation option: -\n"},
      {{"attest"}, 1, "", "error: missing input path\n"},
      {{"sign-attestation", "r.json"}, 1, "", "error: --nvr-device-id is required\n"},
      {{"sign-zip-manifest"}, 1, "", "error: missing zip manifest request path\n"},
      {{"embed-evidence", "in.mp4", "--summary", "-"},
       1,
       "",
       "error: --summary - cannot be used when media output is stdout\n"},
      {{"hash-raw-rgba", "--format", "HEX"}, 1, "", "error: unknown hash format: HEX\n"},
      {{"hash-frame-rgba", "frame.rgba"}, 1, "", "error: unknown hash option: frame.rgba\n"},
  });
}

TEST(Cli, FrameRateVariableIsCheckedBeforeAnythingIsOpened) {
  RunOptions options;
  options.env["VORLANT_VERIFY_FPS"] = "abc";
  expect_runs({{{"attest", "missing.mp4", "--fps", "5"},
                1,
                "",
                "error: invalid fps abc: invalid float literal\n"}},
              options);
}

TEST(Cli, Confidence) {
  expect_runs({
      {{"confidence", "5", "10", "16"}, 0, "high\n", ""},
      {{"confidence", "5", "10", "16.5"}, 0, "medium\n", ""},
      {{"confidence", "3", "10", "32"}, 0, "medium\n", ""},
      {{"confidence", "2", "10", "32"}, 0, "low\n", ""},
      {{"confidence", "10", "10", "32.5"}, 0, "low\n", ""},
      {{"confidence", "0", "0", "0"}, 0, "low\n", ""},
      {{"confidence", "5", "10", "nan"}, 0, "low\n", ""},
      {{"confidence", "5", "10", "inf"}, 0, "low\n", ""},
      {{"confidence", "12", "10", "1"}, 0, "high\n", ""},
      {{"confidence", "5", "10", "-3"}, 0, "high\n", ""},
      {{"confidence", "+5", "+10", "1e1"}, 0, "high\n", ""},
      {{"confidence"}, 1, "", "error: missing matched_frames\n"},
      {{"confidence", "5"}, 1, "", "error: missing total_query_frames\n"},
      {{"confidence", "5", "10"}, 1, "", "error: missing avg_distance\n"},
      {{"confidence", "-1", "10", "1"},
       1,
       "",
       "error: invalid matched_frames: invalid digit found in string\n"},
      {{"confidence", "4294967296", "10", "1"},
       1,
       "",
       "error: invalid matched_frames: number too large to fit in target type\n"},
      {{"confidence", "5", "", "1"},
       1,
       "",
       "error: invalid total_query_frames: cannot parse integer from empty string\n"},
      {{"confidence", "5", "10", ""},
       1,
       "",
       "error: invalid avg_distance: cannot parse float from empty string\n"},
      {{"confidence", "5", "10", " 1"},
       1,
       "",
       "error: invalid avg_distance: invalid float literal\n"},
      {{"confidence", "5", "10", "0x10"},
       1,
       "",
       "error: invalid avg_distance: invalid float literal\n"},
      {{"confidence", "5", "10", "1", "x"}, 1, "", "error: unexpected extra arguments\n"},
      // The arguments are read in order: a bad first one is reported before a missing third.
      {{"confidence", "x", "10"},
       1,
       "",
       "error: invalid matched_frames: invalid digit found in string\n"},
  });
}

TEST(Cli, ClosedStdoutPipeIsAWriteError) {
  RunOptions options;
  options.close_stdout_early = true;
  auto r = run({"confidence", "5", "10", "16"}, options);
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, "error: write stdout: Broken pipe (os error 32)\n");
}

TEST(Cli, RunningOutOfMemoryIsAFailure) {
  auto outcome = catching_out_of_memory([]() -> CommandOutcome { throw std::bad_alloc(); });
  ASSERT_FALSE(outcome);
  EXPECT_EQ(outcome.error(), "out of memory");
}

}  // namespace
