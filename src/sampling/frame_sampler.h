#pragma once
// Samples frames of a video at a fixed rate through ffmpeg: the recorder's
// 512x512 RGBA frames that are hashed and signed, or the smaller frames a
// candidate clip is compared with.

#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "result.h"

struct FrameSampling {
  std::optional<std::uint32_t> native_width;
  std::optional<std::uint32_t> native_height;  // known exactly when the width is
  // For a run that gave no frame, why, when the probes tell: the file has no
  // video stream, or it is too short for the rate (with a rate that fits).
  std::string no_frames_reason;
};

/// The frames ffmpeg is asked for: rate, size, pixel format and scaling.
struct FrameFormat {
  double fps = 2.0;  // ignored when only the first frame is taken
  std::size_t width = 512;
  std::size_t height = 512;
  bool gray = false;  // one byte a pixel (luminance) instead of four (RGBA)
  std::string scale_flags = "bilinear";
  bool first_frame_only = false;  // a still: no rate filter, one frame
  // The "hashed N/T frames" counter on every frame, on any standard error;
  // otherwise only on a terminal, a few times a second.
  bool count_every_frame = true;

  std::size_t frame_bytes() const { return width * height * (gray ? 1 : 4); }
};

/// The recorder's frames at `fps`: the hash's 512x512 RGBA square, bilinear.
FrameFormat recorder_frames(double fps);
/// The rate a recorder signs at unless told otherwise.
inline constexpr double kDefaultSignedFps = 2.0;
/// The rate a candidate clip is sampled at by default against hashes signed
/// at `signed_fps`: denser, so a clip cut anywhere between two signed
/// samples still has a frame close to each of them.
double candidate_rate(double signed_fps);
/// A candidate clip's frames at `fps`, smaller than the recorder's (the
/// clip is not signed, and its hashes stay within a few bits of those of
/// the recorder's frames), or its first frame alone for a still.
FrameFormat candidate_frames(double fps, bool still);

/// Samples `input` through ffmpeg and hands each frame to `on_frame` as it
/// arrives, keeping none, so memory is flat however many frames come; learns
/// the stream's dimensions when ffprobe tells them. Writes a "hashed" counter
/// to stderr. Fails with "spawn ffmpeg: ...", "read ffmpeg rawvideo: ...",
/// "wait for ffmpeg: ..." or "ffmpeg exited with ..." (followed by "; INPUT
/// has no video stream to sample" and `no_video_advice` when ffprobe found
/// none), or with `on_frame`'s own failure.
Result<FrameSampling> sample_frames(
    const std::string& input, const FrameFormat& format,
    const std::function<Result<void>(std::span<const std::uint8_t>)>& on_frame,
    std::string_view no_video_advice = {});

/// What a candidate frame is handed on with: its format and its index.
using CandidateFrameSink =
    std::function<Result<void>(std::span<const std::uint8_t>, const FrameFormat&, std::uint64_t)>;

/// Fails unless `input` opens as a regular file: ffprobe and ffmpeg each
/// open the candidate, and a pipe would be drained by the first.
Result<void> check_candidate_file(const std::string& input);
/// A candidate clip's frames at `fps`, or, for a clip too short for the
/// rate's first tick (a still image, a one-frame video), its first frame as
/// a still; fails as sample_frames does, or with "no video frames sampled
/// from the candidate INPUT" and the reason when the probes tell one.
Result<void> sample_candidate(const std::string& input, double fps,
                              const CandidateFrameSink& on_frame);
