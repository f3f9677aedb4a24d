// The whole evidence chain on real MP4 files made by ffmpeg: prepare, sign,
// embed and verify through the built program; the evidence file stays a
// playable recording, and one changed media byte fails verification.

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "test_util.h"

namespace {

using test_util::have_ffmpeg;
using test_util::kTestKeyHex;
using test_util::RunResult;
using test_util::TempDir;

test_util::RunOptions in_dir(const TempDir& dir) {
  test_util::RunOptions options;
  options.cwd = dir.path();
  return options;
}

RunResult tool(const TempDir& dir, std::vector<std::string> args) {
  return test_util::run_tool(std::move(args), dir.path());
}

struct Clip {
  const char* name;
  std::vector<std::string> extra_args;
};

class Chain : public ::testing::TestWithParam<Clip> {};

TEST_P(Chain, PrepareSignEmbedVerify) {
  if (!have_ffmpeg()) GTEST_SKIP() << "ffmpeg and ffprobe are not installed";
  TempDir dir;
  std::vector<std::string> make{
      "ffmpeg", "-v", "error", "-f",      "lavfi",    "-i",     "testsrc2=size=320x240:rate=25",
      "-t",     "2",  "-c:v",  "libx264", "-pix_fmt", "yuv420p"};
  make.insert(make.end(), GetParam().extra_args.begin(), GetParam().extra_args.end());
  make.push_back("clip.mp4");
  ASSERT_EQ(tool(dir, make).status, 0);

  auto r = test_util::run(
      {"prepare-attestation", "clip.mp4", "--with-pdq", "--output", "request.json"}, in_dir(dir));
  ASSERT_EQ(r.status, 0) << r.err;
  r = test_util::run(
      {"sign-attestation", "request.json", "--nvr-device-id", "nvr-01", "--nvr-key-id", "key-01",
       "--nvr-private-key-hex", kTestKeyHex, "--output", "envelope.json"},
      in_dir(dir));
  ASSERT_EQ(r.status, 0) << r.err;
  r = test_util::run({"embed-evidence", "clip.mp4", "envelope.json", "--output", "evidence.mp4"},
                     in_dir(dir));
  ASSERT_EQ(r.status, 0) << r.err;
  const std::string envelope = test_util::read_file(dir.file("envelope.json"));
  EXPECT_EQ(r.err, "==> wrote evidence.mp4 (+" + std::to_string(envelope.size() + 24) +
                       " bytes uuid box)\n");

  // Streaming to standard output produces the very same bytes.
  auto streamed = test_util::run({"embed-evidence", "clip.mp4", "envelope.json"}, in_dir(dir));
  ASSERT_EQ(streamed.status, 0) << streamed.err;
  const std::string evidence = test_util::read_file(dir.file("evidence.mp4"));
  EXPECT_EQ(streamed.out, evidence);
  EXPECT_EQ(evidence, test_util::read_file(dir.file("clip.mp4")) +
                          evidence.substr(evidence.size() - envelope.size() - 24));

  auto verified = test_util::run({"verify", "evidence.mp4"}, in_dir(dir));
  EXPECT_EQ(verified.status, 0) << verified.err;
  EXPECT_NE(verified.out.find("\"self_signed_exact_binding\": \"ok\""), std::string::npos);
  EXPECT_NE(verified.out.find("\"phash_count\": 4,"), std::string::npos);
  EXPECT_TRUE(verified.err.starts_with("warning: NOT AUTHENTICATED."));

  // Players see the same recording: streams and duration unchanged, decodable.
  const std::vector<std::string> probe{"ffprobe",
                                       "-v",
                                       "error",
                                       "-show_entries",
                                       "stream=index,codec_name,codec_type,width,height,nb_frames,"
                                       "duration:format=duration,nb_streams",
                                       "-of",
                                       "compact"};
  auto probe_of = [&](const std::string& file) {
    auto args = probe;
    args.push_back(file);
    return tool(dir, args);
  };
  const RunResult source_probe = probe_of("clip.mp4");
  const RunResult evidence_probe = probe_of("evidence.mp4");
  ASSERT_EQ(evidence_probe.status, 0) << evidence_probe.err;
  EXPECT_NE(source_probe.out.find("codec_name=h264"), std::string::npos);
  EXPECT_EQ(evidence_probe.out, source_probe.out);
  EXPECT_EQ(evidence_probe.err, "");
  const RunResult decoded =
      tool(dir, {"ffmpeg", "-v", "error", "-i", "evidence.mp4", "-f", "null", "-"});
  EXPECT_EQ(decoded.status, 0);
  EXPECT_EQ(decoded.err, "");

  std::string tampered = evidence;
  tampered[tampered.find("mdat") + 100] ^= 0x01;  // a media byte, clear of any box header
  test_util::write_file(dir.file("tampered.mp4"), tampered);
  auto refused = test_util::run({"verify", "tampered.mp4"}, in_dir(dir));
  EXPECT_EQ(refused.status, 1);
  EXPECT_EQ(refused.err, "error: File integrity check failed.\n");
  EXPECT_NE(refused.out.find("\"file_integrity\": \"mismatch\""), std::string::npos);
}

INSTANTIATE_TEST_SUITE_P(RealClips, Chain,
                         ::testing::Values(Clip{"h264", {}},
                                           Clip{"fragmented",
                                                {"-movflags", "frag_keyframe+empty_moov"}}),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
