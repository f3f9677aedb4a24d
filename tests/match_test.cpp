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

class Match : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    if (!test_util::have_ffmpeg()) return;
    dir_ = std::make_unique<TempDir>();
    // Two ffmpeg runs, each writing several files, since starting ffmpeg
    // costs about as much as encoding one of these clips.
    // clang-format off
    const std::vector<std::vector<std::string>> clips = {
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
    const std::vector<std::string> sign = {"sign-attestation", "--nvr-device-id", "nvr-01",
        "--nvr-key-id", "key-01", "--nvr-private-key-hex", test_util::kTestKeyHex, "-o"};
    // clang-format on
    for (const auto& clip : clips) ASSERT_EQ(test_util::run_tool(clip, dir_->path()).status, 0);
    for (const std::vector<std::string>& step : {
             std::vector<std::string>{"prepare-attestation", "original.mp4", "--with-pdq", "-o",
                                      "request.json"},
             with(sign, {"envelope.json", "request.json"}),
             {"embed-evidence", "original.mp4", "envelope.json", "-o", "evidence.mp4"},
             {"prepare-attestation", "original.mp4", "-o", "exact.json"},
             with(sign, {"no-hashes.json", "exact.json"}),
         }) {
      ASSERT_EQ(run(step).status, 0) << step[0];
    }
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

  static std::vector<std::string> with(std::vector<std::string> a, std::vector<std::string> b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
  }
  // The built program in the media directory.
  static RunResult run(const std::vector<std::string>& args, std::string stdin_bytes = {}) {
    test_util::RunOptions options;
    options.cwd = dir_->path();
    options.stdin_bytes = std::move(stdin_bytes);
    return test_util::run(args, options);
  }
  static std::string last_line(std::string_view text) {
    text.remove_suffix(text.ends_with('\n') ? 1 : 0);
    return std::string(text.substr(text.rfind('\n') + 1));
  }

  static inline std::unique_ptr<TempDir> dir_;
};

// Checked evidence file, damaged evidence file, envelope on standard input.
TEST_F(Match, CutAndScaledCopyMatchesWithItsOffset) {
  for (const auto& [evidence, binding] : std::vector<std::pair<std::string, std::string>>{
           {"evidence.mp4", "ok"}, {"damaged.mp4", "fail"}, {"-", "not_checked"}}) {
    SCOPED_TRACE(evidence);
    const RunResult r =
        run({"match", "cut.mp4", evidence}, test_util::read_file(dir_->file("envelope.json")));
    ASSERT_EQ(r.status, 0) << r.err;
    const auto report = nlohmann::json::parse(r.out);
    std::string keys;
    for (const auto& [key, value] : report.items()) keys += key + " ";
    EXPECT_EQ(keys,
              "avg_distance candidate confidence evidence fps matched_frames max_distance "
              "nvr_device_id nvr_key_id nvr_pubkey_hex offset_seconds phash_count purpose "
              "signature signed_at_ms signed_fps source_binding source_hash_scope "
              "source_sha256_hex source_size total_query_frames v ");
    EXPECT_EQ(report["source_binding"], binding);
    EXPECT_EQ(report["confidence"], "high");
    EXPECT_EQ(report["total_query_frames"], 20);
    EXPECT_GE(report["matched_frames"], 18);
    EXPECT_LE(std::fabs(report["offset_seconds"].get<double>() - 20.0), 0.5);
    EXPECT_NE(r.err.find("warning: NOT AUTHENTICATED."), std::string::npos);
    EXPECT_EQ(r.err.find("source binding does not hold") != std::string::npos, binding == "fail");
    EXPECT_TRUE(last_line(r.err).starts_with("==> high confidence: ")) << r.err;
    EXPECT_TRUE(last_line(r.err).ends_with(" s into the recording")) << r.err;
  }
}

// No frame comes near: the mean distance and the offset are left out.
TEST_F(Match, ClipsThatAreNoCopyGradeLow) {
  for (const char* clip : {"mirrored.mp4", "unrelated.mp4"}) {
    SCOPED_TRACE(clip);
    const RunResult r = run({"match", clip, "evidence.mp4"});
    ASSERT_EQ(r.status, 0) << r.err;
    const auto report = nlohmann::json::parse(r.out);
    EXPECT_EQ(report["confidence"], "low");
    EXPECT_FALSE(report.contains("avg_distance") || report.contains("offset_seconds"));
    EXPECT_EQ(last_line(r.err), "==> low confidence: 0 of 20 frames within distance 31");
  }
}

TEST_F(Match, EvidenceAndCandidatesThatCannotBeCompared) {
  const struct {
    std::vector<std::string> args;
    std::string_view error;
  } kCases[] = {
      {{"cut.mp4", "bad-signature.json"},
       "error: NVR signature does not verify with envelope public key"},
      {{"cut.mp4", "no-hashes.json"},
       "error: the evidence carries no perceptual hashes: its signed manifest has no "
       "phashes_hex and fps to match against"},
      {{"audio.mp4", "envelope.json"},
       "error: ffmpeg exited with exit status: 1; audio.mp4 has no video stream to sample"},
      {{"cut.mp4", "evidence.mp4", "-o", "./evidence.mp4"},
       "error: output path must differ from input path"},
      {{"cut.mp4", "envelope.json", "--nvr-pubkey-hex",  // the generator point
        "046b17d1f2e12c4247f8bce6e563a440f277037d812deb33a0f4a13945d898c2964fe342e2fe1a7f9b8ee7eb4"
        "a7c0f9e162bce33576b315ececbb6406837bf51f5"},
       "error: The envelope's NVR public key is not one of the pinned keys: "
       "0460fed4ba255a9d31c961eb74c6356d68c049b8923b61fa6ce669622e60f29fb67903fe1008b8bc99a41ae9e"
       "95628bc64f2f1b20c2d7e9f5177a3c294d4462299"},
  };
  for (const auto& c : kCases) {
    const RunResult r = run(with({"match"}, c.args));
    EXPECT_EQ(r.status, 1) << c.error;
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(last_line(r.err), c.error);
  }
}

}  // namespace
