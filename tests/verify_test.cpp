// The verify command through the built program: each outcome's report is
// compared with a literal document, and the exit status and standard error
// follow the report.

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <string>
#include <string_view>

#include "verification/verification_report.h"
#include "evidence_fixture.h"
#include "fileio/fileio.h"
#include "test_util.h"

namespace {

namespace fs = std::filesystem;
using test_util::run;
using test_util::TempDir;

constexpr std::string_view kWarning =
    "warning: NOT AUTHENTICATED. The CLI checked file structure and the self-signed source-byte "
    "binding only. The signing key was read from the file itself and was not confirmed against "
    "the evidence registry. Use the browser verify flow for an authenticity (GREEN) result.\n";

constexpr std::string_view kPassedReport = R"json({
  "authenticated": false,
  "chain_of_custody": "partial",
  "detail": "Self-signed structural and source-byte checks passed. This is NOT an authenticity result: the signing key was read from the file itself and not confirmed against the registry. Use the browser verify flow for authenticity.",
  "evidence_box_bytes": 708,
  "evidence_box_offset": 28,
  "file_integrity": "match",
  "input": "clip.evidence.mp4",
  "manifest_b64": "qGF2AWdwdXJwb3NleBp2aWRlby5ldmlkZW5jZS5tYW5pZmVzdC52MW1udnJfZGV2aWNlX2lkZm52ci0wMWpudnJfa2V5X2lkZmtleS0wMXFzb3VyY2VfaGFzaF9zY29wZXgdb3JpZ2luYWxfZmlsZV9ieXRlc19zaGEyNTZfdjFtc291cmNlX3NoYTI1NlggAeD0UJnj2V5k75RYAiBXbBDjXiiSgr9pVhD3uc4vvXxrc291cmNlX3NpemUYHGxzaWduZWRfYXRfbXMbAAABi8/laAA=",
  "manifest_sha256_hex": "a4d052ba667a18f274f1ac4c42d9f501219b79b5a0bb59161865b7e21d1a120d",
  "nvr_device_id": "nvr-01",
  "nvr_key_id": "key-01",
  "nvr_pubkey_hex": "0460fed4ba255a9d31c961eb74c6356d68c049b8923b61fa6ce669622e60f29fb67903fe1008b8bc99a41ae9e95628bc64f2f1b20c2d7e9f5177a3c294d4462299",
  "nvr_sig_alg": "ES256-P1363",
  "nvr_sig_hex": "5b0395d31b30e39eb334b885c02209f2821eaebd625ff674f109b3eb1f57d7d9d628c21234d48c59407409597a2c54cc91768a70451a70b4cd954f5b6e9b81d8",
  "purpose": "zq.evidence.verify_result.v1",
  "registry_base": "",
  "registry_confirmation": "unavailable",
  "self_signed_exact_binding": "ok",
  "signature": "valid",
  "signed_at_ms": 1700000000000,
  "source_hash_scope": "original_file_bytes_sha256_v1",
  "source_sha256_hex": "01e0f45099e3d95e64ef94580220576c10e35e289282bf695610f7b9ce2fbd7c",
  "source_size": 28,
  "v": 1,
  "verdict": "RED"
}
)json";

constexpr std::string_view kPassedDetailJson =
    R"("detail": "Self-signed structural and source-byte checks passed. This is NOT an authenticity result: the signing key was read from the file itself and not confirmed against the registry. Use the browser verify flow for authenticity.")";

constexpr std::string_view kFullReport = R"json({
  "authenticated": false,
  "camera_id": "cam-7",
  "chain_of_custody": "partial",
  "detail": "Self-signed structural and source-byte checks passed. This is NOT an authenticity result: the signing key was read from the file itself and not confirmed against the registry. Use the browser verify flow for authenticity.",
  "evidence_box_bytes": 1042,
  "evidence_box_offset": 28,
  "file_integrity": "match",
  "fps": 2.0,
  "input": "clip.evidence.mp4",
  "manifest_b64": "rGF2AWdwdXJwb3NleBp2aWRlby5ldmlkZW5jZS5tYW5pZmVzdC52MWljYW1lcmFfaWRlY2FtLTdtbnZyX2RldmljZV9pZGZudnItMDFqbnZyX2tleV9pZGZrZXktMDFxc291cmNlX2hhc2hfc2NvcGV4HW9yaWdpbmFsX2ZpbGVfYnl0ZXNfc2hhMjU2X3YxbXNvdXJjZV9zaGEyNTZYIAHg9FCZ49leZO+UWAIgV2wQ414okoK/aVYQ97nOL718a3NvdXJjZV9zaXplGBxrcGhhc2hlc19oZXiCeEAwMDAwMDAwMDAwMDAwMDAwMDAwMDAwMDAwMDAwMDAwMDAwMDAwMDAwMDAwMDAwMDAwMDAwMDAwMDAwMDAwMDAweEBmZmZmZmZmZmZmZmZmZmZmZmZmZmZmZmZmZmZmZmZmZmZmZmZmZmZmZmZmZmZmZmZmZmZmZmZmZmZmZmZmZmZmY2Zwc/lAAGdzYW1wbGVyo2lhbGdvcml0aG1vdnBkcV9zYW1wbGVyX3YxZnJlc2l6ZXA1MTJ4NTEyX2JpbGluZWFyZGhhc2hncGRxXzI1NmxzaWduZWRfYXRfbXMbAAABi8/laAA=",
  "manifest_sha256_hex": "99890a7e249b63521d35bfcb5288ddde911853835c6d9355b9d030c413c3bec4",
  "nvr_device_id": "nvr-01",
  "nvr_key_id": "key-01",
  "nvr_pubkey_hex": "0460fed4ba255a9d31c961eb74c6356d68c049b8923b61fa6ce669622e60f29fb67903fe1008b8bc99a41ae9e95628bc64f2f1b20c2d7e9f5177a3c294d4462299",
  "nvr_sig_alg": "ES256-P1363",
  "nvr_sig_hex": "85b5ae84938710b71b898e0cf68a49b9694684d8c16acc1e019297b951de4e7f032c770a1f2594fcbac8540897f6d2abc24a770c44ec57c7c90c4c20bb8beaee",
  "phash_count": 2,
  "purpose": "zq.evidence.verify_result.v1",
  "registry_base": "",
  "registry_confirmation": "unavailable",
  "self_signed_exact_binding": "ok",
  "signature": "valid",
  "signed_at_ms": 1700000000000,
  "source_hash_scope": "original_file_bytes_sha256_v1",
  "source_sha256_hex": "01e0f45099e3d95e64ef94580220576c10e35e289282bf695610f7b9ce2fbd7c",
  "source_size": 28,
  "v": 1,
  "verdict": "RED"
}
)json";

constexpr std::string_view kMissingReport = R"json({
  "authenticated": false,
  "chain_of_custody": "missing",
  "detail": "Evidence envelope is malformed: open missing.mp4: No such file or directory (os error 2)",
  "file_integrity": "unavailable",
  "input": "missing.mp4",
  "purpose": "zq.evidence.verify_result.v1",
  "registry_confirmation": "unavailable",
  "self_signed_exact_binding": "fail",
  "signature": "unverified",
  "v": 1,
  "verdict": "RED"
}
)json";

constexpr std::string_view kNoBoxReport = R"json({
  "authenticated": false,
  "chain_of_custody": "missing",
  "detail": "No signed evidence envelope found.",
  "file_integrity": "unavailable",
  "input": "clip.mp4",
  "purpose": "zq.evidence.verify_result.v1",
  "registry_confirmation": "unavailable",
  "self_signed_exact_binding": "fail",
  "signature": "unverified",
  "v": 1,
  "verdict": "RED"
}
)json";

constexpr std::string_view kBadSignatureReport = R"json({
  "authenticated": false,
  "chain_of_custody": "missing",
  "detail": "Cryptographic signature is invalid.",
  "evidence_box_bytes": 708,
  "evidence_box_offset": 28,
  "file_integrity": "unavailable",
  "input": "clip.evidence.mp4",
  "manifest_b64": "qGF2AWdwdXJwb3NleBp2aWRlby5ldmlkZW5jZS5tYW5pZmVzdC52MW1udnJfZGV2aWNlX2lkZm52ci0wMWpudnJfa2V5X2lkZmtleS0wMXFzb3VyY2VfaGFzaF9zY29wZXgdb3JpZ2luYWxfZmlsZV9ieXRlc19zaGEyNTZfdjFtc291cmNlX3NoYTI1NlggAeD0UJnj2V5k75RYAiBXbBDjXiiSgr9pVhD3uc4vvXxrc291cmNlX3NpemUYHGxzaWduZWRfYXRfbXMbAAABi8/laAA=",
  "manifest_sha256_hex": "a4d052ba667a18f274f1ac4c42d9f501219b79b5a0bb59161865b7e21d1a120d",
  "nvr_pubkey_hex": "0460fed4ba255a9d31c961eb74c6356d68c049b8923b61fa6ce669622e60f29fb67903fe1008b8bc99a41ae9e95628bc64f2f1b20c2d7e9f5177a3c294d4462299",
  "nvr_sig_alg": "ES256-P1363",
  "nvr_sig_hex": "6b0395d31b30e39eb334b885c02209f2821eaebd625ff674f109b3eb1f57d7d9d628c21234d48c59407409597a2c54cc91768a70451a70b4cd954f5b6e9b81d8",
  "purpose": "zq.evidence.verify_result.v1",
  "registry_base": "",
  "registry_confirmation": "unavailable",
  "self_signed_exact_binding": "fail",
  "signature": "invalid",
  "v": 1,
  "verdict": "RED"
}
)json";

constexpr std::string_view kBadManifestReport = R"json({
  "authenticated": false,
  "chain_of_custody": "missing",
  "detail": "Signed manifest could not be parsed: unsupported manifest version: 2",
  "evidence_box_bytes": 708,
  "evidence_box_offset": 28,
  "file_integrity": "unavailable",
  "input": "clip.evidence.mp4",
  "manifest_b64": "qGF2AmdwdXJwb3NleBp2aWRlby5ldmlkZW5jZS5tYW5pZmVzdC52MW1udnJfZGV2aWNlX2lkZm52ci0wMWpudnJfa2V5X2lkZmtleS0wMXFzb3VyY2VfaGFzaF9zY29wZXgdb3JpZ2luYWxfZmlsZV9ieXRlc19zaGEyNTZfdjFtc291cmNlX3NoYTI1NlggAeD0UJnj2V5k75RYAiBXbBDjXiiSgr9pVhD3uc4vvXxrc291cmNlX3NpemUYHGxzaWduZWRfYXRfbXMbAAABi8/laAA=",
  "manifest_sha256_hex": "2b3cbd0d7f552e5f04a74171ed46a093397b13c1e8f3c1c67fb14c04bd297c0f",
  "nvr_pubkey_hex": "0460fed4ba255a9d31c961eb74c6356d68c049b8923b61fa6ce669622e60f29fb67903fe1008b8bc99a41ae9e95628bc64f2f1b20c2d7e9f5177a3c294d4462299",
  "nvr_sig_alg": "ES256-P1363",
  "nvr_sig_hex": "8f1e58d5abef353dd03f6f7db43c634b66c7040de657bde6a733b004a0832cd60d7aa9a63f453e509d950dade4c085dc08ffe7459af8fb495b0ee7a83bf34eb6",
  "purpose": "zq.evidence.verify_result.v1",
  "registry_base": "",
  "registry_confirmation": "unavailable",
  "self_signed_exact_binding": "fail",
  "signature": "valid",
  "v": 1,
  "verdict": "RED"
}
)json";

constexpr std::string_view kMismatchReport = R"json({
  "authenticated": false,
  "chain_of_custody": "partial",
  "detail": "File integrity check failed.",
  "evidence_box_bytes": 708,
  "evidence_box_offset": 28,
  "file_integrity": "mismatch",
  "input": "clip.evidence.mp4",
  "manifest_b64": "qGF2AWdwdXJwb3NleBp2aWRlby5ldmlkZW5jZS5tYW5pZmVzdC52MW1udnJfZGV2aWNlX2lkZm52ci0wMWpudnJfa2V5X2lkZmtleS0wMXFzb3VyY2VfaGFzaF9zY29wZXgdb3JpZ2luYWxfZmlsZV9ieXRlc19zaGEyNTZfdjFtc291cmNlX3NoYTI1NlggAeD0UJnj2V5k75RYAiBXbBDjXiiSgr9pVhD3uc4vvXxrc291cmNlX3NpemUYHGxzaWduZWRfYXRfbXMbAAABi8/laAA=",
  "manifest_sha256_hex": "a4d052ba667a18f274f1ac4c42d9f501219b79b5a0bb59161865b7e21d1a120d",
  "nvr_device_id": "nvr-01",
  "nvr_key_id": "key-01",
  "nvr_pubkey_hex": "0460fed4ba255a9d31c961eb74c6356d68c049b8923b61fa6ce669622e60f29fb67903fe1008b8bc99a41ae9e95628bc64f2f1b20c2d7e9f5177a3c294d4462299",
  "nvr_sig_alg": "ES256-P1363",
  "nvr_sig_hex": "5b0395d31b30e39eb334b885c02209f2821eaebd625ff674f109b3eb1f57d7d9d628c21234d48c59407409597a2c54cc91768a70451a70b4cd954f5b6e9b81d8",
  "purpose": "zq.evidence.verify_result.v1",
  "registry_base": "",
  "registry_confirmation": "unavailable",
  "self_signed_exact_binding": "fail",
  "signature": "valid",
  "signed_at_ms": 1700000000000,
  "source_hash_scope": "original_file_bytes_sha256_v1",
  "source_sha256_hex": "01e0f45099e3d95e64ef94580220576c10e35e289282bf695610f7b9ce2fbd7c",
  "source_size": 28,
  "v": 1,
  "verdict": "RED"
}
)json";

test_util::RunOptions in_dir(const TempDir& dir) {
  test_util::RunOptions options;
  options.cwd = dir.path();
  return options;
}

std::string replace_once(std::string text, std::string_view from, std::string_view to) {
  text.replace(text.find(from), from.size(), to);
  return text;
}

struct Row {
  std::string name;
  std::string input;  // the name given to verify
  std::string file;   // its content; empty: no file at all
  std::string_view report;
  std::string error;  // the detail, repeated on the "error: " line
};

TEST(Verify, EachOutcomeWritesItsReport) {
  const std::string evidence = fixture::evidence_file(fixture::kPlainEnvelope);
  std::string changed_media = evidence;
  changed_media[22] ^= 0x01;  // inside the free box's payload
  const std::string bad_sig = fixture::evidence_file(replace_once(
      std::string(fixture::kPlainEnvelope), "\"nvr_sig_hex\": \"5b", "\"nvr_sig_hex\": \"6b"));
  const Row rows[] = {
      {"missing file", "missing.mp4", "", kMissingReport,
       "Evidence envelope is malformed: open missing.mp4: No such file or directory (os error 2)"},
      {"no evidence box", "clip.mp4", fixture::kSource, kNoBoxReport,
       "No signed evidence envelope found."},
      {"signature does not verify", "clip.evidence.mp4", bad_sig, kBadSignatureReport,
       "Cryptographic signature is invalid."},
      {"signed manifest does not parse", "clip.evidence.mp4",
       fixture::evidence_file(fixture::kBadVersionEnvelope), kBadManifestReport,
       "Signed manifest could not be parsed: unsupported manifest version: 2"},
      {"one byte after the box", "clip.evidence.mp4", evidence + "x", kMismatchReport,
       "File integrity check failed."},
      {"one media byte changed", "clip.evidence.mp4", changed_media, kMismatchReport,
       "File integrity check failed."},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    TempDir dir;
    if (!row.file.empty()) test_util::write_file(dir.file(row.input), row.file);
    auto r = run({"verify", row.input}, in_dir(dir));
    EXPECT_EQ(r.out, row.report);
    EXPECT_EQ(r.err, "error: " + row.error + "\n");
    EXPECT_EQ(r.status, 1);
  }
}

TEST(Verify, PassingFilesPrintTheWarning) {
  const struct {
    std::string_view envelope, report;
  } cases[] = {{fixture::kPlainEnvelope, kPassedReport}, {fixture::kFullEnvelope, kFullReport}};
  for (const auto& c : cases) {
    TempDir dir;
    test_util::write_file(dir.file("clip.evidence.mp4"), fixture::evidence_file(c.envelope));
    auto r = run({"verify", "clip.evidence.mp4"}, in_dir(dir));
    EXPECT_EQ(r.out, c.report);
    EXPECT_EQ(r.err, kWarning);
    EXPECT_EQ(r.status, 0);
  }
}

TEST(Verify, MalformedBoxIsAReportedOutcome) {
  TempDir dir;
  test_util::write_file(dir.file("bad.mp4"), fixture::be32(4) + "free");
  auto r = run({"verify", "bad.mp4"}, in_dir(dir));
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(
      r.out.find(R"("detail": "Evidence envelope is malformed: malformed MP4 box at offset 0",)"),
      std::string::npos);
  EXPECT_EQ(r.err, "error: Evidence envelope is malformed: malformed MP4 box at offset 0\n");
}

TEST(Verify, ReportToAFile) {
  TempDir dir;
  test_util::write_file(dir.file("clip.evidence.mp4"),
                        fixture::evidence_file(fixture::kPlainEnvelope));
  auto r = run({"verify", "clip.evidence.mp4", "--output", "reports/r.json"}, in_dir(dir));
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(r.err, "==> wrote reports/r.json\n" + std::string(kWarning));
  EXPECT_EQ(test_util::read_file(dir.file("reports/r.json")), kPassedReport);
}

// Writing the report over the evidence file would destroy it: refused before
// anything is read or written, however the output names the input.
TEST(Verify, RefusesToWriteTheReportOverItsInput) {
  TempDir dir;
  const std::string evidence = fixture::evidence_file(fixture::kPlainEnvelope);
  test_util::write_file(dir.file("clip.evidence.mp4"), evidence);
  fs::create_directory(dir.path() / "sub");
  fs::create_symlink("clip.evidence.mp4", dir.path() / "link.mp4");
  fs::create_hard_link(dir.path() / "clip.evidence.mp4", dir.path() / "hard.mp4");
  for (const char* output :
       {"clip.evidence.mp4", "./sub/../clip.evidence.mp4", "link.mp4", "hard.mp4"}) {
    SCOPED_TRACE(output);
    auto r = run({"verify", "clip.evidence.mp4", "--output", output}, in_dir(dir));
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "error: output path must differ from input path\n");
    EXPECT_EQ(test_util::read_file(dir.file("clip.evidence.mp4")), evidence);
  }
  // Standard output appended to the evidence file itself.
  const std::string command = "cd " + dir.path().string() + " && " + test_util::program_command() +
                              " verify clip.evidence.mp4 >> clip.evidence.mp4 2> err.txt";
  EXPECT_NE(std::system(command.c_str()), 0);
  EXPECT_EQ(test_util::read_file(dir.file("err.txt")),
            "error: output path must differ from input path\n");
  EXPECT_EQ(test_util::read_file(dir.file("clip.evidence.mp4")), evidence);
}

// Values no signature covers cannot make a file pass: an envelope fps that
// contradicts the signed one fails; a registry address is flagged.
TEST(Verify, UnsignedEnvelopeMembers) {
  TempDir dir;
  test_util::write_file(dir.file("clip.evidence.mp4"),
                        fixture::evidence_file(replace_once(std::string(fixture::kFullEnvelope),
                                                            "\"fps\": 2.0", "\"fps\": 30.0")));
  const std::string detail =
      "envelope fps 30.0 differs from the signed manifest fps 2.0 (the envelope's fps is not "
      "covered by the signature)";
  std::string report = replace_once(std::string(kFullReport), "\"fps\": 2.0", "\"fps\": 30.0");
  report = replace_once(report, "1042", "1043");  // one more digit in the box
  report = replace_once(report, "\"self_signed_exact_binding\": \"ok\"",
                        "\"self_signed_exact_binding\": \"fail\"");
  report = replace_once(report, kPassedDetailJson, "\"detail\": \"" + detail + "\"");
  auto r = run({"verify", "clip.evidence.mp4"}, in_dir(dir));
  EXPECT_EQ(r.out, report);
  EXPECT_EQ(r.err, "error: " + detail + "\n");
  EXPECT_EQ(r.status, 1);

  test_util::write_file(
      dir.file("clip.evidence.mp4"),
      fixture::evidence_file(replace_once(std::string(fixture::kPlainEnvelope),
                                          "\"registry_base\": \"\"",
                                          "\"registry_base\": \"https://evil.example/\\u001b[2J\"")));
  r = run({"verify", "clip.evidence.mp4"}, in_dir(dir));
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.err,
            "warning: registry_base \"https://evil.example/\\u001b[2J\" is not covered by the "
            "signature; do not follow it to confirm this file\n" +
                std::string(kWarning));

  // A rate the manifest never signed is shown, and flagged.
  test_util::write_file(dir.file("clip.evidence.mp4"),
                        fixture::evidence_file(replace_once(std::string(fixture::kPlainEnvelope),
                                                            "{\n", "{\n  \"fps\": 25.0,\n")));
  r = run({"verify", "clip.evidence.mp4"}, in_dir(dir));
  EXPECT_EQ(r.status, 0);
  EXPECT_NE(r.out.find("\n  \"fps\": 25.0,\n"), std::string::npos);
  EXPECT_EQ(r.err,
            "warning: envelope fps 25.0 is not covered by the signature: the signed manifest "
            "carries no fps\n" +
                std::string(kWarning));
}

TEST(Verify, PinnedKeys) {
  constexpr std::string_view kKey =
      "0460fed4ba255a9d31c961eb74c6356d68c049b8923b61fa6ce669622e60f29fb67903fe1008b8bc99a41ae9e9"
      "5628bc64f2f1b20c2d7e9f5177a3c294d4462299";
  constexpr std::string_view kCompressed =
      "0360fed4ba255a9d31c961eb74c6356d68c049b8923b61fa6ce669622e60f29fb6";
  constexpr std::string_view kBasePoint =
      "046b17d1f2e12c4247f8bce6e563a440f277037d812deb33a0f4a13945d898c2964fe342e2fe1a7f9b8ee7eb4a"
      "7c0f9e162bce33576b315ececbb6406837bf51f5";
  constexpr std::string_view kPinnedWarning =
      "warning: NOT AUTHENTICATED. The signing key matched a pinned NVR public key, but it was not "
      "confirmed against the evidence registry. The CLI checked file structure and the "
      "self-signed source-byte binding only. Use the browser verify flow for an authenticity "
      "(GREEN) result.\n";
  TempDir dir;
  test_util::write_file(dir.file("clip.evidence.mp4"),
                        fixture::evidence_file(fixture::kPlainEnvelope));
  test_util::write_file(dir.file("keys.txt"), "# site keys\n" + std::string(kBasePoint) +
                                                  "\n\n  " + std::string(kCompressed) +
                                                  "  # nvr-01\n");
  test_util::write_file(dir.file("empty.txt"), "# none yet\n");
  const std::string mismatch =
      "The envelope's NVR public key is not one of the pinned keys: " + std::string(kKey);
  const struct {
    std::string name;
    std::vector<std::string> options;
    int status;
    std::string err;
  } cases[] = {
      {"uncompressed", {"--nvr-pubkey-hex", std::string(kKey)}, 0, std::string(kPinnedWarning)},
      {"compressed among others",
       {"--nvr-pubkey-hex", std::string(kBasePoint), "--nvr-pubkey-hex", std::string(kCompressed)},
       0,
       std::string(kPinnedWarning)},
      {"file with comments", {"--nvr-pubkeys-file", "keys.txt"}, 0, std::string(kPinnedWarning)},
      {"another key", {"--nvr-pubkey-hex", std::string(kBasePoint)}, 1, "error: " + mismatch + "\n"},
      {"not hex", {"--nvr-pubkey-hex", "zz"}, 1,
       "error: --nvr-pubkey-hex zz: hex string contains non-hex characters\n"},
      {"not a point", {"--nvr-pubkey-hex", "04" + std::string(128, '0')}, 1,
       "error: --nvr-pubkey-hex 04" + std::string(128, '0') +
           ": not a P-256 public key (SEC1 point or SubjectPublicKeyInfo in hex)\n"},
      {"file without keys", {"--nvr-pubkeys-file", "empty.txt"}, 1,
       "error: empty.txt: no public keys in the file\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    std::vector<std::string> args{"verify", "clip.evidence.mp4"};
    args.insert(args.end(), c.options.begin(), c.options.end());
    auto r = run(args, in_dir(dir));
    EXPECT_EQ(r.status, c.status);
    EXPECT_EQ(r.err, c.err);
    if (c.status == 0) {
      EXPECT_EQ(r.out, kPassedReport);
    }
  }
  auto r = run({"verify", "clip.evidence.mp4", "--nvr-pubkey-hex", std::string(kBasePoint)},
               in_dir(dir));
  EXPECT_EQ(r.out, replace_once(replace_once(std::string(kPassedReport), kPassedDetailJson,
                                             "\"detail\": \"" + mismatch + "\""),
                                "\"self_signed_exact_binding\": \"ok\"",
                                "\"self_signed_exact_binding\": \"fail\""));
}

// Everything judged is read through one descriptor: a tampered file that was
// opened stays judged as tampered when a good copy is renamed over its path.
TEST(Verify, ReadsOnlyTheFileItOpened) {
  TempDir dir;
  const std::string evidence = fixture::evidence_file(fixture::kPlainEnvelope);
  std::string tampered = evidence;
  tampered[22] ^= 0x01;
  test_util::write_file(dir.file("clip.mp4"), tampered);
  test_util::write_file(dir.file("good.mp4"), evidence);
  auto file = open_file(dir.file("clip.mp4"));
  ASSERT_TRUE(file);
  fs::rename(dir.file("good.mp4"), dir.file("clip.mp4"));
  const VerificationReport report = build_verification_report(*file);
  EXPECT_FALSE(report.binding_holds);
  EXPECT_EQ(report.detail, "File integrity check failed.");
}

}  // namespace
