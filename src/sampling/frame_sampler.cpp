// The frame loop: ffmpeg decodes, resamples and scales in its own process
// and writes raw frames into a pipe, while this process works on the frame
// before. One reused buffer holds the frame, so memory stays flat however
// long the video; the pipe's back-pressure paces ffmpeg.

#include "sampling/frame_sampler.h"

#include <fcntl.h>
#include <pdq/pdq.h>
#include <unistd.h>

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <span>

#include "encoding/decimal.h"
#include "fileio/fd.h"
#include "fileio/fileio.h"
#include "fileio/progress.h"
#include "sampling/child_process.h"
#include "sampling/frame_buffer.h"
#include "sampling/probe.h"

namespace {

std::string filter_text(const FrameFormat& format) {
  const std::string scale = "scale=" + std::to_string(format.width) + ":" +
                            std::to_string(format.height) + ":flags=" + format.scale_flags;
  if (format.first_frame_only) return scale;
  return "fps=" + format_decimal(format.fps) + "," + scale;
}

std::vector<std::string> ffmpeg_args(const std::string& input, const FrameFormat& format) {
  const std::string url = media_url(input);
  // clang-format off
  std::vector<std::string> args = {"-hide_banner", "-nostdin",
                                   "-v", "error",
                                   "-i", url,
                                   "-vf", filter_text(format),
                                   "-an", "-sn",
                                   "-f", "rawvideo",
                                   "-pix_fmt", format.gray ? "gray" : "rgba",
                                   "-color_range", "pc",
                                   "pipe:1"};
  // clang-format on
  if (format.first_frame_only) args.insert(args.end() - 1, {"-frames:v", "1"});
  return args;
}

// Progress goes straight to the descriptor, unbuffered, so it interleaves
// correctly with ffmpeg's own messages on the same terminal. A failure to
// write progress is not a reason to stop hashing.
void progress(std::string_view text) { (void)write_all(STDERR_FILENO, text); }

// A pipe that holds a whole frame lets ffmpeg decode the next frame while
// this one is hashed. Refusal (a lower system limit) only costs overlap.
void widen_pipe(int fd, std::size_t frame_bytes) {
  (void)::fcntl(fd, F_SETPIPE_SZ, static_cast<int>(std::min<std::size_t>(frame_bytes, 1 << 20)));
}

std::string no_video_stream(const std::string& input, std::string_view advice) {
  return input + " has no video stream to sample" + std::string(advice);
}

// ffmpeg's fps filter gives round(rate x duration) frames, so a clip shorter
// than half a sample interval gives none; at 1 / duration or more it gives one.
std::string too_short(const std::string& input, double fps, std::optional<double> duration) {
  if (!duration || !(*duration > 0.0) || !std::isfinite(*duration) ||
      expected_frame_count(fps, *duration) != 0 || 1.0 / *duration > 1e9) {
    return {};
  }
  return input + " lasts " + format_decimal(*duration) + " s, less than one sample interval at " +
         format_decimal(fps) + " fps; --fps " + two_digits_up(1.0 / *duration) +
         " or more gives at least one frame";
}

// The counter names the total from the first line on, so lines wait until
// the duration is known and then come all at once: the bytes on standard
// error are the same as if the probes had run first.
class HashedCounter {
 public:
  HashedCounter(BackgroundProbes& probes, const FrameFormat& format)
      : probes_(probes), format_(format) {}
  void count() {
    ++hashed_;
    if (probes_.ready()) show();
  }
  void show() {
    if (shown_ == 0) {
      const std::optional<double>& duration = probes_.get().duration;
      if (format_.first_frame_only) {
        total_ = 1;
      } else if (duration) {
        total_ = expected_frame_count(format_.fps, *duration);
      }
    }
    if (!format_.count_every_frame) {
      // A line for a person at a terminal, redrawn a few times a second.
      shown_ = hashed_;
      if (line_.due()) line_.draw(hashed_counter(hashed_, total_).substr(1));
      return;
    }
    std::string text;
    while (shown_ < hashed_) text += hashed_counter(++shown_, total_);
    progress(text);
  }
  // Ends the counter: a newline after the lines counted every frame.
  void finish() {
    show();
    if (format_.count_every_frame) progress("\n");
    line_.clear();
  }
  std::uint64_t hashed() const { return hashed_; }

 private:
  BackgroundProbes& probes_;
  const FrameFormat& format_;
  std::optional<std::uint64_t> total_;
  std::uint64_t hashed_ = 0;
  std::uint64_t shown_ = 0;
  StatusLine line_;
};

// Reads frames from the pipe until it ends (a partial last frame ends it
// too), handing each on as it arrives.
Result<void> read_piped_frames(
    int fd, std::size_t frame_bytes,
    const std::function<Result<void>(std::span<const std::uint8_t>)>& on_frame,
    HashedCounter& counter) {
  FrameBuffer buffer;
  const std::span<std::uint8_t> frame = buffer.span().first(frame_bytes);
  for (;;) {
    auto filled = read_full(fd, frame);
    if (!filled) return fail("read ffmpeg rawvideo: " + filled.error());
    if (*filled < frame.size()) return {};
    if (auto taken = on_frame(frame); !taken) return taken;
    counter.count();
  }
}

}  // namespace

FrameFormat recorder_frames(double fps) {
  return {.fps = fps, .width = pdq::kFrameSide, .height = pdq::kFrameSide};
}

double candidate_rate(double signed_fps) { return std::max(30.0, 4 * signed_fps); }

FrameFormat candidate_frames(double fps, bool still) {
  return {.fps = fps,
          .width = 128,
          .height = 128,
          .first_frame_only = still,
          .count_every_frame = false};
}

Result<FrameSampling> sample_frames(
    const std::string& input, const FrameFormat& format,
    const std::function<Result<void>(std::span<const std::uint8_t>)>& on_frame,
    std::string_view no_video_advice) {
  // The probes run beside the decoder instead of before it; what they tell
  // is needed only for the progress counter's total and at the end.
  BackgroundProbes probes(input);
  auto child =
      spawn_piped(program_from_env("VORLANT_VERIFY_FFMPEG", "ffmpeg"), ffmpeg_args(input, format));
  if (!child) return fail("spawn ffmpeg: " + child.error());
  widen_pipe(child->output().get(), format.frame_bytes());

  HashedCounter counter(probes, format);
  // On an early return the child's owner kills and reaps ffmpeg.
  auto hashed = read_piped_frames(child->output().get(), format.frame_bytes(), on_frame, counter);
  if (!hashed) {
    counter.show();
    return fail(hashed.error());
  }
  counter.finish();
  auto status = child->wait();
  if (!status) return fail("wait for ffmpeg: " + status.error());
  const MediaProbes& probed = probes.get();
  const VideoStreamProbe& video = probed.video;
  FrameSampling sampling;
  if (video.dimensions) {
    sampling.native_width = video.dimensions->width;
    sampling.native_height = video.dimensions->height;
  }
  if (!exited_successfully(*status)) {
    // Said after ffmpeg's own words, which may not name the cause plainly.
    const std::string exited = "ffmpeg exited with " + describe_exit(*status);
    return fail(video.none ? exited + "; " + no_video_stream(input, no_video_advice) : exited);
  }
  if (counter.hashed() == 0) {
    sampling.no_frames_reason =
        video.none             ? no_video_stream(input, no_video_advice)
        : format.first_frame_only ? std::string()
                                  : too_short(input, format.fps, probed.duration);
  }
  return sampling;
}

Result<void> check_candidate_file(const std::string& input) {
  auto candidate = open_file(input);
  if (!candidate) return fail(candidate.error());
  if (!candidate->is_regular) {
    return fail("the candidate must be a regular file: " + input +
                " is read by ffprobe, then by ffmpeg");
  }
  return {};
}

Result<void> sample_candidate(const std::string& input, double fps,
                              const CandidateFrameSink& on_frame) {
  std::string reason;
  for (const bool still : {false, true}) {
    const FrameFormat format = candidate_frames(fps, still);
    std::uint64_t frames = 0;
    auto sampled = sample_frames(input, format, [&](std::span<const std::uint8_t> frame) {
      return on_frame(frame, format, frames++);
    });
    if (!sampled) return fail(sampled.error());
    if (frames > 0) return {};
    reason = std::move(sampled->no_frames_reason);
    if (!reason.empty()) break;
  }
  return fail("no video frames sampled from the candidate " + input +
              (reason.empty() ? "" : ": " + reason));
}
