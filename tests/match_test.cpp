// match through the built program on clips made by ffmpeg, as they turn up:
// a 60-second recording (a zoom, a 20-second static stretch, the zoom again)
// whose evidence was made by the real chain, and cuts of it that were
// re-encoded, scaled, edited, boxed, turned and sped up. The media are made
// once for all tests, small and fast to encode.

#include <gtest/gtest.h>

#include <cmath>
#include <memory>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <vector>

#include "test_util.h"

namespace {

using test_util::RunResult;
using test_util::TempDir;

// One ffmpeg run each, writing several clips, since starting ffmpeg costs
// about as much as encoding one of these clips.
// clang-format off
const std::vector<std::vector<std::string>> kMedia = {
    {"ffmpeg", "-v", "error", "-f", "lavfi", "-i", "mandelbrot=size=320x180:rate=25:maxiter=256",
     "-f", "lavfi", "-i", "sine=duration=2",
     "-filter_complex",
     "[0:v]trim=0:40,split=3[a][b][c];"
     "[a]trim=0:20[p1];"
     "[b]trim=20:20.04,setpts=PTS-STARTPTS,tpad=stop_mode=clone:stop_duration=20,"
     "noise=alls=2:allf=t[p2];"
     "[c]trim=20:40,setpts=PTS-STARTPTS[p3];"
     "[p1][p2][p3]concat=n=3:v=1,format=yuv420p[v]",
     "-map", "[v]", "-c:v", "libx264", "-preset", "ultrafast", "original.mp4",
     "-map", "1:a", "-c:a", "aac", "audio.mp4"},
    {"ffmpeg", "-v", "error", "-i", "original.mp4",
     "-f", "lavfi", "-i", "life=size=320x180:rate=25:ratio=0.2:seed=7",
     "-filter_complex",
     "[0:v]split=14[s1][s2][s3][s4][s5][s6][s7][s8][s9][s10][s11][s12][s13][s14];"
     "[s1]trim=10:20,setpts=PTS-STARTPTS,scale=640:360[plain];"
     "[s2]trim=10.25:20.25,setpts=PTS-STARTPTS[offgrid];"
     "[s3]trim=45:50,setpts=PTS-STARTPTS[i1];[1:v]trim=0:5,setpts=PTS-STARTPTS,split[ins][unrelated];"
     "[s4]trim=50:55,setpts=PTS-STARTPTS[i2];[i1][ins][i2]concat=n=3:v=1[insert];"
     "[s5]trim=50:55,setpts=PTS-STARTPTS[j1];[s6]trim=5:15,setpts=PTS-STARTPTS[j2];"
     "[j1][j2]concat=n=2:v=1[join];"
     "[s7]trim=24:29,setpts=PTS-STARTPTS[static];"
     "[s8]trim=10:20,setpts=PTS-STARTPTS,pad=320:240:0:30:black[letterbox];"
     "[s9]trim=10:20,setpts=PTS-STARTPTS,pad=480:180:80:0:black[pillarbox];"
     "[s10]trim=10:20,setpts=PTS-STARTPTS,hflip[mirrored];"
     "[s11]trim=10:20,setpts=PTS-STARTPTS,transpose=1[rotated];"
     "[s12]trim=10:22.5,setpts=(PTS-STARTPTS)/1.25[faster];"
     "[s13]trim=10:20,setpts=PTS-STARTPTS,scale=256:144,format=gray,"
     "eq=brightness=0.06:contrast=1.2[worn];"
     "[s14]trim=10:20,setpts=PTS-STARTPTS,drawtext=text='@newsdesk':fontsize=9:"
     "x=w-tw-4:y=h-th-4:fontcolor=white@0.5[logo]",
     "-c:v", "libx264", "-preset", "ultrafast", "-crf", "30", "-pix_fmt", "yuv420p",
     "-map", "[plain]", "plain.mp4", "-map", "[offgrid]", "offgrid.mp4",
     "-map", "[insert]", "insert.mp4", "-map", "[join]", "join.mp4",
     "-map", "[static]", "static.mp4", "-map", "[letterbox]", "letterbox.mp4",
     "-map", "[pillarbox]", "pillarbox.mp4", "-map", "[mirrored]", "mirrored.mp4",
     "-map", "[rotated]", "rotated.mp4", "-map", "[faster]", "-r", "25", "faster.mp4",
     "-map", "[worn]", "-r", "30", "worn.mp4", "-map", "[logo]", "logo.mp4",
     "-map", "[unrelated]", "unrelated.mp4"},
    {"ffmpeg", "-v", "error", "-ss", "12.5", "-i", "original.mp4", "-frames:v", "1", "still.png"},
};
// clang-format on

class Match : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    if (!test_util::have_ffmpeg()) return;
    dir_ = std::make_unique<TempDir>();
    for (const auto& media : kMedia) {
      const RunResult made = test_util::run_tool(media, dir_->path());
      ASSERT_EQ(made.status, 0) << made.err;
    }
    const std::vector<std::string> sign = {
        "sign-attestation",      "--nvr-device-id",      "nvr-01", "--nvr-key-id", "key-01",
        "--nvr-private-key-hex", test_util::kTestKeyHex, "-o"};
    auto steps = test_util::evidence_chain("original.mp4", "evidence.mp4");
    steps.push_back({"prepare-attestation", "original.mp4", "-o", "exact.json"});
    steps.push_back(with(sign, {"no-hashes.json", "exact.json"}));
    for (const std::vector<std::string>& step : steps) {
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

// What a segment must say: where it lies in the clip and in the recording
// (within one signed interval), and how the clip changed the picture.
struct ExpectedSegment {
  double candidate_start, candidate_end;
  std::optional<double> recording_start;  // nothing: undetermined, the start below lies in range
  double true_start = 0;
  std::string_view transform = "none", boxed = "none";
  double tempo = 1.0;
};

struct Case {
  std::string_view clip;
  std::string_view confidence;
  bool edited;
  std::vector<ExpectedSegment> segments;
};

const Case kCases[] = {
    {"plain.mp4", "high", false, {{0, 10, 10.0}}},
    {"offgrid.mp4", "high", false, {{0, 10, 10.25}}},
    {"insert.mp4", "high", true, {{0, 5, 45.0}, {10, 15, 50.0}}},
    {"join.mp4", "high", true, {{0, 5, 50.0}, {5, 15, 5.0}}},
    {"static.mp4", "high", false, {{0, 5, std::nullopt, 24.0}}},
    {"letterbox.mp4", "high", false, {{0, 10, 10.0, 0, "none", "letterbox"}}},
    {"pillarbox.mp4", "high", false, {{0, 10, 10.0, 0, "none", "pillarbox"}}},
    {"mirrored.mp4", "high", false, {{0, 10, 10.0, 0, "mirrored"}}},
    {"rotated.mp4", "high", false, {{0, 10, 10.0, 0, "rotated 90 clockwise"}}},
    {"faster.mp4", "high", false, {{0, 10, 10.0, 0, "none", "none", 1.25}}},
    {"worn.mp4", "high", false, {{0, 10, 10.0}}},
    {"logo.mp4", "high", false, {{0, 10, 10.0}}},
    {"unrelated.mp4", "low", false, {}},
};

void expect_segment(const nlohmann::json& s, const ExpectedSegment& e) {
  // Edges may move by a candidate frame or a signed interval where a cut
  // leaves a frame of mixed content.
  EXPECT_NEAR(s["candidate_start_s"].get<double>(), e.candidate_start, 0.5);
  EXPECT_NEAR(s["candidate_end_s"].get<double>(), e.candidate_end, 0.5);
  EXPECT_EQ(s["transform"], e.transform);
  EXPECT_EQ(s["boxed"], e.boxed);
  EXPECT_NEAR(s["tempo"].get<double>(), e.tempo, 0.05 * e.tempo);
  if (e.recording_start) {
    EXPECT_EQ(s["position"], "determined");
    EXPECT_NEAR(s["recording_start_s"].get<double>(), *e.recording_start, 0.5);
  } else {
    EXPECT_EQ(s["position"], "undetermined");
    EXPECT_LE(s["recording_start_min_s"].get<double>(), e.true_start);
    EXPECT_GE(s["recording_start_max_s"].get<double>(), e.true_start);
    EXPECT_GE(s["recording_start_min_s"].get<double>(), 0.0);
  }
}

TEST_F(Match, ClipsAsTheyTurnUpAreLocatedSegmentBySegment) {
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.clip);
    const RunResult r = run({"match", std::string(c.clip), "evidence.mp4"});
    ASSERT_EQ(r.status, 0) << r.err;
    const auto report = nlohmann::json::parse(r.out);
    EXPECT_EQ(report["purpose"], "zq.evidence.match_result.v2");
    EXPECT_EQ(report["confidence"], c.confidence);
    EXPECT_EQ(report["edited"], c.edited);
    const auto& segments = report["segments"];
    ASSERT_EQ(segments.size(), c.segments.size()) << report.dump(2);
    for (std::size_t i = 0; i < c.segments.size(); ++i) expect_segment(segments[i], c.segments[i]);
    if (!c.segments.empty() && c.segments[0].recording_start) {
      EXPECT_NEAR(report["offset_seconds"].get<double>(), *c.segments[0].recording_start, 0.5);
    } else {
      EXPECT_FALSE(report.contains("offset_seconds"));
    }
    EXPECT_TRUE(last_line(r.err).starts_with("==> " + std::string(c.confidence))) << r.err;
  }
}

// The summary lines of an edited clip, a static scene and an unrelated clip.
TEST_F(Match, SummaryLinesSayWhatAnInvestigatorNeedsFirst) {
  const struct {
    std::string_view clip, starts;
  } kLines[] = {
      {"join.mp4", "==> high confidence: 2 segments, the clip is edited: 0.0-5.0 s is 5"},
      {"static.mp4", "==> high confidence: one segment, position undetermined: it starts between "},
      {"unrelated.mp4",
       "==> low confidence: 0 of 10 frames within distance 31; the nearest frame "},
  };
  for (const auto& l : kLines) {
    const RunResult r = run({"match", std::string(l.clip), "evidence.mp4"});
    EXPECT_TRUE(last_line(r.err).starts_with(l.starts)) << last_line(r.err);
  }
}

// A still image from the recording is one frame placed at a signed moment.
TEST_F(Match, StillImageIsPlacedAtItsNearestSignedSample) {
  const RunResult r = run({"match", "still.png", "evidence.mp4"});
  ASSERT_EQ(r.status, 0) << r.err;
  const auto report = nlohmann::json::parse(r.out);
  ASSERT_EQ(report["segments"].size(), 1u) << report.dump(2);
  const auto& s = report["segments"][0];
  EXPECT_EQ(s["candidate_start_s"], 0.0);
  EXPECT_EQ(s["candidate_end_s"], 0.0);
  EXPECT_NEAR(s["recording_start_s"].get<double>(), 12.5, 0.5);
  EXPECT_EQ(report["total_query_frames"], 1);
}

// Checked evidence file, damaged evidence file, envelope on standard input.
TEST_F(Match, EvidenceIsCheckedAndItsBindingReported) {
  for (const auto& [evidence, binding] : std::vector<std::pair<std::string, std::string>>{
           {"evidence.mp4", "ok"}, {"damaged.mp4", "fail"}, {"-", "not_checked"}}) {
    SCOPED_TRACE(evidence);
    const RunResult r =
        run({"match", "plain.mp4", evidence}, test_util::read_file(dir_->file("envelope.json")));
    ASSERT_EQ(r.status, 0) << r.err;
    const auto report = nlohmann::json::parse(r.out);
    std::string keys;
    for (const auto& [key, value] : report.items()) keys += key + " ";
    EXPECT_EQ(keys,
              "avg_distance candidate confidence edited evidence fps low_quality_frames "
              "matched_frames max_distance nearest_distance nvr_device_id nvr_key_id "
              "nvr_pubkey_hex offset_seconds phash_count purpose segments signature "
              "signed_at_ms signed_fps source_binding source_hash_scope source_sha256_hex "
              "source_size total_query_frames v ");
    EXPECT_EQ(report["source_binding"], binding);
    EXPECT_EQ(report["fps"], 30.0);
    EXPECT_EQ(report["signed_fps"], 2.0);
    EXPECT_NE(r.err.find("warning: NOT AUTHENTICATED."), std::string::npos);
    EXPECT_EQ(r.err.find("source binding does not hold") != std::string::npos, binding == "fail");
  }
}

TEST_F(Match, EvidenceAndCandidatesThatCannotBeCompared) {
  const struct {
    std::vector<std::string> args;
    std::string_view error;
  } kRefusals[] = {
      {{"plain.mp4", "bad-signature.json"},
       "error: NVR signature does not verify with envelope public key"},
      {{"plain.mp4", "no-hashes.json"},
       "error: the evidence carries no perceptual hashes: its signed manifest has no "
       "phashes_hex and fps to match against"},
      {{"audio.mp4", "envelope.json"},
       "error: ffmpeg exited with exit status: 1; audio.mp4 has no video stream to sample"},
      {{"plain.mp4", "evidence.mp4", "-o", "./evidence.mp4"},
       "error: output path must differ from input path"},
      {{"plain.mp4", "envelope.json", "--nvr-pubkey-hex",  // the generator point
        "046b17d1f2e12c4247f8bce6e563a440f277037d812deb33a0f4a13945d898c2964fe342e2fe1a7f9b8ee7eb4"
        "a7c0f9e162bce33576b315ececbb6406837bf51f5"},
       "error: The envelope's NVR public key is not one of the pinned keys: "
       "0460fed4ba255a9d31c961eb74c6356d68c049b8923b61fa6ce669622e60f29fb67903fe1008b8bc99a41ae9e"
       "95628bc64f2f1b20c2d7e9f5177a3c294d4462299"},
  };
  for (const auto& c : kRefusals) {
    const RunResult r = run(with({"match"}, c.args));
    EXPECT_EQ(r.status, 1) << c.error;
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(last_line(r.err), c.error);
  }
}

}  // namespace
