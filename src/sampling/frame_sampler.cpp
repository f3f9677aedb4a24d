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

#include "fileio/fd.h"
#include "sampling/child_process.h"
#include "sampling/frame_buffer.h"
#include "sampling/probe.h"

namespace {

constexpr double kWholeTolerance = 0x1p-52;

// Frames are scaled to the square the perceptual hash works on.
std::string filter_text(double fps) {
  return "fps=" + format_fps(fps) + ",scale=" + std::to_string(pdq::kFrameSide) + ":" +
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

// Fills the buffer; false at end of stream, also in the middle of a frame.
Result<bool> read_frame(int fd, std::span<std::uint8_t> frame) {
  std::size_t filled = 0;
  while (filled < frame.size()) {
    auto n = read_some(fd, frame.subspan(filled));
    if (!n) return fail("read ffmpeg rawvideo: " + n.error());
    if (*n == 0) return false;
    filled += *n;
  }
  return true;
}

// What prepare-attestation can do instead: attest the bytes alone.
constexpr std::string_view kAttestBytesAlone =
    "; leave out --with-pdq and --fps to attest its bytes alone";

std::string no_video_stream(const std::string& input, std::string_view advice) {
  return input + " has no video stream to sample" + std::string(advice);
}

// `value` rounded up to two significant digits, as text without trailing
// zeros: 8.33 gives 8.4, 5 gives 5, 0.333 gives 0.34.
std::string two_digits_up(double value) {
  const int exponent = static_cast<int>(std::floor(std::log10(value)));
  const double unit = std::pow(10.0, exponent - 1);
  char text[64];
  std::snprintf(text, sizeof text, "%.*f", std::max(0, 1 - exponent),
                std::ceil(value / unit) * unit);
  std::string digits = text;
  if (digits.find('.') != std::string::npos) {
    digits.erase(digits.find_last_not_of('0') + 1);
    if (digits.ends_with('.')) digits.pop_back();
  }
  return digits;
}

// ffmpeg's fps filter gives round(rate x duration) frames, so a clip shorter
// than half a sample interval gives none; at 1 / duration or more it gives one.
std::string too_short(const std::string& input, double fps, std::optional<double> duration) {
  if (!duration || !(*duration > 0.0) || !std::isfinite(*duration) ||
      expected_frame_count(fps, *duration) != 0 || 1.0 / *duration > 1e9) {
    return {};
  }
  return input + " lasts " + format_fps(*duration) + " s, less than one sample interval at " +
         format_fps(fps) + " fps; --fps " + two_digits_up(1.0 / *duration) +
         " or more gives at least one frame";
}

}  // namespace

std::string format_fps(double fps) {
  double whole = std::trunc(fps);
  // Fixed notation of a double needs at most ~1100 characters (subnormals,
  // or the exact digits of a huge whole value).
  char text[1200];
  if (std::fabs(fps - whole) < kWholeTolerance) {
    int length = std::snprintf(text, sizeof text, "%.0f", whole);
    return std::string(text, static_cast<std::size_t>(length));
  }
  auto end = std::to_chars(text, text + sizeof text, fps, std::chars_format::fixed).ptr;
  return std::string(text, end);
}

Result<FrameSampling> sample_and_hash_frames(const std::string& input, double fps) {
  std::vector<std::string> hashes;
  auto sampling = sample_frames_streaming(
      input, fps, [&](std::string hash) { hashes.push_back(std::move(hash)); }, kAttestBytesAlone);
  if (sampling) sampling->hashes = std::move(hashes);
  return sampling;
}

Result<FrameSampling> sample_frames_streaming(const std::string& input, double fps,
                                              const std::function<void(std::string)>& on_hash,
                                              std::string_view no_video_advice) {
  // The probes run beside the decoder instead of before it; what they tell
  // is needed only for the progress counter's total and at the end.
  BackgroundProbes probes(input);
  auto child =
      spawn_piped(program_from_env("VORLANT_VERIFY_FFMPEG", "ffmpeg"), ffmpeg_args(input, fps));
  if (!child) return fail("spawn ffmpeg: " + child.error());
  widen_pipe(child->output().get());

  // The counter names the total from the first line on, so lines wait until
  // the duration is known and then come all at once: the bytes on standard
  // error are the same as if the probes had run first.
  std::string total;
  std::uint64_t hashed = 0;
  std::uint64_t shown = 0;
  auto show_progress = [&] {
    if (shown == 0) {
      const std::optional<double>& duration = probes.get().duration;
      if (duration) total = "/" + std::to_string(expected_frame_count(fps, *duration));
    }
    std::string text;
    while (shown < hashed) text += "\r  hashed " + std::to_string(++shown) + total + " frames";
    progress(text);
  };

  FrameBuffer buffer;
  const std::span<std::uint8_t> frame = buffer.span();
  pdq::Hasher hasher;
  for (;;) {
    // On every early return the child's owner kills and reaps ffmpeg.
    auto full = read_frame(child->output().get(), frame);
    if (!full) return show_progress(), fail(full.error());
    if (!*full) break;
    auto hash = hasher.hash_rgba_frame(frame);
    if (!hash) return show_progress(), fail(hash.error().message());
    on_hash(std::move(*hash));
    ++hashed;
    if (probes.ready()) show_progress();
  }
  show_progress();
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
  if (hashed == 0) {
    sampling.no_frames_reason =
        video.none ? no_video_stream(input, no_video_advice) : too_short(input, fps, probed.duration);
  }
  return sampling;
}
