// Frame sampling against stand-in ffprobe and ffmpeg programs: shell scripts
// that record their argument vectors and print or emit what a case needs.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <pdq/pdq.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <functional>
#include <limits>
#include <tuple>

#include "matching/aligner.h"
#include "sampling/child_process.h"
#include "sampling/frame_sampler.h"
#include "sampling/probe.h"
#include "test_util.h"

namespace {

using test_util::read_file;
using test_util::ScopedEnv;
using test_util::StderrCapture;
using test_util::TempDir;
using test_util::write_file;
using test_util::write_script;

constexpr std::size_t kFrame = 1048576;

// A stand-in pair of programs in a temporary directory. The ffprobe script
// answers the dimension probe and the duration probe from its settings; the
// ffmpeg script runs `ffmpeg_body` after recording its arguments.
class FakeTools {
 public:
  FakeTools(std::string dims, std::string duration, std::string ffmpeg_body, int probe_status = 0)
      : probe_env_("VORLANT_VERIFY_FFPROBE", dir_.file("ffprobe")),
        ffmpeg_env_("VORLANT_VERIFY_FFMPEG", dir_.file("ffmpeg")) {
    write_file(dir_.file("dims.out"), dims);
    write_file(dir_.file("duration.out"), duration);
    std::string record = "for a in \"$@\"; do printf '%s\\n' \"$a\"; done >> '";
    write_script(dir_.file("ffprobe"),
                 record + dir_.file("ffprobe.args") + "'\necho == >> '" +
                     dir_.file("ffprobe.args") + "'\ncase \"$6\" in\n  stream=width,height) cat '" +
                     dir_.file("dims.out") + "' ;;\n  *) cat '" + dir_.file("duration.out") +
                     "' ;;\nesac\necho probe noise >&2\nexit " + std::to_string(probe_status) +
                     "\n");
    write_script(dir_.file("ffmpeg"),
                 record + dir_.file("ffmpeg.args") + "'\n" + ffmpeg_body + "\n");
  }
  const TempDir& dir() const { return dir_; }
  std::string ffprobe_args() const { return read_file(dir_.file("ffprobe.args")); }
  std::string ffmpeg_args() const { return read_file(dir_.file("ffmpeg.args")); }

 private:
  TempDir dir_;
  ScopedEnv probe_env_;
  ScopedEnv ffmpeg_env_;
};

std::string zero_bytes(std::size_t n) { return "head -c " + std::to_string(n) + " /dev/zero"; }

// Hashes each sampled frame as the recorder does and keeps the hash.
std::function<Result<void>(std::span<const std::uint8_t>)> hash_into(
    std::vector<std::string>& hashes) {
  return [&hashes](std::span<const std::uint8_t> frame) -> Result<void> {
    auto hash = pdq::hash_rgba_frame(frame);
    if (!hash) return fail(hash.error().message());
    hashes.push_back(std::move(*hash));
    return {};
  };
}

struct Sampled {
  Result<FrameSampling> result;
  std::vector<std::string> hashes;
  std::string err;
};

Sampled sample(const FakeTools& tools, const std::string& input, double fps,
               std::string_view advice = {}) {
  StderrCapture capture(tools.dir().file("stderr"));
  std::vector<std::string> hashes;
  auto result = sample_frames(input, recorder_frames(fps), hash_into(hashes), advice);
  return {std::move(result), std::move(hashes), capture.release()};
}

TEST(ExpectedFrameCount, RoundsHalfAwayAndSaturates) {
  constexpr double kInf = std::numeric_limits<double>::infinity();
  constexpr std::uint64_t kMax = std::numeric_limits<std::uint64_t>::max();
  EXPECT_EQ(expected_frame_count(2.0, 10.25), 21u);
  EXPECT_EQ(expected_frame_count(2.0, 10.24), 20u);
  EXPECT_EQ(expected_frame_count(1.0, 2.5), 3u);
  EXPECT_EQ(expected_frame_count(2.0, 0.0), 0u);
  EXPECT_EQ(expected_frame_count(2.0, -3.0), 0u);
  EXPECT_EQ(expected_frame_count(2.0, std::nan("")), 0u);
  EXPECT_EQ(expected_frame_count(2.0, kInf), kMax);
  EXPECT_EQ(expected_frame_count(2.0, -kInf), 0u);
  EXPECT_EQ(expected_frame_count(1e10, 1e10), kMax);
}

TEST(MediaUrl, NamesThatLookLikeProtocolsStayFiles) {
  const struct {
    std::string path, url;
  } cases[] = {
      {"clip.mp4", "clip.mp4"},
      {"concat:a.mp4|b.mp4", "file:concat:a.mp4|b.mp4"},
      {"pipe:3", "file:pipe:3"},
      {"http://example/x.mp4", "file:http://example/x.mp4"},
      {"file:clip.mp4", "file:file:clip.mp4"},
      {"subfile,,start,0,end,9,,:clip.mp4", "file:subfile,,start,0,end,9,,:clip.mp4"},
      {"/videos/cam:1.mp4", "/videos/cam:1.mp4"},
      {"my clip:1.mp4", "my clip:1.mp4"},
      {"./pipe:3", "./pipe:3"},
      {"-", "file:-"},  // ffmpeg's name for its standard input
      {"-clip.mp4", "-clip.mp4"},
  };
  for (const auto& c : cases) EXPECT_EQ(media_url(c.path), c.url) << c.path;
}

// Interrupts are held while a child starts, but not in the child: an
// ffmpeg that blocked them would ignore the user's Ctrl-C.
TEST(PipedChild, StartsWithInterruptsOpen) {
  const std::vector<std::string> args{"SigBlk", "/proc/self/status"};
  auto child = spawn_piped("grep", args);
  ASSERT_TRUE(child) << child.error();
  std::string text(256, '\0');
  const ssize_t n = ::read(child->output().get(), text.data(), text.size());
  ASSERT_GT(n, 0);
  text.resize(static_cast<std::size_t>(n));
  EXPECT_EQ(text, "SigBlk:\t0000000000000000\n");
  ASSERT_TRUE(child->wait());
}

// A child that is given up on is killed and reaped, never left behind.
TEST(PipedChild, DroppedChildIsKilledAndReaped) {
  const std::vector<std::string> args{"-c", "exec sleep 100"};
  pid_t pid = -1;
  {
    auto child = spawn_piped("/bin/sh", args);
    ASSERT_TRUE(child) << child.error();
    pid = child->pid();
  }
  EXPECT_EQ(::kill(pid, 0), -1);
  EXPECT_EQ(errno, ESRCH);
}

TEST(SampleAndHashFrames, PathReachesTheChildrenWholeWithoutAShell) {
  FakeTools tools("1920x1080\n", "10.25\n", zero_bytes(2 * kFrame));
  const std::string input = tools.dir().file("my clip; $(touch pwned) 'x'.mp4");
  Sampled run = sample(tools, input, 2.0);
  ASSERT_TRUE(run.result) << run.result.error();
  EXPECT_EQ(run.hashes.size(), 2u);
  EXPECT_EQ(run.result->native_width, 1920u);
  EXPECT_EQ(run.result->native_height, 1080u);
  // The path reaches each child as one argument, exactly as given.
  const std::string as_argument = "\n" + input + "\n";
  const std::string probes = tools.ffprobe_args();
  EXPECT_NE(probes.find(as_argument), probes.rfind(as_argument)) << "both probes name it";
  EXPECT_NE(tools.ffmpeg_args().find(as_argument), std::string::npos);
  EXPECT_EQ(run.err, "\r  hashed 1/21 frames\r  hashed 2/21 frames\n");
  EXPECT_FALSE(std::filesystem::exists(tools.dir().file("pwned")));
}

// The probes answer after ffmpeg has sent every frame: the counter still
// names the total from its first line.
TEST(SampleAndHashFrames, ProbesSlowerThanTheDecoderLeaveTheCounterAsItWas) {
  FakeTools tools("", "", zero_bytes(2 * kFrame));
  write_script(tools.dir().file("ffprobe"),
               "sleep 0.3\ncase \"$6\" in\n  stream=width,height) echo 640x480 ;;\n"
               "  *) echo 1 ;;\nesac\n");
  Sampled run = sample(tools, "in.mp4", 2.0);
  ASSERT_TRUE(run.result) << run.result.error();
  EXPECT_EQ(run.result->native_width, 640u);
  EXPECT_EQ(run.err, "\r  hashed 1/2 frames\r  hashed 2/2 frames\n");
}

// The probes run as child processes that the frame loop looks after: while
// frames are hashed beside a probe still running, the process has no thread
// more than before (an emulator may keep one of its own).
TEST(SampleAndHashFrames, ProbesBesideTheDecoderAddNoThread) {
  FakeTools tools("", "", zero_bytes(2 * kFrame));
  write_script(tools.dir().file("ffprobe"), "sleep 0.3\necho 640x480\n");
  auto threads = [] {
    const auto tasks = std::filesystem::directory_iterator("/proc/self/task");
    return static_cast<std::size_t>(std::distance(tasks, {}));
  };
  const std::size_t before = threads();
  std::size_t most = 0;
  StderrCapture capture(tools.dir().file("stderr"));
  auto result = sample_frames("in.mp4", recorder_frames(2.0),
                              [&](std::span<const std::uint8_t>) -> Result<void> {
                                most = std::max(most, threads());
                                return {};
                              });
  capture.release();
  ASSERT_TRUE(result) << result.error();
  EXPECT_EQ(result->native_width, 640u);
  EXPECT_EQ(most, before);
}

// The recorder's frames as the real ffmpeg makes them: a lossless clip gives
// hashes pinned here, so a change to the children's arguments that changes
// a frame (rate, size, filter, pixel format) cannot go unnoticed.
TEST(SampleAndHashFrames, RealFfmpegGivesThePinnedHashes) {
  if (!test_util::have_ffmpeg()) GTEST_SKIP() << "ffmpeg and ffprobe are not installed";
  TempDir dir;
  auto made =
      test_util::run_tool({"ffmpeg", "-v", "error", "-f", "lavfi", "-i",
                           "testsrc2=size=320x240:rate=10:duration=2", "-c:v", "ffv1", "clip.mkv"},
                          dir.path().string());
  ASSERT_EQ(made.status, 0) << made.err;
  std::vector<std::string> hashes;
  StderrCapture capture(dir.file("stderr"));
  auto result = sample_frames(dir.file("clip.mkv"), recorder_frames(2.0), hash_into(hashes));
  capture.release();
  ASSERT_TRUE(result) << result.error();
  EXPECT_EQ(hashes, (std::vector<std::string>{
                        "cd5847f8a2bcb1575003ccaf6405b74393a33bc34de4ce6812789b3cbd3ebc0c",
                        "45f800bdbc026e802ff191ef6087a543f3832fe1c47aba1fbc4a5e2c9b3c9c3c",
                        "20dd5c02aff011bfe403b3a125d7c20795c266f7911fde449338583ede3cbd38",
                        "8c567b98c67bb98066ffa40333d944c79380e66f1a80d67ea0581a3cfc7e9f18"}));
  EXPECT_EQ(result->native_width, 320u);
}

// A phone clip's rotation reaches the dimension probe as side data; the
// width and height before it still count.
TEST(SampleAndHashFrames, RealRotatedClipKeepsItsDimensions) {
  if (!test_util::have_ffmpeg()) GTEST_SKIP() << "ffmpeg and ffprobe are not installed";
  TempDir dir;
  for (const std::vector<std::string>& args :
       {std::vector<std::string>{"ffmpeg", "-v", "error", "-f", "lavfi", "-i",
                                 "testsrc2=size=320x240:rate=10:duration=1", "-pix_fmt", "yuv420p",
                                 "clip.mp4"},
        std::vector<std::string>{"ffmpeg", "-v", "error", "-i", "clip.mp4", "-c", "copy",
                                 "-metadata:s:v:0", "rotate=90", "rotated.mp4"}}) {
    auto made = test_util::run_tool(args, dir.path().string());
    ASSERT_EQ(made.status, 0) << made.err;
  }
  StderrCapture capture(dir.file("stderr"));
  auto result = sample_frames(dir.file("rotated.mp4"), recorder_frames(2.0),
                              [](std::span<const std::uint8_t>) -> Result<void> { return {}; });
  capture.release();
  ASSERT_TRUE(result) << result.error();
  EXPECT_EQ(result->native_width, 320u);
  EXPECT_EQ(result->native_height, 240u);
}

// Which source frame each sample shows, on a 30 fps clip whose frame n is
// the uniform grey 2n: the samples' moments, at any rate, are the middles
// of their intervals (at 2 fps frames 7, 22, 37, ... not 0, 15, 30, ...).
TEST(SampleAndHashFrames, RealSamplesShowTheFrameBeforeTheMiddleOfTheirInterval) {
  if (!test_util::have_ffmpeg()) GTEST_SKIP() << "ffmpeg and ffprobe are not installed";
  TempDir dir;
  auto made =
      test_util::run_tool({"ffmpeg", "-v", "error", "-f", "lavfi", "-i",
                           "color=black:size=32x32:rate=30:duration=3,format=gray,geq=lum='2*N'",
                           "-c:v", "ffv1", "numbered.mkv"},
                          dir.path().string());
  ASSERT_EQ(made.status, 0) << made.err;
  auto red_of_frames = [&](double fps) {
    std::vector<int> reds;
    StderrCapture capture(dir.file("stderr"));
    auto result = sample_frames(dir.file("numbered.mkv"), candidate_frames(fps, false),
                                [&](std::span<const std::uint8_t> rgba) -> Result<void> {
                                  reds.push_back(rgba[0]);
                                  return {};
                                });
    capture.release();
    EXPECT_TRUE(result) << result.error();
    return reds;
  };
  // Every frame once, to read each frame's number back from its colour.
  const std::vector<int> frame_reds = red_of_frames(30);
  ASSERT_EQ(frame_reds.size(), 90u);
  // Strictly increasing, so every colour names one frame.
  ASSERT_EQ(std::ranges::adjacent_find(frame_reds, std::greater_equal<>{}), frame_reds.end());
  for (double fps : {2.0, 4.0, 12.0}) {
    const std::vector<int> reds = red_of_frames(fps);
    ASSERT_EQ(reds.size(), static_cast<std::size_t>(3 * fps)) << fps;
    for (std::size_t j = 0; j < reds.size(); ++j) {
      const auto shown = std::find(frame_reds.begin(), frame_reds.end(), reds[j]);
      const auto expected = static_cast<std::ptrdiff_t>(sample_moment(j, fps) * 30);
      EXPECT_EQ(shown - frame_reds.begin(), expected) << fps << " fps, sample " << j;
    }
  }
}

TEST(SampleAndHashFrames, FractionalRateInFilter) {
  FakeTools tools("N/A\n", "N/A\n", "exit 0");
  Sampled run = sample(tools, "in.mp4", 0.5);
  ASSERT_TRUE(run.result) << run.result.error();
  EXPECT_NE(tools.ffmpeg_args().find("\n-vf\nfps=0.5,scale=512:512:flags=bilinear\n"),
            std::string::npos);
}

TEST(SampleAndHashFrames, DimensionProbeOutputs) {
  struct Case {
    std::string_view output;
    int status;
    std::optional<std::uint32_t> width, height;
  };
  const Case kCases[] = {
      {"1920x1080\n", 0, 1920, 1080},
      {"  +640x+360 \r\n", 0, 640, 360},
      {"\xc2\xa0"
       "0x0\n",
       0, 0, 0},
      {"4294967295x01\n", 0, 4294967295u, 1},
      {"1920x1080\n", 1, std::nullopt, std::nullopt},
      // Debian 12's ffprobe on a clip with rotation metadata: an empty side-data field.
      {"320x240x\n\n", 0, 320, 240},
      {"1920x1080x\"Display Matrix\"x\"\n00000000: 0 -65536 0\n\"x90\n", 0, 1920, 1080},
      {"1920x1080 x2\n", 0, std::nullopt, std::nullopt},
      {"1920\n", 0, std::nullopt, std::nullopt},
      {"N/A\n", 0, std::nullopt, std::nullopt},
      {"", 0, std::nullopt, std::nullopt},
      {"x1080\n", 0, std::nullopt, std::nullopt},
      {"1920x\n", 0, std::nullopt, std::nullopt},
      {"-1x2\n", 0, std::nullopt, std::nullopt},
      {"+x2\n", 0, std::nullopt, std::nullopt},
      {"4294967296x1\n", 0, std::nullopt, std::nullopt},
      {"19 20x1080\n", 0, std::nullopt, std::nullopt},
      {"1920X1080\n", 0, std::nullopt, std::nullopt},
      {"1920x1080\n640x360\n", 0, std::nullopt, std::nullopt},
  };
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.output);
    FakeTools tools(std::string(c.output), "N/A", zero_bytes(kFrame), c.status);
    Sampled run = sample(tools, "in.mp4", 2.0);
    // A failing probe is not a failing command, not even for the duration.
    ASSERT_TRUE(run.result) << run.result.error();
    EXPECT_EQ(run.result->native_width, c.width);
    EXPECT_EQ(run.result->native_height, c.height);
    EXPECT_EQ(run.err, "\r  hashed 1 frames\n");
  }
}

TEST(SampleAndHashFrames, DurationProbeSetsTheTotal) {
  struct Case {
    std::string_view output;
    std::string_view progress;
  };
  constexpr Case kCases[] = {
      {"10.25\n", "\r  hashed 1/21 frames\n"},
      {"10.000000\n", "\r  hashed 1/20 frames\n"},
      {"+.5", "\r  hashed 1/1 frames\n"},
      {"1e3", "\r  hashed 1/2000 frames\n"},
      {"3.", "\r  hashed 1/6 frames\n"},
      {"-5", "\r  hashed 1/0 frames\n"},
      {"INF", "\r  hashed 1/18446744073709551615 frames\n"},
      {"-infinity", "\r  hashed 1/0 frames\n"},
      {"NaN", "\r  hashed 1/0 frames\n"},
      {"N/A\n", "\r  hashed 1 frames\n"},
      {"", "\r  hashed 1 frames\n"},
      {".", "\r  hashed 1 frames\n"},
      {"1e", "\r  hashed 1 frames\n"},
      {"0x10", "\r  hashed 1 frames\n"},
      {"nan(1)", "\r  hashed 1 frames\n"},
      {"10 s", "\r  hashed 1 frames\n"},
  };
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.output);
    FakeTools tools("N/A", std::string(c.output), zero_bytes(kFrame));
    Sampled run = sample(tools, "in.mp4", 2.0);
    ASSERT_TRUE(run.result) << run.result.error();
    EXPECT_EQ(run.err, c.progress);
  }
}

TEST(SampleAndHashFrames, IncompleteLastFrameIsDropped) {
  FakeTools tools("N/A", "N/A", zero_bytes(kFrame * 5 / 2));
  Sampled run = sample(tools, "in.mp4", 2.0);
  ASSERT_TRUE(run.result) << run.result.error();
  EXPECT_EQ(run.hashes.size(), 2u);
  EXPECT_EQ(run.err, "\r  hashed 1 frames\r  hashed 2 frames\n");
}

TEST(SampleAndHashFrames, NoFramesGiveAnEmptyListAfterANewline) {
  FakeTools tools("N/A", "N/A", "exit 0");
  Sampled run = sample(tools, "in.mp4", 2.0);
  ASSERT_TRUE(run.result) << run.result.error();
  EXPECT_TRUE(run.hashes.empty());
  EXPECT_EQ(run.err, "\n");
}

TEST(SampleAndHashFrames, FramesAreHashedInOrder) {
  // Two different frames (dark over bright, then bright over dark) catch
  // any slip in the framing or the order.
  const std::string half = std::to_string(kFrame / 2);
  FakeTools tools("N/A", "N/A",
                  "head -c " + half + " /dev/zero; head -c " + half +
                      " /dev/zero | tr '\\000' '\\377'\nhead -c " + half +
                      " /dev/zero | tr '\\000' '\\377'; head -c " + half + " /dev/zero");
  Sampled run = sample(tools, "in.mp4", 2.0);
  ASSERT_TRUE(run.result) << run.result.error();
  std::vector<std::uint8_t> frame(kFrame, 0);
  std::fill(frame.begin() + kFrame / 2, frame.end(), 0xff);
  auto first = pdq::hash_rgba_frame(frame);
  std::fill(frame.begin(), frame.begin() + kFrame / 2, 0xff);
  std::fill(frame.begin() + kFrame / 2, frame.end(), 0);
  auto second = pdq::hash_rgba_frame(frame);
  ASSERT_TRUE(first && second);
  EXPECT_EQ(run.hashes, (std::vector<std::string>{*first, *second}));
}

TEST(SampleAndHashFrames, FfmpegFailuresDiscardTheHashes) {
  struct Case {
    std::string_view name;
    std::string body;
    std::string_view error;
  };
  const Case kCases[] = {
      {"exit 1 after frames", zero_bytes(2 * kFrame) + "\nexit 1",
       "ffmpeg exited with exit status: 1"},
      {"exit 255", "exit 255", "ffmpeg exited with exit status: 255"},
      {"killed", zero_bytes(kFrame) + "\nkill -9 $$", "ffmpeg exited with signal: 9"},
  };
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.name);
    FakeTools tools("N/A", "N/A", c.body);
    Sampled run = sample(tools, "in.mp4", 2.0);
    ASSERT_FALSE(run.result);
    EXPECT_EQ(run.result.error(), c.error);
  }
}

// A clip too short for the rate gets a rate that gives a frame; one long
// enough, or of unknown length, gets no reason. (The real clips of
// prepare_test show both reasons whole.)
TEST(SampleAndHashFrames, WhyNoFrameCame) {
  const std::vector<std::tuple<std::string, double, std::string>> cases = {
      {"3", 0.1,
       "in.mp4 lasts 3 s, less than one sample interval at 0.1 fps; --fps 0.34 or more "
       "gives at least one frame"},
      {"0.12", 0.1,
       "in.mp4 lasts 0.12 s, less than one sample interval at 0.1 fps; --fps 8.4 or "
       "more gives at least one frame"},
      {"0.3", 2.0, ""},
      {"N/A", 2.0, ""},
  };
  for (const auto& [duration, fps, reason] : cases) {
    SCOPED_TRACE(duration);
    FakeTools tools("64x48", duration, "exit 0");
    Sampled run = sample(tools, "in.mp4", fps);
    ASSERT_TRUE(run.result) << run.result.error();
    EXPECT_EQ(run.result->no_frames_reason, reason);
  }
}

TEST(SampleAndHashFrames, FfmpegStandardErrorReachesOurs) {
  FakeTools tools("N/A", "N/A", "echo 'decoder says hi' >&2");
  Sampled run = sample(tools, "in.mp4", 2.0);
  ASSERT_TRUE(run.result) << run.result.error();
  EXPECT_EQ(run.err, "decoder says hi\n\n");
}

TEST(SampleAndHashFrames, MissingPrograms) {
  FakeTools tools("1x1", "1", zero_bytes(kFrame));
  {
    ScopedEnv probe("VORLANT_VERIFY_FFPROBE", tools.dir().file("no-such-ffprobe"));
    Sampled run = sample(tools, "in.mp4", 2.0);
    ASSERT_TRUE(run.result) << run.result.error();
    EXPECT_FALSE(run.result->native_width);
    EXPECT_EQ(run.hashes.size(), 1u);
    EXPECT_EQ(run.err, "\r  hashed 1 frames\n");
  }
  ScopedEnv ffmpeg("VORLANT_VERIFY_FFMPEG", tools.dir().file("no-such-ffmpeg"));
  Sampled run = sample(tools, "in.mp4", 2.0);
  ASSERT_FALSE(run.result);
  // qemu-user cannot hand a failed exec back through posix_spawn: the child
  // starts and exits with 127 instead, so only that outcome is checked there.
  if (test_util::under_emulator()) {
    EXPECT_EQ(run.result.error(), "ffmpeg exited with exit status: 127");
    return;
  }
  EXPECT_EQ(run.result.error(), "spawn ffmpeg: No such file or directory (os error 2)");
  EXPECT_EQ(run.err, "");
}

TEST(SampleAndHashFrames, BareProgramNamesAreSearchedOnPath) {
  FakeTools tools("7x9", "N/A", zero_bytes(kFrame));
  ScopedEnv path("PATH", tools.dir().path().string() + ":/usr/bin:/bin");
  ScopedEnv probe("VORLANT_VERIFY_FFPROBE", "ffprobe");
  ScopedEnv ffmpeg("VORLANT_VERIFY_FFMPEG", "ffmpeg");
  Sampled run = sample(tools, "in.mp4", 2.0);
  ASSERT_TRUE(run.result) << run.result.error();
  EXPECT_EQ(run.result->native_width, 7u);
  EXPECT_EQ(run.hashes.size(), 1u);
}

}  // namespace
