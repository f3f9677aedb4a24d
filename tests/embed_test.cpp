// The embed-evidence command through the built program: the evidence file,
// the literal summary documents, the status lines, and every refusal, which
// leaves the input untouched and writes nothing.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <thread>

#include <cstdlib>
#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

#include "evidence_fixture.h"
#include "fileio/fd.h"
#include "test_util.h"

namespace {

namespace fs = std::filesystem;
using test_util::run;
using test_util::TempDir;

constexpr std::string_view kPlainSummary = R"json({
  "evidence_box_bytes": 708,
  "input": "clip.mp4",
  "manifest_b64": "qGF2AWdwdXJwb3NleBp2aWRlby5ldmlkZW5jZS5tYW5pZmVzdC52MW1udnJfZGV2aWNlX2lkZm52ci0wMWpudnJfa2V5X2lkZmtleS0wMXFzb3VyY2VfaGFzaF9zY29wZXgdb3JpZ2luYWxfZmlsZV9ieXRlc19zaGEyNTZfdjFtc291cmNlX3NoYTI1NlggAeD0UJnj2V5k75RYAiBXbBDjXiiSgr9pVhD3uc4vvXxrc291cmNlX3NpemUYHGxzaWduZWRfYXRfbXMbAAABi8/laAA=",
  "manifest_sha256_hex": "a4d052ba667a18f274f1ac4c42d9f501219b79b5a0bb59161865b7e21d1a120d",
  "nvr_device_id": "nvr-01",
  "nvr_key_id": "key-01",
  "nvr_pubkey_hex": "0460fed4ba255a9d31c961eb74c6356d68c049b8923b61fa6ce669622e60f29fb67903fe1008b8bc99a41ae9e95628bc64f2f1b20c2d7e9f5177a3c294d4462299",
  "nvr_sig_alg": "ES256-P1363",
  "nvr_sig_hex": "5b0395d31b30e39eb334b885c02209f2821eaebd625ff674f109b3eb1f57d7d9d628c21234d48c59407409597a2c54cc91768a70451a70b4cd954f5b6e9b81d8",
  "output": "clip.evidence.mp4",
  "purpose": "zq.evidence.embed_summary.v1",
  "registry_base": "",
  "signed_at_ms": 1700000000000,
  "source_hash_scope": "original_file_bytes_sha256_v1",
  "source_sha256_hex": "01e0f45099e3d95e64ef94580220576c10e35e289282bf695610f7b9ce2fbd7c",
  "source_size": 28,
  "v": 1
}
)json";

constexpr std::string_view kFullSummary = R"json({
  "camera_id": "cam-7",
  "evidence_box_bytes": 1042,
  "fps": 2.0,
  "input": "clip.mp4",
  "manifest_b64": "rGF2AWdwdXJwb3NleBp2aWRlby5ldmlkZW5jZS5tYW5pZmVzdC52MWljYW1lcmFfaWRlY2FtLTdtbnZyX2RldmljZV9pZGZudnItMDFqbnZyX2tleV9pZGZrZXktMDFxc291cmNlX2hhc2hfc2NvcGV4HW9yaWdpbmFsX2ZpbGVfYnl0ZXNfc2hhMjU2X3YxbXNvdXJjZV9zaGEyNTZYIAHg9FCZ49leZO+UWAIgV2wQ414okoK/aVYQ97nOL718a3NvdXJjZV9zaXplGBxrcGhhc2hlc19oZXiCeEAwMDAwMDAwMDAwMDAwMDAwMDAwMDAwMDAwMDAwMDAwMDAwMDAwMDAwMDAwMDAwMDAwMDAwMDAwMDAwMDAwMDAweEBmZmZmZmZmZmZmZmZmZmZmZmZmZmZmZmZmZmZmZmZmZmZmZmZmZmZmZmZmZmZmZmZmZmZmZmZmZmZmZmZmZmZmY2Zwc/lAAGdzYW1wbGVyo2lhbGdvcml0aG1vdnBkcV9zYW1wbGVyX3YxZnJlc2l6ZXA1MTJ4NTEyX2JpbGluZWFyZGhhc2hncGRxXzI1NmxzaWduZWRfYXRfbXMbAAABi8/laAA=",
  "manifest_sha256_hex": "99890a7e249b63521d35bfcb5288ddde911853835c6d9355b9d030c413c3bec4",
  "nvr_device_id": "nvr-01",
  "nvr_key_id": "key-01",
  "nvr_pubkey_hex": "0460fed4ba255a9d31c961eb74c6356d68c049b8923b61fa6ce669622e60f29fb67903fe1008b8bc99a41ae9e95628bc64f2f1b20c2d7e9f5177a3c294d4462299",
  "nvr_sig_alg": "ES256-P1363",
  "nvr_sig_hex": "85b5ae84938710b71b898e0cf68a49b9694684d8c16acc1e019297b951de4e7f032c770a1f2594fcbac8540897f6d2abc24a770c44ec57c7c90c4c20bb8beaee",
  "output": "stdout",
  "phash_count": 2,
  "purpose": "zq.evidence.embed_summary.v1",
  "registry_base": "",
  "signed_at_ms": 1700000000000,
  "source_hash_scope": "original_file_bytes_sha256_v1",
  "source_sha256_hex": "01e0f45099e3d95e64ef94580220576c10e35e289282bf695610f7b9ce2fbd7c",
  "source_size": 28,
  "v": 1
}
)json";

test_util::RunOptions in_dir(const TempDir& dir, std::string stdin_bytes = {}) {
  test_util::RunOptions options;
  options.cwd = dir.path();
  options.stdin_bytes = std::move(stdin_bytes);
  return options;
}

std::vector<std::string> directory_names(const fs::path& dir) {
  std::vector<std::string> names;
  for (const auto& entry : fs::directory_iterator(dir)) names.push_back(entry.path().filename());
  std::sort(names.begin(), names.end());
  return names;
}

// Runs a shell command line in `dir`, for the cases where standard output is
// redirected to a file.
int shell(const TempDir& dir, const std::string& line) {
  return std::system(("cd " + dir.path().string() + " && " + line).c_str());
}

class Embed : public ::testing::Test {
 protected:
  void SetUp() override {
    test_util::write_file(dir_.file("clip.mp4"), fixture::kSource);
    test_util::write_file(dir_.file("env.json"), fixture::kPlainEnvelope);
  }
  TempDir dir_;
};

TEST_F(Embed, ToAPathWithSummary) {
  auto r = run({"embed-evidence", "clip.mp4", "env.json", "--output", "clip.evidence.mp4",
                "--summary", "summary.json"},
               in_dir(dir_));
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(r.err, "==> wrote clip.evidence.mp4 (+708 bytes uuid box)\n==> wrote summary.json\n");
  EXPECT_EQ(test_util::read_file(dir_.file("clip.evidence.mp4")),
            fixture::evidence_file(fixture::kPlainEnvelope));
  EXPECT_EQ(test_util::read_file(dir_.file("summary.json")), kPlainSummary);
  EXPECT_EQ(test_util::read_file(dir_.file("clip.mp4")), fixture::kSource);
}

TEST_F(Embed, ToStdoutWithEnvelopeOnStdinAndAllOptionalKeys) {
  auto r = run({"embed-evidence", "clip.mp4", "-", "--summary", "summary.json"},
               in_dir(dir_, std::string(fixture::kFullEnvelope)));
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, fixture::evidence_file(fixture::kFullEnvelope));
  EXPECT_EQ(r.err, "==> wrote stdout (+1042 bytes uuid box)\n==> wrote summary.json\n");
  EXPECT_EQ(test_util::read_file(dir_.file("summary.json")), kFullSummary);
}

TEST_F(Embed, OnlyTheInputWritesNoSummary) {
  auto r = run({"embed-evidence", "clip.mp4"}, in_dir(dir_, std::string(fixture::kPlainEnvelope)));
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, fixture::evidence_file(fixture::kPlainEnvelope));
  EXPECT_EQ(r.err, "==> wrote stdout (+708 bytes uuid box)\n");
  EXPECT_EQ(directory_names(dir_.path()), (std::vector<std::string>{"clip.mp4", "env.json"}));
}

TEST_F(Embed, SummaryOnStdoutBesideAFile) {
  auto r = run({"embed-evidence", "clip.mp4", "env.json", "new/dir/out.mp4", "--summary", "-"},
               in_dir(dir_));
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.err, "==> wrote new/dir/out.mp4 (+708 bytes uuid box)\n");
  EXPECT_EQ(r.out, std::string(kPlainSummary)
                       .replace(std::string(kPlainSummary).find("clip.evidence.mp4"), 17,
                                "new/dir/out.mp4"));
  EXPECT_EQ(test_util::read_file(dir_.file("new/dir/out.mp4")),
            fixture::evidence_file(fixture::kPlainEnvelope));
}

TEST_F(Embed, RefusalsWriteNothing) {
  test_util::write_file(dir_.file("long.mp4"), fixture::kSource + fixture::box("free", ""));
  std::string zip(fixture::kPlainEnvelope);
  zip.replace(zip.find("zq.evidence.mp4_box.v2"), 22, "zq.evidence.zip_manifest.v1");
  test_util::write_file(dir_.file("zip.json"), zip);
  std::string bad_sig(fixture::kPlainEnvelope);
  bad_sig.replace(bad_sig.find("\"nvr_sig_hex\": \"5b") + 16, 2, "6b");
  test_util::write_file(dir_.file("bad-sig.json"), bad_sig);
  test_util::write_file(dir_.file("bad-manifest.json"), fixture::kBadVersionEnvelope);
  fs::create_directory(dir_.path() / "sub");
  fs::create_symlink("clip.mp4", dir_.path() / "link.mp4");

  const std::string same_output = "output path must differ from input path";
  const std::string same_summary = "summary path must differ from input and output paths";
  const struct {
    std::vector<std::string> args;
    std::string error;
  } cases[] = {
      {{"clip.mp4", "env.json", "--output", "clip.mp4"}, same_output},
      {{"clip.mp4", "env.json", "--output", "link.mp4"}, same_output},
      {{"clip.mp4", "env.json", "--output", "sub/../clip.mp4"}, same_output},
      {{"clip.mp4", "env.json", "-o", "out.mp4", "--summary", "clip.mp4"}, same_summary},
      {{"clip.mp4", "env.json", "-o", "out.mp4", "--summary", "link.mp4"}, same_summary},
      {{"clip.mp4", "env.json", "-o", "out.mp4", "--summary", "./out.mp4"}, same_summary},
      {{"clip.mp4", "zip.json", "-o", "out.mp4"},
       "signed evidence envelope must be v2 evidence mp4 box"},
      {{"clip.mp4", "bad-sig.json", "-o", "out.mp4"},
       "NVR signature does not verify with envelope public key"},
      {{"clip.mp4", "bad-manifest.json", "-o", "out.mp4"}, "unsupported manifest version: 2"},
      {{"long.mp4", "env.json", "-o", "out.mp4"},
       "input size 36 does not match manifest source_size 28"},
      {{"long.mp4", "env.json"}, "input size 36 does not match manifest source_size 28"},
  };
  const auto before = directory_names(dir_.path());
  for (const auto& c : cases) {
    std::vector<std::string> args{"embed-evidence"};
    args.insert(args.end(), c.args.begin(), c.args.end());
    SCOPED_TRACE(testing::PrintToString(args));
    auto r = run(args, in_dir(dir_));
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "error: " + c.error + "\n");
    EXPECT_EQ(directory_names(dir_.path()), before);
    EXPECT_EQ(test_util::read_file(dir_.file("clip.mp4")), fixture::kSource);
  }
}

// Standard output redirected onto the input, or onto the summary's file.
TEST_F(Embed, RefusesStdoutThatIsTheInputOrTheSummary) {
  const struct {
    std::string line, error;
  } cases[] = {
      {"embed-evidence clip.mp4 env.json >> clip.mp4", "output path must differ from input path"},
      {"embed-evidence clip.mp4 env.json -o out.mp4 --summary - >> clip.mp4",
       "summary path must differ from input and output paths"},
      {"embed-evidence clip.mp4 env.json --summary s.json > s.json",
       "summary path must differ from input and output paths"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.line);
    EXPECT_NE(shell(dir_, test_util::program_command() + " " + c.line + " 2> err.txt"), 0);
    EXPECT_EQ(test_util::read_file(dir_.file("err.txt")), "error: " + c.error + "\n");
    EXPECT_EQ(test_util::read_file(dir_.file("clip.mp4")), fixture::kSource);
    EXPECT_FALSE(fs::exists(dir_.path() / "out.mp4"));
  }
}

// An evidence file embedded again, with an envelope signed for the evidence
// file itself: the source check would pass, but a reader stops at the first
// box, so both outputs refuse before anything is copied.
TEST_F(Embed, SecondEmbedIsRefusedOnBothOutputs) {
  const std::string evidence = fixture::evidence_file(fixture::kPlainEnvelope);
  test_util::write_file(dir_.file("ev.mp4"), evidence);
  auto r = run({"prepare-attestation", "ev.mp4", "--output", "req.json"}, in_dir(dir_));
  ASSERT_EQ(r.status, 0) << r.err;
  r = run(
      {"sign-attestation", "req.json", "--nvr-device-id", "nvr-01", "--nvr-key-id", "key-01",
       "--nvr-private-key-hex", "c9afa9d845ba75166b5c215767b1d6934e50c3db36e89b127b8a622b120f6721",
       "--output", "env2.json"},
      in_dir(dir_));
  ASSERT_EQ(r.status, 0) << r.err;
  for (const std::vector<std::string>& output : {std::vector<std::string>{"--output", "twice.mp4"},
                                                std::vector<std::string>{}}) {
    std::vector<std::string> args{"embed-evidence", "ev.mp4", "env2.json"};
    args.insert(args.end(), output.begin(), output.end());
    r = run(args, in_dir(dir_));
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "error: recording already holds an evidence box at offset 28\n");
  }
  EXPECT_EQ(directory_names(dir_.path()),
            (std::vector<std::string>{"clip.mp4", "env.json", "env2.json", "ev.mp4", "req.json"}));
}

// What verify would refuse is refused before anything is copied or written,
// to a path and to standard output alike.
TEST_F(Embed, EvidenceNoReaderWouldAcceptIsNotMade) {
  const std::string padded =
      std::string(fixture::kPlainEnvelope) + std::string(2 * 1024 * 1024, ' ');
  std::string other_fps(fixture::kFullEnvelope);
  other_fps.replace(other_fps.find("\"fps\": 2.0"), 10, "\"fps\": 30.0");
  const struct {
    std::string name, source, envelope, error;
  } cases[] = {
      {"stray tail", fixture::kSource + "abc", std::string(fixture::kPlainEnvelope),
       "recording is not a sequence of whole MP4 boxes: 3 stray bytes at offset 28"},
      {"one stray byte", fixture::kSource + "a", std::string(fixture::kPlainEnvelope),
       "recording is not a sequence of whole MP4 boxes: 1 stray byte at offset 28"},
      {"malformed box", fixture::kSource + fixture::be32(100) + "free",
       std::string(fixture::kPlainEnvelope),
       "recording is not a sequence of whole MP4 boxes: malformed MP4 box at offset 28"},
      {"last box of size 0", fixture::kSource + fixture::be32(0) + "mdatdata",
       std::string(fixture::kPlainEnvelope),
       "recording ends in a box of size 0 at offset 28: an appended evidence box would be hidden "
       "inside it"},
      {"envelope over the box limit", fixture::kSource, padded,
       "evidence envelope payload too large: " + std::to_string(padded.size()) + " bytes"},
      {"unsigned fps contradicts the signed one", fixture::kSource, other_fps,
       "envelope fps 30.0 differs from the signed manifest fps 2.0 (the envelope's fps is not "
       "covered by the signature)"},
  };
  for (const auto& c : cases) {
    test_util::write_file(dir_.file("in.mp4"), c.source);
    test_util::write_file(dir_.file("in.json"), c.envelope);
    const auto before = directory_names(dir_.path());
    for (const std::vector<std::string>& output :
         {std::vector<std::string>{"-o", "out.mp4"}, std::vector<std::string>{}}) {
      SCOPED_TRACE(c.name + (output.empty() ? " to stdout" : " to a path"));
      std::vector<std::string> args{"embed-evidence", "in.mp4", "in.json"};
      args.insert(args.end(), output.begin(), output.end());
      auto r = run(args, in_dir(dir_));
      EXPECT_EQ(r.status, 1);
      EXPECT_EQ(r.out, "");
      EXPECT_EQ(r.err, "error: " + c.error + "\n");
      EXPECT_EQ(directory_names(dir_.path()), before);
    }
  }
}

TEST_F(Embed, RefusesATerminalAsOutput) {
  test_util::RunOptions options = in_dir(dir_);
  options.stdout_tty = true;
  auto r = run({"embed-evidence", "clip.mp4", "env.json"}, options);
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(r.err,
            "error: refusing to write the evidence file to a terminal: give --output PATH or "
            "redirect standard output\n");
}

// Interrupted mid-copy (the source is a pipe, so the copy waits where the
// test wants), the run removes its temporary file and names the signal.
TEST_F(Embed, InterruptedCopyRemovesTheTemporaryFile) {
  const std::string fifo = dir_.file("source.fifo");
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  const std::string command =
      test_util::program_command() + " embed-evidence source.fifo env.json -o out.mp4 2> err.txt";
  pid_t child = ::fork();
  if (child == 0) {
    ::execl("/bin/sh", "sh", "-c", ("cd " + dir_.path().string() + " && exec " + command).c_str(),
            nullptr);
    ::_exit(127);
  }
  Fd feed(::open(fifo.c_str(), O_WRONLY));
  ASSERT_TRUE(write_all(feed.get(), std::string(1 << 16, 'm')));
  bool temp_seen = false;
  for (int i = 0; i < 5000 && !temp_seen; ++i) {
    for (const auto& name : directory_names(dir_.path())) temp_seen |= name.starts_with(".out.mp4.tmp-");
    if (!temp_seen) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  ASSERT_TRUE(temp_seen);
  ::kill(child, SIGTERM);
  int status = 0;
  ::waitpid(child, &status, 0);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 1) << status;
  EXPECT_EQ(test_util::read_file(dir_.file("err.txt")), "error: interrupted by SIGTERM\n");
  EXPECT_EQ(directory_names(dir_.path()),
            (std::vector<std::string>{"clip.mp4", "env.json", "err.txt", "source.fifo"}));
}

}  // namespace
