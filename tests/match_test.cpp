// match through the built program on clips made by ffmpeg: a 60-second
// recording whose evidence was made by the real chain, a cut of it that was
// re-encoded and scaled, clips that are not copies, and evidence that must be
// refused. The media are made once for all tests, small and fast to encode.

#include <gtest/gtest.h>

#include <cmath>
#include <memory>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "test_util.h"

namespace {

using test_util::RunResult;
using test_util::TempDir;

constexpr std::string_view kWarningStart = "warning: NOT AUTHENTICATED. The CLI checked";

class Match : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    if (!test_util::have_ffmpeg()) return;
    dir_ = std::make_unique<TempDir>();
    // Two ffmpeg runs, each writing several files, since starting ffmpeg
    // costs about as much as encoding one of these clips.
    // clang-format off
    const std::vector<std::vector<std::string>> steps = {
        {"ffmpeg", "-v", "error",
         "-f", "lavfi", "-i", "testsrc2=size=320x240:rate=10:duration=60",
         "-f", "lavfi", "-i", "mandelbrot=size=320x240:rate=10",
         "-f", "lavfi", "-i", "sine=duration=2",
         "-map", "0:v", "-c:v", "libx264", "-preset", "ultrafast", "-pix_fmt", "yuv420p",
         "original.mp4",
         "-map", "1:v", "-t", "10", "-c:v", "libx264", "-preset", "ultrafast", "-pix_fmt", "yuv420p",
         "unrelated.mp4",
         "-map", "2:a", "-c:a", "aac", "audio.mp4"},
        // Seconds 20 to 30, scaled up and re-encoded at a low bit rate, and its mirror image.
        {"ffmpeg", "-v", "error", "-ss", "20", "-i", "original.mp4",
         "-filter_complex", "[0:v]scale=640:360,split[cut][m];[m]hflip[mirrored]",
         "-map", "[cut]", "-t", "10", "-c:v", "libx264", "-preset", "ultrafast", "-b:v", "100k",
         "cut.mp4",
         "-map", "[mirrored]", "-t", "10", "-c:v", "libx264", "-preset", "ultrafast", "-b:v", "100k",
         "mirrored.mp4"},
    };
    // clang-format on
    for (const auto& step : steps) ASSERT_EQ(test_util::run_tool(step, dir_->path()).status, 0);
    program({"prepare-attestation", "original.mp4", "--with-pdq", "-o", "request.json"});
    program({"sign-attestation", "request.json", "--nvr-device-id", "nvr-01", "--nvr-key-id",
             "key-01", "--nvr-private-key-hex", test_util::kTestKeyHex, "--signed-at-ms",
             "1700000000000", "-o", "envelope.json"});
    program({"embed-evidence", "original.mp4", "envelope.json", "-o", "evidence.mp4"});
    program({"prepare-attestation", "original.mp4", "-o", "exact-request.json"});
    program({"sign-attestation", "exact-request.json", "--nvr-device-id", "nvr-01", "--nvr-key-id",
             "key-01", "--nvr-private-key-hex", test_util::kTestKeyHex, "-o", "no-hashes.json"});

    std::string envelope = test_util::read_file(dir_->file("envelope.json"));
    const std::size_t sig = envelope.find("\"nvr_sig_hex\": \"") + 16;
    envelope[sig] = envelope[sig] == '0' ? '1' : '0';
    test_util::write_file(dir_->file("bad-signature.json"), envelope);
    // One media byte changed: the source binding fails, the hashes stay signed.
    std::string damaged = test_util::read_file(dir_->file("evidence.mp4"));
    damaged[damaged.find("mdat") + 1000] ^= 0x01;
    test_util::write_file(dir_->file("damaged.mp4"), damaged);
  }
  static void TearDownTestSuite() { dir_.reset(); }

  void SetUp() override {
    if (!dir_) GTEST_SKIP() << "ffmpeg and ffprobe are not installed";
  }

  static RunResult program(const std::vector<std::string>& args, std::string stdin_bytes = {}) {
    test_util::RunOptions options;
    options.cwd = dir_->path();
    options.stdin_bytes = std::move(stdin_bytes);
    RunResult r = test_util::run(args, options);
    EXPECT_EQ(r.status, 0) << r.err;
    return r;
  }

  static std::string last_line(const std::string& text) {
    std::string_view t(text);
    t.remove_suffix(t.ends_with('\n') ? 1 : 0);
    return std::string(t.substr(t.rfind('\n') + 1));
  }

  static inline std::unique_ptr<TempDir> dir_;
};

TEST_F(Match, CutAndScaledCopyMatchesWithItsOffset) {
  struct Case {
    std::string_view evidence;
    bool from_stdin;
    std::string_view binding;
  };
  constexpr Case kCases[] = {
      {"evidence.mp4", false, "ok"},
      {"damaged.mp4", false, "fail"},
      {"-", true, "not_checked"},
  };
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.evidence);
    const RunResult r =
        program({"match", "cut.mp4", std::string(c.evidence)},
                c.from_stdin ? test_util::read_file(dir_->file("envelope.json")) : "");
    const auto report = nlohmann::json::parse(r.out);
    EXPECT_EQ(report["purpose"], "zq.evidence.match_result.v1");
    EXPECT_EQ(report["source_binding"], c.binding);
    EXPECT_EQ(report["confidence"], "high");
    EXPECT_EQ(report["total_query_frames"], 20);
    EXPECT_GE(report["matched_frames"], 18);
    EXPECT_LE(std::fabs(report["offset_seconds"].get<double>() - 20.0), 0.5);
    EXPECT_EQ(report["phash_count"], 120);
    EXPECT_EQ(report["nvr_device_id"], "nvr-01");
    EXPECT_NE(r.err.find(kWarningStart), std::string::npos);
    EXPECT_TRUE(last_line(r.err).starts_with("==> high confidence: ")) << r.err;
    EXPECT_TRUE(last_line(r.err).ends_with(" s into the recording")) << r.err;
    EXPECT_EQ(r.err.find("warning: the evidence file's source binding does not hold") !=
                  std::string::npos,
              c.binding == "fail");
  }
}

TEST_F(Match, ReportKeysAndOutputFile) {
  const RunResult r = program({"match", "cut.mp4", "envelope.json", "-o", "out/report.json"});
  EXPECT_EQ(r.out, "");
  EXPECT_NE(r.err.find("==> wrote out/report.json\n"), std::string::npos);
  const auto report = nlohmann::json::parse(test_util::read_file(dir_->file("out/report.json")));
  std::string keys;
  for (const auto& [key, value] : report.items()) keys += key + " ";
  EXPECT_EQ(keys,
            "avg_distance candidate confidence evidence fps matched_frames max_distance "
            "nvr_device_id nvr_key_id nvr_pubkey_hex offset_seconds phash_count purpose signature "
            "signed_at_ms signed_fps source_binding source_hash_scope source_sha256_hex "
            "source_size total_query_frames v ");
}

// No frame comes near: the mean distance and the offset are left out.
TEST_F(Match, ClipsThatAreNoCopyGradeLow) {
  for (const char* clip : {"mirrored.mp4", "unrelated.mp4"}) {
    SCOPED_TRACE(clip);
    const RunResult r = program({"match", clip, "evidence.mp4"});
    const auto report = nlohmann::json::parse(r.out);
    EXPECT_EQ(report["confidence"], "low");
    EXPECT_EQ(report["matched_frames"], 0);
    EXPECT_FALSE(report.contains("avg_distance"));
    EXPECT_FALSE(report.contains("offset_seconds"));
    EXPECT_EQ(last_line(r.err), "==> low confidence: 0 of 20 frames within distance 31");
  }
}

TEST_F(Match, EvidenceAndCandidatesThatCannotBeCompared) {
  struct Case {
    std::string_view name;
    std::vector<std::string> args;
    std::string_view error;
  };
  const Case kCases[] = {
      {"broken signature",
       {"cut.mp4", "bad-signature.json"},
       "error: NVR signature does not verify with envelope public key"},
      {"no hashes",
       {"cut.mp4", "no-hashes.json"},
       "error: the evidence carries no perceptual hashes: its signed manifest has no "
       "phashes_hex and fps to match against"},
      {"no video stream",
       {"audio.mp4", "envelope.json"},
       "error: no video frames sampled from the candidate audio.mp4: ffmpeg exited with exit "
       "status: 1"},
      {"not evidence", {"cut.mp4", "cut.mp4"}, "error: No signed evidence envelope found."},
      {"report over the evidence",
       {"cut.mp4", "evidence.mp4", "-o", "./evidence.mp4"},
       "error: output path must differ from input path"},
      {"key not pinned",
       {"cut.mp4", "envelope.json", "--nvr-pubkey-hex",
        "046b17d1f2e12c4247f8bce6e563a440f277037d812deb33a0f4a13945d898c2964fe342e2fe1a7f9b8ee7eb4"
        "a7c0f9e162bce33576b315ececbb6406837bf51f5"},
       "error: The envelope's NVR public key is not one of the pinned keys: "
       "0460fed4ba255a9d31c961eb74c6356d68c049b8923b61fa6ce669622e60f29fb67903fe1008b8bc99a41ae9e"
       "95628bc64f2f1b20c2d7e9f5177a3c294d4462299"},
  };
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.name);
    std::vector<std::string> args{"match"};
    args.insert(args.end(), c.args.begin(), c.args.end());
    test_util::RunOptions options;
    options.cwd = dir_->path();
    const RunResult r = test_util::run(args, options);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(last_line(r.err), c.error);
  }
}

}  // namespace
