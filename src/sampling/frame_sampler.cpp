// The frame loop: ffmpeg decodes, resamples and scales in its own process
// and writes raw RGBA frames into a pipe, while this process hashes the frame
// before. One reused 1 MiB buffer holds the frame, so memory stays flat
// however long the recording; the pipe's back-pressure paces ffmpeg.

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
#include "sampling/child_process.h"
#include "sampling/frame_buffer.h"
#include "sampling/probe.h"

namespace {

// Frames are scaled to the square the perceptual hash works on.
std::string filter_text(double fps) {
  return "fps=" + format_decimal(fps) + ",scale=" + std::to_string(pdq::kFrameSide) + ":" +
         std::to_string(pdq::kFrameSide) + ":flags=bilinear";
}

std::vector<std::string> ffmpeg_args(const std::string& input, double fps) {
  const std::string url = media_url(input);
  // clang-format off
  return {"-hide_banner", "-nostdin",
          "-v", "error",
          "-i", url,
          "-vf", filter_text(fps),
          "-an", "-sn",
          "-f", "rawvideo",
          "-pix_fmt", "rgba",
          "-color_range", "pc",
          "pipe:1"};
  // clang-format on
}

// Progress goes straight to the descriptor, unbuffered, so it interleaves
// correctly with ffmpeg's own messages on the same terminal. A failure to
// write progress is not a reason to stop hashing.
void progress(std::string_view text) { (void)write_all(STDERR_FILENO, text); }

// A pipe that holds a whole frame lets ffmpeg decode the next frame while
// this one is hashed. Refusal (a lower system limit) only costs overlap.
void widen_pipe(int fd) { (void)::fcntl(fd, F_SETPIPE_SZ, static_cast<int>(pdq::kRgbaFrameBytes)); }

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
  HashedCounter(BackgroundProbes& probes, double fps) : probes_(probes), fps_(fps) {}
  void count() {
    ++hashed_;
    if (probes_.ready()) show();
  }
  void show() {
    if (shown_ == 0) {
      const std::optional<double>& duration = probes_.get().duration;
      if (duration) total_ = expected_frame_count(fps_, *duration);
    }
    std::string text;
    while (shown_ < hashed_) text += hashed_counter(++shown_, total_);
    progress(text);
  }
  std::uint64_t hashed() const { return hashed_; }

 private:
  BackgroundProbes& probes_;
  double fps_;
  std::optional<std::uint64_t> total_;
  std::uint64_t hashed_ = 0;
  std::uint64_t shown_ = 0;
};

// Hashes frames from the pipe until it ends (a partial last frame ends it
// too), handing each hash on as it is made.
Result<void> hash_piped_frames(int fd, const std::function<void(std::string)>& on_hash,
                               HashedCounter& counter) {
  FrameBuffer buffer;
  const std::span<std::uint8_t> frame = buffer.span();
  pdq::Hasher hasher;
  for (;;) {
    auto filled = read_frame(fd, frame);
    if (!filled) return fail("read ffmpeg rawvideo: " + filled.error());
    if (*filled < frame.size()) return {};
    auto hash = hasher.hash_rgba_frame(frame);
    if (!hash) return fail(hash.error().message());
    on_hash(std::move(*hash));
    counter.count();
  }
}

}  // namespace

Result<FrameSampling> sample_frames(const std::string& input, double fps,
                                              const std::function<void(std::string)>& on_hash,
                                              std::string_view no_video_advice) {
  // The probes run beside the decoder instead of before it; what they tell
  // is needed only for the progress counter's total and at the end.
  BackgroundProbes probes(input);
  auto child =
      spawn_piped(program_from_env("VORLANT_VERIFY_FFMPEG", "ffmpeg"), ffmpeg_args(input, fps));
  if (!child) return fail("spawn ffmpeg: " + child.error());
  widen_pipe(child->output().get());

  HashedCounter counter(probes, fps);
  // On an early return the child's owner kills and reaps ffmpeg.
  auto hashed = hash_piped_frames(child->output().get(), on_hash, counter);
  counter.show();
  if (!hashed) return fail(hashed.error());
  progress("\n");
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
        video.none ? no_video_stream(input, no_video_advice) : too_short(input, fps, probed.duration);
  }
  return sampling;
}
